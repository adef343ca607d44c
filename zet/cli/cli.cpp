#include "zet/cli/cli.h"

#include "zet/cli/parse.h"
#include "zet/core/globals.h"
#include "zet/core/if.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <utility>
#include <vector>

using zet::cli::compare_ranks;
using zet::cli::match_all;
using zet::cli::next_tokens;
using zet::cli::Path;
using zet::cli::RANK_PARTIAL;
using zet::cli::Slot;
using zet::cli::Token;
using zet::cli::TokenKind;
using zet::cli::Word;

namespace {

struct cli_command {
    std::string syntax; // normalised: words separated by one blank
    std::vector<Slot> slots;
    cli_handler func = nullptr;
    int privilege = PRIVILEGE_NORMAL;
    uint32_t flags = 0;
};

// The shell's state of one context, behind cli->impl.
struct cli_impl {
    std::string out;
    int max_privilege = PRIVILEGE_MAX;
    bool close_requested = false;
    bool enable_by_password = false;
    bool confined = false;
    bool enable_requested = false;
    // The interface the context had after its last command, and its index, to notice deletion.
    struct interface *seen_ifp = nullptr;
    uint32_t seen_ifindex = 0;
    // The last interface selection failed (cli_select_interface with null).
    bool no_interface = false;
    // The interface selected by name alone (cli_select_interface_name); empty when none.
    std::string kept_name;
    bool file_reader = false;
};

std::string vformat(const char *format, va_list ap) {
    va_list copy;
    va_copy(copy, ap);
    char small[512];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return {};
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string s(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(s.data(), s.size(), format, ap);
    s.resize(static_cast<size_t>(n));
    return s;
}

// The default output routine: out_val is the context's cli_impl.
int buffer_out(void *out_val, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string s = vformat(format, ap);
    va_end(ap);
    static_cast<cli_impl *>(out_val)->out += s;
    return static_cast<int>(s.size());
}

cli_impl *impl_of(const struct cli *cli) {
    return static_cast<cli_impl *>(cli->impl);
}

bool is_interface_mode(int mode) {
    return mode == INTERFACE_MODE || mode == PINTERFACE_MODE;
}

std::string normalise(const char *syntax) {
    std::string out;
    for (const auto &w : zet::cli::split_words(syntax)) {
        if (!out.empty())
            out += ' ';
        out += w.text;
    }
    return out;
}

struct Candidate {
    const cli_command *cmd;
    Path path;
};

// The result of matching a line in one mode.
struct Analysis {
    std::vector<Candidate> complete; // paths that use every word and end the syntax
    std::vector<Candidate> partial;  // paths that use every word but need more
    size_t progress = 0;             // most words any path matched
};

bool listable(const cli_command &c, const struct cli *cli) {
    return (c.flags & CLI_FLAG_HIDDEN) == 0 && c.privilege <= cli->privilege;
}

Analysis analyse(const cli_tree *tree, int mode, const std::vector<Word> &words,
                 std::string_view line, const struct cli *listing_for);

// Keeps the candidates whose rank vectors, over the first n words, are the best.
void keep_best(std::vector<Candidate> &cands, size_t n) {
    if (cands.empty())
        return;
    auto prefix = [n](const Candidate &c) {
        return std::vector<int>(c.path.ranks.begin(),
                                c.path.ranks.begin() +
                                    static_cast<long>(std::min(n, c.path.ranks.size())));
    };
    std::vector<int> best = prefix(cands.front());
    for (const auto &c : cands) {
        auto r = prefix(c);
        if (compare_ranks(r, best) > 0)
            best = r;
    }
    std::vector<Candidate> kept;
    for (auto &c : cands)
        if (compare_ranks(prefix(c), best) == 0)
            kept.push_back(std::move(c));
    cands.swap(kept);
}

// The first word at which candidates matched different keywords by prefix; -1 if none.
long ambiguous_word(const std::vector<Candidate> &cands, size_t nwords) {
    for (size_t i = 0; i < nwords; i++) {
        std::set<std::string> kws;
        for (const auto &c : cands) {
            if (i < c.path.tokens.size() && c.path.ranks[i] == RANK_PARTIAL)
                kws.insert(c.path.tokens[i]->text);
        }
        if (kws.size() > 1)
            return static_cast<long>(i);
    }
    return -1;
}

std::string keyword_list(const std::vector<Candidate> &cands, size_t word) {
    std::set<std::string> kws;
    for (const auto &c : cands)
        if (word < c.path.tokens.size())
            kws.insert(c.path.tokens[word]->text);
    std::string s;
    for (const auto &k : kws) {
        if (!s.empty())
            s += ", ";
        s += k;
    }
    return s;
}

std::string token_label(const Token &t) {
    return t.text;
}

} // namespace

struct cli_tree {
    struct lib_globals *zg = nullptr;
    std::map<int, std::vector<std::unique_ptr<cli_command>>> modes;
    std::vector<std::pair<int, cli_writer>> writers;
    cli_keeper keeper = nullptr;
};

namespace {

Analysis analyse(const cli_tree *tree, int mode, const std::vector<Word> &words,
                 std::string_view line, const struct cli *listing_for) {
    Analysis a;
    auto it = tree->modes.find(mode);
    if (it == tree->modes.end())
        return a;
    for (const auto &cmd : it->second) {
        if (listing_for != nullptr && !listable(*cmd, listing_for))
            continue;
        std::vector<Path> paths;
        size_t progress = 0;
        match_all(cmd->slots, words, line, paths, progress);
        a.progress = std::max(a.progress, progress);
        for (auto &p : paths) {
            if (p.complete)
                a.complete.push_back(Candidate{cmd.get(), p});
            else
                a.partial.push_back(Candidate{cmd.get(), std::move(p)});
        }
    }
    return a;
}

// Picks the command of a complete match. Gives the candidate, or null with *ambiguous_at set
// to the word at fault (or -1 when there is no complete match).
const Candidate *choose(std::vector<Candidate> &cands, size_t nwords, long *ambiguous_at) {
    *ambiguous_at = -1;
    if (cands.empty())
        return nullptr;
    keep_best(cands, nwords);
    // Per command, prefer the path that used the most slots (fewest groups skipped at the end).
    std::map<const cli_command *, const Candidate *> per_cmd;
    for (const auto &c : cands) {
        auto &slot = per_cmd[c.cmd];
        if (slot == nullptr || c.path.slot > slot->path.slot)
            slot = &c;
    }
    if (per_cmd.size() == 1)
        return per_cmd.begin()->second;
    // Different commands tie: where do they part?
    for (size_t i = 0; i < nwords; i++) {
        std::set<std::pair<int, std::string>> toks;
        for (const auto &[cmd, c] : per_cmd)
            toks.insert({static_cast<int>(c->path.tokens[i]->kind), c->path.tokens[i]->text});
        if (toks.size() > 1) {
            *ambiguous_at = static_cast<long>(i);
            return nullptr;
        }
    }
    // Same tokens throughout: the one that ends exactly here wins.
    const Candidate *exact = nullptr;
    int exact_count = 0;
    for (const auto &[cmd, c] : per_cmd)
        if (c->path.slot == cmd->slots.size()) {
            exact = c;
            exact_count++;
        }
    if (exact_count == 1)
        return exact;
    *ambiguous_at = nwords > 0 ? static_cast<long>(nwords) - 1 : 0;
    return nullptr;
}

// What an interface mode with no interface selected still takes: a line that selects one, and
// the ways out.
bool selects_or_leaves(const cli_command &cmd) {
    std::string first = cmd.syntax.substr(0, cmd.syntax.find(' '));
    for (const char *word : {"interface", "exit", "quit", "end", "help"})
        if (first == word)
            return true;
    return false;
}

// A line of another interface mode must never be tried in configure mode, where the same words
// may mean the whole bridge.
bool other_interface_command(const cli_tree *tree, int mode, const std::vector<Word> &words,
                             std::string_view line) {
    for (int other : {INTERFACE_MODE, PINTERFACE_MODE})
        if (other != mode && !analyse(tree, other, words, line, nullptr).complete.empty())
            return true;
    return false;
}

// A line for an interface selected by name goes to the keeper, except what selects another
// interface or leaves the mode.
bool keeps_line(const struct cli *cli, const cli_command &cmd) {
    const cli_tree *tree = cli->zg->ctree;
    return cli->ifp == nullptr && !impl_of(cli)->kept_name.empty() && tree->keeper != nullptr &&
           is_interface_mode(cli->mode) && !selects_or_leaves(cmd);
}

std::string_view trim(std::string_view text) {
    size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

int refuse_without_interface(struct cli *cli) {
    cli_out(cli, "%% No interface selected: the interface line before failed\n");
    return CLI_ERR_NO_INTERFACE;
}

void check_interface(struct cli *cli) {
    cli_impl *impl = impl_of(cli);
    if (cli->ifp == nullptr || cli->ifp != impl->seen_ifp || cli->zg == nullptr)
        return;
    if (ifg_lookup_by_index(cli->zg->ifg, impl->seen_ifindex) != impl->seen_ifp)
        cli->ifp = nullptr; // deleted (or re-indexed) since it was selected
}

void remember_interface(struct cli *cli) {
    cli_impl *impl = impl_of(cli);
    impl->seen_ifp = cli->ifp;
    impl->seen_ifindex = cli->ifp != nullptr ? cli->ifp->ifindex : 0;
}

} // namespace

// --- Output --------------------------------------------------------------------------------

int cli_out(struct cli *cli, const char *format, ...) {
    if (cli == nullptr || format == nullptr)
        return 0;
    va_list ap;
    va_start(ap, format);
    std::string s = vformat(format, ap);
    va_end(ap);
    if (cli->out_func == buffer_out) {
        static_cast<cli_impl *>(cli->out_val)->out += s;
    } else if (cli->out_func != nullptr) {
        cli->out_func(cli->out_val, "%s", s.c_str());
    }
    return static_cast<int>(s.size());
}

// --- Tree and installation -------------------------------------------------------------------

struct cli_tree *cli_tree_create(struct lib_globals *zg) {
    auto tree = std::make_unique<cli_tree>();
    tree->zg = zg;
    return tree.release();
}

void cli_tree_free(struct cli_tree *tree) {
    delete tree;
}

int cli_install_gen(struct cli_tree *tree, int mode, int privilege, uint32_t flags,
                    const struct cli_element *cel) {
    if (tree == nullptr || cel == nullptr || cel->func == nullptr || mode < 0 ||
        mode >= CLI_MODE_MAX)
        return -1;
    auto cmd = std::make_unique<cli_command>();
    std::string error;
    if (!zet::cli::compile_syntax(cel->str, cel->help, cmd->slots, error)) {
        zlog_err(tree->zg, "cli_install: \"%s\": %s", cel->str != nullptr ? cel->str : "(null)",
                 error.c_str());
        return -1;
    }
    cmd->syntax = normalise(cel->str);
    cmd->func = cel->func;
    cmd->privilege =
        std::clamp(privilege, static_cast<int>(PRIVILEGE_MIN), static_cast<int>(PRIVILEGE_MAX));
    cmd->flags = flags;
    auto &list = tree->modes[mode];
    for (auto &existing : list) {
        if (existing->syntax == cmd->syntax) {
            existing = std::move(cmd);
            return 0;
        }
    }
    list.push_back(std::move(cmd));
    return 0;
}

int cli_install(struct cli_tree *tree, int mode, const struct cli_element *cel) {
    return cli_install_gen(tree, mode, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL, cel);
}

int cli_install_config(struct cli_tree *tree, int mode, cli_writer writer) {
    if (tree == nullptr || writer == nullptr || mode < 0 || mode >= CLI_MODE_MAX)
        return -1;
    for (const auto &[m, w] : tree->writers)
        if (m == mode && w == writer)
            return 0;
    tree->writers.emplace_back(mode, writer);
    return 0;
}

std::vector<std::pair<int, cli_writer>> cli_tree_writers(const struct cli_tree *tree) {
    if (tree == nullptr)
        return {};
    return tree->writers;
}

int cmd_str2int(const char *text, int *status) {
    int dummy;
    if (status == nullptr)
        status = &dummy;
    *status = -1;
    if (text == nullptr || !zet::cli::is_decimal(text))
        return 0;
    const char *p = text;
    bool neg = false;
    if (*p == '-' || *p == '+')
        neg = *p++ == '-';
    long long v = 0;
    for (; *p != '\0'; p++) {
        v = v * 10 + (*p - '0');
        if (v > 2147483648LL)
            return 0;
    }
    if (neg)
        v = -v;
    if (v > 2147483647LL || v < -2147483648LL)
        return 0;
    *status = 0;
    return static_cast<int>(v);
}

// --- Contexts ------------------------------------------------------------------------------

struct cli *cli_new(struct lib_globals *zg, int privilege) {
    struct cli *cli = new struct cli();
    auto *impl = new cli_impl;
    cli->zg = zg;
    cli->vr = zg != nullptr ? zg->vr_priv : nullptr;
    cli->mode = EXEC_MODE;
    cli->ifp = nullptr;
    cli->privilege =
        std::clamp(privilege, static_cast<int>(PRIVILEGE_MIN), static_cast<int>(PRIVILEGE_MAX));
    impl->max_privilege = cli->privilege;
    cli->out_func = buffer_out;
    cli->out_val = impl;
    cli->impl = impl;
    return cli;
}

void cli_free(struct cli *cli) {
    if (cli == nullptr)
        return;
    delete impl_of(cli);
    delete cli;
}

std::string cli_output_take(struct cli *cli) {
    if (cli == nullptr)
        return {};
    std::string s;
    s.swap(impl_of(cli)->out);
    return s;
}

int cli_max_privilege(const struct cli *cli) {
    return impl_of(cli)->max_privilege;
}

void cli_request_close(struct cli *cli) {
    impl_of(cli)->close_requested = true;
}

bool cli_close_requested(const struct cli *cli) {
    return impl_of(cli)->close_requested;
}

int cli_interface_mode(const char *name) {
    if (name == nullptr)
        return INTERFACE_MODE;
    const char *digits = std::strncmp(name, "pon", 3) == 0  ? name + 3
                         : std::strncmp(name, "po", 2) == 0 ? name + 2
                                                            : nullptr;
    if (digits == nullptr || *digits == '\0')
        return INTERFACE_MODE;
    for (const char *p = digits; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return INTERFACE_MODE;
    return PINTERFACE_MODE;
}

void cli_select_interface(struct cli *cli, struct interface *ifp) {
    cli->ifp = ifp;
    cli->mode = ifp != nullptr ? cli_interface_mode(ifp->name) : INTERFACE_MODE;
    impl_of(cli)->no_interface = ifp == nullptr;
    impl_of(cli)->kept_name.clear();
}

void cli_select_interface_name(struct cli *cli, const char *name) {
    cli->ifp = nullptr;
    cli->mode = cli_interface_mode(name);
    impl_of(cli)->no_interface = false;
    impl_of(cli)->kept_name = name;
}

void cli_set_keeper(struct cli_tree *tree, cli_keeper keeper) {
    tree->keeper = keeper;
}

void cli_mark_file_reader(struct cli *cli) {
    impl_of(cli)->file_reader = true;
}

bool cli_is_file_reader(const struct cli *cli) {
    return impl_of(cli)->file_reader;
}

void cli_set_enable_by_password(struct cli *cli) {
    impl_of(cli)->enable_by_password = true;
    impl_of(cli)->max_privilege = PRIVILEGE_MAX;
}

bool cli_enable_by_password(const struct cli *cli) {
    return impl_of(cli)->enable_by_password;
}

void cli_set_confined(struct cli *cli) {
    impl_of(cli)->confined = true;
}

bool cli_confined(const struct cli *cli) {
    return impl_of(cli)->confined;
}

void cli_request_enable_password(struct cli *cli) {
    impl_of(cli)->enable_requested = true;
}

bool cli_take_enable_request(struct cli *cli) {
    bool asked = impl_of(cli)->enable_requested;
    impl_of(cli)->enable_requested = false;
    return asked;
}

void cli_leave_interface(struct cli *cli, int mode) {
    impl_of(cli)->no_interface = false;
    cli->mode = mode;
    if (!is_interface_mode(mode)) {
        cli->ifp = nullptr;
        impl_of(cli)->kept_name.clear();
    }
}

std::string cli_prompt(const struct cli *cli) {
    std::string name = zet_name();
    switch (cli->mode) {
    case EXEC_MODE:
        return name + (cli->privilege < PRIVILEGE_MAX ? "> " : "# ");
    case CONFIG_MODE:
        return name + "(config)# ";
    case INTERFACE_MODE:
    case PINTERFACE_MODE:
        return name + "(config-if)# ";
    case DUMP_MODE:
        return name + "(dump)# ";
    default:
        return name + "(mode-" + std::to_string(cli->mode) + ")# ";
    }
}

// --- Running one line --------------------------------------------------------------------------

int cli_execute(struct cli *cli, const char *line, bool fallback) {
    size_t len = std::strlen(line);
    if (len > CLI_LINE_MAX) {
        cli_out(cli, "%% Line too long (%zu bytes; the limit is %d)\n", len, CLI_LINE_MAX);
        return CLI_ERR_TOO_LONG;
    }
    check_interface(cli);
    std::string_view text(line, len);
    std::vector<Word> words = zet::cli::split_words(text);
    if (words.empty() || words[0].text[0] == '!' || words[0].text[0] == '#')
        return CLI_SUCCESS;
    const cli_tree *tree = cli->zg != nullptr ? cli->zg->ctree : nullptr;
    if (tree == nullptr) {
        cli_out(cli, "%% No command tree\n");
        return CLI_ERR_UNKNOWN;
    }

    const bool no_interface = is_interface_mode(cli->mode) && impl_of(cli)->no_interface;
    std::vector<int> modes{cli->mode};
    if (fallback && is_interface_mode(cli->mode) && !no_interface)
        modes.push_back(CONFIG_MODE);

    const size_t n = words.size();
    Analysis best_failure;
    bool have_failure = false;
    for (int mode : modes) {
        if (mode != cli->mode && other_interface_command(tree, cli->mode, words, text)) {
            cli_out(cli, "%% Interface %s does not take this command\n",
                    cli->ifp != nullptr ? cli->ifp->name : impl_of(cli)->kept_name.c_str());
            return CLI_ERR_WRONG_MODE;
        }
        Analysis a = analyse(tree, mode, words, text, nullptr);
        long ambiguous_at = -1;
        const Candidate *c = choose(a.complete, n, &ambiguous_at);
        if (c == nullptr && ambiguous_at >= 0) {
            cli_out(cli, "%% Ambiguous command at word %ld: \"%s\" could be %s\n", ambiguous_at + 1,
                    words[static_cast<size_t>(ambiguous_at)].text.c_str(),
                    keyword_list(a.complete, static_cast<size_t>(ambiguous_at)).c_str());
            return CLI_ERR_AMBIGUOUS;
        }
        if (c == nullptr) {
            if (!have_failure || a.progress > best_failure.progress) {
                best_failure = std::move(a);
                have_failure = true;
            }
            continue;
        }
        if (no_interface && !selects_or_leaves(*c->cmd))
            return refuse_without_interface(cli);
        if (c->cmd->privilege > cli->privilege) {
            cli_out(cli,
                    "%% Permission denied: this command needs privilege %d (the session has %d)\n",
                    c->cmd->privilege, cli->privilege);
            return CLI_ERR_PRIVILEGE;
        }
        if (mode != cli->mode)
            cli_leave_interface(cli, mode);
        if (keeps_line(cli, *c->cmd))
            return tree->keeper(cli, impl_of(cli)->kept_name.c_str(),
                                std::string(trim(text)).c_str());
        // The handler gets its own copies of the arguments.
        std::vector<std::string> args = c->path.args;
        std::vector<char *> argv;
        argv.reserve(args.size() + 1);
        for (auto &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        cli_handler func = c->cmd->func;
        impl_of(cli)->no_interface = false;
        int ret = func(cli, static_cast<int>(args.size()), argv.data());
        remember_interface(cli);
        return ret;
    }

    if (no_interface)
        return refuse_without_interface(cli);
    const Analysis &a = best_failure;
    if (a.progress < n) {
        if (a.progress == 0)
            cli_out(cli, "%% Unknown command: \"%s\"\n", words[0].text.c_str());
        else
            cli_out(cli, "%% Invalid input at word %zu: \"%s\"\n", a.progress + 1,
                    words[a.progress].text.c_str());
        return CLI_ERR_UNKNOWN;
    }
    std::vector<Candidate> partial = a.partial;
    keep_best(partial, n);
    long amb = ambiguous_word(partial, n);
    if (amb >= 0) {
        cli_out(cli, "%% Ambiguous command at word %ld: \"%s\" could be %s\n", amb + 1,
                words[static_cast<size_t>(amb)].text.c_str(),
                keyword_list(partial, static_cast<size_t>(amb)).c_str());
        return CLI_ERR_AMBIGUOUS;
    }
    std::string said;
    for (const auto &w : words) {
        if (!said.empty())
            said += ' ';
        said += w.text;
    }
    cli_out(cli, "%% Incomplete command: \"%s\" needs more words\n", said.c_str());
    return CLI_ERR_INCOMPLETE;
}

// --- Help and completion ---------------------------------------------------------------------

namespace {

struct HelpEntry {
    std::string word;
    std::string help;
    bool keyword;
};

// The entries that "?" lists for line, from the commands the context may see.
std::vector<HelpEntry> help_entries(const struct cli *cli, std::string_view line, bool *cr) {
    *cr = false;
    std::vector<HelpEntry> out;
    const cli_tree *tree = cli->zg != nullptr ? cli->zg->ctree : nullptr;
    if (tree == nullptr)
        return out;
    std::vector<Word> words = zet::cli::split_words(line);
    bool trailing = line.empty() || line.back() == ' ' || line.back() == '\t';
    Analysis a = analyse(tree, cli->mode, words, line, cli);
    std::vector<Candidate> cands = std::move(a.complete);
    for (auto &c : a.partial)
        cands.push_back(std::move(c));
    const size_t n = words.size();
    std::set<std::pair<std::string, std::string>> seen;
    auto add = [&](const Token &t) {
        if (seen.insert({token_label(t), t.help}).second)
            out.push_back(HelpEntry{token_label(t), t.help, t.kind == TokenKind::Keyword});
    };
    if (trailing) {
        keep_best(cands, n);
        for (const auto &c : cands) {
            std::vector<const Token *> next;
            bool can_end = false;
            if (n > 0 && c.path.tokens.back()->kind == TokenKind::Line) {
                can_end = true; // LINE takes all further words
            } else {
                next_tokens(c.cmd->slots, c.path.slot, next, can_end);
            }
            for (const Token *t : next)
                add(*t);
            if (can_end)
                *cr = true;
        }
    } else {
        keep_best(cands, n - 1);
        for (const auto &c : cands)
            add(*c.path.tokens[n - 1]);
    }
    std::sort(out.begin(), out.end(),
              [](const HelpEntry &x, const HelpEntry &y) { return x.word < y.word; });
    return out;
}

} // namespace

void cli_describe(struct cli *cli, const char *line) {
    if (cli == nullptr)
        return;
    bool cr = false;
    std::vector<HelpEntry> entries = help_entries(cli, line != nullptr ? line : "", &cr);
    if (entries.empty() && !cr) {
        cli_out(cli, "%% There is no matched command.\n");
        return;
    }
    size_t width = cr ? 4 : 0;
    for (const auto &e : entries)
        width = std::max(width, e.word.size());
    for (const auto &e : entries)
        cli_out(cli, "  %-*s  %s\n", static_cast<int>(width), e.word.c_str(), e.help.c_str());
    if (cr)
        cli_out(cli, "  <cr>\n");
}

std::string cli_complete(struct cli *cli, const char *line) {
    if (cli == nullptr)
        return {};
    std::string_view l(line != nullptr ? line : "");
    bool cr = false;
    std::vector<HelpEntry> entries = help_entries(cli, l, &cr);
    std::string out;
    std::set<std::string> seen;
    for (const auto &e : entries) {
        if (!e.keyword || !seen.insert(e.word).second)
            continue;
        if (!out.empty())
            out += ' ';
        out += e.word;
    }
    return out;
}
