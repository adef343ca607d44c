#include "support/toy_commands.h"

#include "support/text.h"
#include "support/vty_server.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
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
// "read" gives the failing lines as its result; "start" starts afresh as the daemon does: the
// socket it was given, no TCP.
int toy_file(struct cli *cli, int, char **argv) {
    if (argv[0][0] == 'r')
        return host_config_read(cli->zg, argv[1]);
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

// The framework's own calls: numbers read as the daemon reads one (each word, its value and
// status, on one line), and a syntax installed in a mode (the result), a command that does nothing.
int toy_number(struct cli *cli, int, char **argv) {
    std::istringstream words(argv[0]);
    std::string out;
    for (std::string w; words >> w;) {
        int st = 0, v = cmd_str2int(w.c_str(), &st);
        out += (out.empty() ? "" : ", ") + w + " " + std::to_string(v) + " " + std::to_string(st);
    }
    return cli_out(cli, "%s\n", out.c_str()) < 0;
}
int toy_install_syntax(struct cli *cli, int, char **argv) {
    struct cli_element cel = {argv[1], [](struct cli *, int, char **) { return 0; }, nullptr};
    return cli_install(cli->zg->ctree, std::atoi(argv[0]), &cel);
}
// A row's help is its words (and a group's alternatives) themselves: "?" shows them so.
struct Row {
    std::vector<int> modes;
    const char *syntax;
    cli_handler func = nullptr; // null: the row's trace<I>
    int privilege = 1;
    uint32_t flags = 0;
};
const int IF = INTERFACE_MODE, HIDDEN = CLI_FLAG_HIDDEN;
const Row ROWS[] = {
    {{EXEC_MODE}, "show toy"},
    {{EXEC_MODE}, "show toy interface IFNAME"},
    {{EXEC_MODE}, "show toy vlan"},
    {{EXEC_MODE}, "show tomato"},
    {{EXEC_MODE}, "set toy mode"},
    {{EXEC_MODE}, "debug toy packet (recv|send|) (detail|)", nullptr, 15},
    {{EXEC_MODE}, "show big <1-100000000>", show_big},
    {{EXEC_MODE}, "toy run LINE", toy_run, 15, HIDDEN},
    {{EXEC_MODE}, "toy log <0-7> LINE", toy_log, 15, HIDDEN},
    {{EXEC_MODE}, "toy (read|start) FILENAME", toy_file, 15, HIDDEN},
    {{EXEC_MODE}, "toy (reset|complain|rotate)", toy_set, 15, HIDDEN},
    {{EXEC_MODE}, "toy number LINE", toy_number, 15, HIDDEN},
    {{EXEC_MODE}, "toy install WORD LINE", toy_install_syntax, 15, HIDDEN},
    {{CONFIG_MODE, IF}, "toy enable", toy_enable},
    {{CONFIG_MODE, IF, PINTERFACE_MODE}, "interface IFNAME", toy_interface},
    {{CONFIG_MODE, IF}, "toy which", toy_which},
    {{IF}, "toy tx <10-300>", toy_tx},
    {{IF}, "toy protect vlan <1-4094>"},
    {{IF}, "toy protect vlan all"},
    {{IF}, "toy loop (shutdown|log)"},
    {{IF}, "description LINE"},
};

template <size_t I> int trace(struct cli *cli, int argc, char **argv) {
    std::string args;
    for (int i = 0; i < argc; i++)
        args += (i > 0 ? ", " : "") + std::string(argv[i]);
    return cli_out(cli, "ran \"%s\" [%s] mode %d%s\n", ROWS[I].syntax, args.c_str(), cli->mode,
                   argv[argc] != nullptr ? " (argv not ended)" : "") < 0;
}
template <size_t... I> std::vector<cli_handler> traces(std::index_sequence<I...>) {
    return {trace<I>...};
}

int global_writer(struct cli *cli) {
    if (toy.complain)
        cli_out(cli, "%% The bridge is not found\n");
    return toy.enabled && cli_out(cli, "toy enable\n") > 0;
}
// The interfaces with settings, in the group's (natural) order.
int interface_writer(struct cli *cli) {
    ifg_foreach(
        cli->zg->ifg,
        [](void *ctx, interface *ifp) {
            const auto tx = toy.tx.find(ifp->name);
            const bool own_tx = tx != toy.tx.end() && tx->second != 10,
                       on = toy.on.count(ifp->name);
            if (own_tx || on)
                cli_out(static_cast<struct cli *>(ctx), "interface %s\n", ifp->name);
            if (own_tx)
                cli_out(static_cast<struct cli *>(ctx), " toy tx %d\n", tx->second);
            if (on)
                cli_out(static_cast<struct cli *>(ctx), " toy enable\n");
        },
        cli);
    return 0;
}

// Installs the toy commands and writers in zg (forgetting earlier toy settings) and creates
// the interfaces ge10, ge2, ge1 and po1.
bool toy_install(struct lib_globals *zg) {
    toy = ToyState{};
    static const auto TRACES = traces(std::make_index_sequence<std::size(ROWS)>());
    bool ok = true;
    for (size_t i = 0; i < std::size(ROWS); i++) {
        std::string words = ROWS[i].syntax; // each word and alternative is its own help
        std::vector<const char *> help;
        for (char *w = std::strtok(words.data(), " (|)"); w != nullptr;
             w = std::strtok(nullptr, " (|)"))
            help.push_back(w);
        help.push_back(nullptr);
        cli_element cel = {ROWS[i].syntax, ROWS[i].func ? ROWS[i].func : TRACES[i], help.data()};
        for (int mode : ROWS[i].modes)
            ok &= cli_install_gen(zg->ctree, mode, ROWS[i].privilege, ROWS[i].flags, &cel) == 0;
    }
    ok &= cli_install_config(zg->ctree, GLOBAL_WRITER_MODE, global_writer) == 0;
    ok &= cli_install_config(zg->ctree, INTERFACE_MODE, interface_writer) == 0;
    uint32_t index = 1;
    for (const char *name : {"ge10", "ge2", "ge1", "po1"})
        ok &= if_create(zg, name, index++) != nullptr;
    return ok;
}

} // namespace

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

} // namespace vesk_test
