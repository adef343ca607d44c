#include "support/toy_commands.h"

#include "support/typed_line.h"
#include "support/vty_server.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/list.h"
#include "zet/core/log.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace vesk_test {
namespace {

struct ToyState {
    bool enabled = false, complain = false;
    std::map<std::string, int> tx; // per interface; 10 is the default
    std::set<std::string> on;
} toy;

int show_big(struct cli *cli, int, char **argv) { // n bytes and a line end
    return cli_out(cli, "%s\n", std::string(std::stoul(argv[0]), 'b').c_str()) < 0;
}
int toy_enable(struct cli *cli, int, char **) {
    if (cli->ifp == nullptr)
        toy.enabled = true;
    else
        toy.on.insert(cli->ifp->name);
    return 0;
}
int toy_interface(struct cli *cli, int, char **argv) {
    struct interface *ifp = ifg_get_by_name(cli->zg->ifg, argv[0]);
    cli_select_interface(cli, ifp);
    return ifp == nullptr && cli_out(cli, "%% Interface does not exist: %s\n", argv[0]) > 0;
}
int toy_tx(struct cli *cli, int, char **argv) {
    int st = 0, v = cmd_str2int(argv[0], &st);
    if (st < 0 || v < 10 || v > 300 || cli->ifp == nullptr)
        return cli_out(cli, "%% Invalid time value\n") > 0;
    toy.tx[cli->ifp->name] = v;
    return 0;
}
int toy_which(struct cli *cli, int, char **) {
    return cli_out(cli, "%s\n", cli->ifp != nullptr ? cli->ifp->name : "none") < 0;
}
// Test instruments: a shell command with its output, a log line, the framework's calls.
int toy_run(struct cli *cli, int, char **argv) {
    FILE *p = popen(("export LC_ALL=C; " + std::string(argv[0]) + " 2>&1").c_str(), "r");
    char buf[4096];
    for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
        cli_out(cli, "%.*s", static_cast<int>(n), buf);
    return p == nullptr || pclose(p) != 0;
}
int toy_log(struct cli *cli, int, char **argv) {
    zlog(cli->zg, nullptr, std::stoi(argv[0]), "%s", replace_all(argv[1], "\\n", "\n").c_str());
    return 0;
}
// "read" gives the failures; "start" starts afresh as the daemon does: the socket it was given,
// no TCP.
int toy_file(struct cli *cli, int, char **argv) {
    if (argv[0][0] == 'r')
        return cli_out(cli, "%d\n", host_config_read(cli->zg, argv[1])) < 0;
    host_free(cli->zg);
    host_vty_set_unix(cli->zg, std::getenv("VESK_VTY_SOCKET"), nullptr, nullptr);
    return host_config_start(cli->zg, argv[1], 0) != 0;
}
int toy_set(struct cli *cli, int, char **argv) {
    if (std::string(argv[0]) == "rotate")
        return zlog_rotate(cli->zg, nullptr) != 0;
    toy = argv[0][0] == 'c' ? ToyState{toy.enabled, true, toy.tx, toy.on} : ToyState{};
    return 0;
}

// The framework's own calls: a number read as the daemon reads one (value and status), and a
// syntax installed in a mode (the result), running nothing.
int toy_number(struct cli *cli, int, char **argv) {
    int st = 0, v = cmd_str2int(argv[0], &st);
    return cli_out(cli, "%d %d\n", v, st) < 0;
}
int toy_install_syntax(struct cli *cli, int, char **argv) {
    struct cli_element cel = {argv[1], [](struct cli *, int, char **) { return 0; }, nullptr};
    return cli_out(cli, "%d\n", cli_install(cli->zg->ctree, std::atoi(argv[0]), &cel)) < 0;
}
// The daemon's shorthand for a command record and its help.
CLI(macro_toy, macro_toy_cmd, "macro toy <1-9>", "macro", "toy", "a digit") {
    return argc == 1 && argv[1] == nullptr ? std::stoi(argv[0]) : -1;
}

// The rows of tests/zet/data/cli/toy.rows, read once: mode, privilege, flags, handler (null: the
// row's trace<I>), syntax, help.
struct Row {
    int mode, privilege;
    uint32_t flags;
    cli_handler func;
    std::string syntax, help;
};
size_t word_at(const std::string &words, const std::string &word) { // or past the last
    std::istringstream in(words);
    size_t at = 0;
    for (std::string w; in >> w && w != word;)
        at++;
    return at;
}
const std::vector<Row> &rows() {
    static const std::vector<Row> all = [] {
        std::vector<Row> out;
        std::istringstream in(read_text(VESK_SOURCE_DIR "/tests/zet/data/cli/toy.rows"));
        for (std::string line, mode, shown, handler; std::getline(in, line);) {
            std::istringstream f(line);
            Row r{};
            if (line.empty() || line[0] == '#' || !(f >> mode >> r.privilege >> shown >> handler))
                continue;
            std::getline(f >> std::ws, r.syntax, ';');
            std::getline(f >> std::ws, r.help);
            handler.pop_back(); // its ";"
            r.mode = std::vector{EXEC_MODE, CONFIG_MODE, INTERFACE_MODE, PINTERFACE_MODE}.at(
                word_at("exec config interface pinterface", mode));
            r.flags = shown == "hidden" ? uint32_t{CLI_FLAG_HIDDEN} : 0;
            r.func = std::vector<cli_handler>{nullptr,  show_big,  toy_enable, toy_interface,
                                              toy_tx,   toy_which, toy_run,    toy_log,
                                              toy_file, toy_set,   toy_number, toy_install_syntax}
                         .at(word_at("trace big enable interface tx which run log file set number "
                                     "install",
                                     handler));
            out.push_back(r);
        }
        return out;
    }();
    return all;
}

template <size_t I> int trace(struct cli *cli, int argc, char **argv) {
    std::string args;
    for (int i = 0; i < argc; i++)
        args += (i > 0 ? ", " : "") + std::string(argv[i]);
    return cli_out(cli, "ran \"%s\" [%s] mode %d%s\n", rows()[I].syntax.c_str(), args.c_str(),
                   cli->mode, argv[argc] != nullptr ? " (argv not ended)" : "") < 0;
}
template <size_t... I> std::vector<cli_handler> traces(std::index_sequence<I...>) {
    return {trace<I>...};
}

int global_writer(struct cli *cli) {
    if (toy.complain)
        cli_out(cli, "%% The bridge is not found\n");
    return toy.enabled && cli_out(cli, "toy enable\n") > 0;
}
// Shaped like the daemon's interface writer: every interface gets a header; "!" goes before a
// header once a setting line has been written.
int interface_writer(struct cli *cli) {
    int count = 0;
    struct listnode *node;
    struct interface *ifp;
    LIST_LOOP(cli->vr->ifList, ifp, node) {
        cli_out(cli, "%sinterface %s\n", count != 0 ? "!\n" : "", ifp->name);
        auto tx = toy.tx.find(ifp->name);
        if (tx != toy.tx.end() && tx->second != 10)
            count += cli_out(cli, " toy tx %d\n", tx->second) > 0;
        if (toy.on.count(ifp->name) != 0)
            count += cli_out(cli, " toy enable\n") > 0;
    }
    return count;
}

const std::map<int, std::string> RESULTS = {
    {CLI_ERR_UNKNOWN, "unknown"},       {CLI_ERR_AMBIGUOUS, "ambiguous"},
    {CLI_ERR_INCOMPLETE, "incomplete"}, {CLI_ERR_PRIVILEGE, "privilege"},
    {CLI_ERR_TOO_LONG, "too-long"},     {CLI_ERR_NO_INTERFACE, "no-interface"},
    {CLI_ERR_WRONG_MODE, "wrong-mode"}};

// What the vty does with a line, and what the transcript shows of it.
std::string run_line(struct cli *cli, std::string line, std::string &logged) {
    const int ret = run_typed_line(cli, replace_all(line, "\\t", "\t"), true);
    std::string text = cli_output_take(cli), out, prompt = cli_prompt(cli);
    std::istringstream in(text);
    for (std::string o; std::getline(in, o);)
        out += o.empty() ? "|\n" : "| " + o + "\n";
    out += !text.empty() && text.back() != '\n' ? "(no line end)\n" : "";
    prompt.pop_back();
    out += std::exchange(logged, "") + "= " +
           (RESULTS.count(ret) != 0 ? RESULTS.at(ret) : std::to_string(ret)) + " " + prompt;
    return out + (cli_close_requested(cli) ? " closed\n" : "\n");
}

// Installs the toy commands and writers in zg (forgetting earlier toy settings) and creates
// the interfaces ge10, ge2, ge1 and po1.
bool toy_install(struct lib_globals *zg) {
    toy = ToyState{};
    static const auto TRACES = traces(std::make_index_sequence<32>());
    bool ok = rows().size() <= TRACES.size();
    for (size_t i = 0; ok && i < rows().size(); i++) {
        const Row &r = rows()[i];
        std::string words = r.help + (r.help.empty() ? "" : "|");
        std::vector<const char *> help;
        for (size_t at = 0, end; (end = words.find('|', at)) != std::string::npos; at = end + 1)
            words[end] = '\0', help.push_back(words.c_str() + at);
        help.push_back(nullptr);
        cli_element cel = {r.syntax.c_str(), r.func ? r.func : TRACES[i], help.data()};
        ok &= cli_install_gen(zg->ctree, r.mode, r.privilege, r.flags, &cel) == 0;
    }
    ok &= cli_install(zg->ctree, EXEC_MODE, &macro_toy_cmd) == 0;
    ok &= cli_install_config(zg->ctree, GLOBAL_WRITER_MODE, global_writer) == 0;
    ok &= cli_install_config(zg->ctree, INTERFACE_MODE, interface_writer) == 0;
    uint32_t index = 1;
    for (const char *name : {"ge10", "ge2", "ge1", "po1"})
        ok &= if_create(zg, name, index++) != nullptr;
    return ok;
}

} // namespace

std::string toy_transcript(struct cli *cli, const std::string &script) {
    std::istringstream in(script);
    std::string out, logged;
    // Log lines with their time stamps masked, as the transcript shows them.
    zlog_set_sink(
        cli->zg->log,
        [](void *ctx, int prio, const char *l) {
            *static_cast<std::string *>(ctx) += "~ " + std::to_string(prio) + " " + l + "\n";
        },
        &logged);
    for (std::string line; std::getline(in, line);) {
        if (line == "|" || std::regex_search(line, std::regex("^(\\| |= |~ |\\(no line end\\))")))
            continue;
        out += line + "\n";
        if (line == ">" || line.rfind("> ", 0) == 0)
            out += run_line(cli, line.size() > 2 ? line.substr(2) : "", logged);
    }
    zlog_unset_sink(cli->zg->log, &logged);
    return out;
}

ToyShell::ToyShell() {
    char tmpl[] = "/tmp/zet-toy-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        dir = tmpl;
}

ToyShell::~ToyShell() {
    stop();
    if (!dir.empty())
        std::system(("rm -rf " + dir).c_str());
}

bool ToyShell::start() {
    zg = dir.empty() ? nullptr : vty_globals_start(dir + "/vty");
    cli = zg != nullptr && toy_install(zg) ? cli_new(zg, PRIVILEGE_MAX) : nullptr;
    return cli != nullptr;
}

void ToyShell::stop() {
    cli_free(std::exchange(cli, nullptr));
    if (zg != nullptr)
        lib_stop(std::exchange(zg, nullptr));
    unsetenv("VESK_VTY_SOCKET");
}

std::string read_text(const std::string &path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::string replace_all(std::string text, const std::string &from, const std::string &to) {
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
    return text;
}

} // namespace vesk_test
