#include "zet/cli/builtin.h"

#include "zet/cli/cli.h"
#include "zet/cli/config.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"
#include "zet/core/memory.h"
#include "zet/core/pal.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool is_interface_mode(int mode) {
    return mode == INTERFACE_MODE || mode == PINTERFACE_MODE;
}

// --- Navigation ---------------------------------------------------------------------------------

int shell_exit(struct cli *cli, int, char **) {
    if (is_interface_mode(cli->mode))
        cli_leave_interface(cli, CONFIG_MODE);
    else if (cli->mode == EXEC_MODE)
        cli_request_close(cli);
    else
        cli_leave_interface(cli, EXEC_MODE);
    return 0;
}
const char *shell_exit_cmd_help[] = {"End current mode and down to previous mode", nullptr};
struct cli_element shell_exit_cmd = {"exit", shell_exit, shell_exit_cmd_help};
const char *shell_quit_cmd_help[] = {"Exit current mode and down to previous mode", nullptr};
struct cli_element shell_quit_cmd = {"quit", shell_exit, shell_quit_cmd_help};

int shell_end(struct cli *cli, int, char **) {
    if (cli->mode != EXEC_MODE)
        cli_leave_interface(cli, EXEC_MODE);
    return 0;
}
const char *shell_end_cmd_help[] = {"End current mode and change to EXEC mode", nullptr};
struct cli_element shell_end_cmd = {"end", shell_end, shell_end_cmd_help};

int shell_help(struct cli *cli, int, char **) {
    cli_out(cli,
            "The shell gives help at any point: type \"?\" at the end of a line.\n"
            "1. \"?\" after a blank lists the words that may come next, each with its help\n"
            "   (\"show ?\"); <cr> means the line may end there.\n"
            "2. \"?\" right after part of a word lists the words that begin so (\"sh?\").\n"
            "Words may be abbreviated to any unique beginning (\"sh run\" for\n"
            "\"show running-config\"); TAB completes a word in %s.\n",
            zet_client_name());
    return 0;
}
const char *shell_help_cmd_help[] = {"Description of the interactive help system", nullptr};
struct cli_element shell_help_cmd = {"help", shell_help, shell_help_cmd_help};

int shell_configure(struct cli *cli, int, char **) {
    cli_leave_interface(cli, CONFIG_MODE);
    return 0;
}
const char *shell_configure_cmd_help[] = {"Enter configuration mode", "Configure from the terminal",
                                          nullptr};
struct cli_element shell_configure_cmd = {"configure terminal", shell_configure,
                                          shell_configure_cmd_help};

int shell_enable(struct cli *cli, int, char **) {
    if (cli_max_privilege(cli) <= cli->privilege) {
        if (cli->privilege < PRIVILEGE_MAX) {
            cli_out(cli, "%% This session cannot have a higher privilege\n");
            return 1;
        }
        return 0;
    }
    if (cli_enable_by_password(cli)) {
        if (host_vty_password(cli->zg, HOST_PASSWORD_ENABLE) == nullptr) {
            cli_out(cli, "%% No enable password is set; privileged commands are on the Unix "
                         "socket only\n");
            return 1;
        }
        cli_request_enable_password(cli);
        return 0;
    }
    cli->privilege = cli_max_privilege(cli);
    return 0;
}
const char *shell_enable_cmd_help[] = {"Turn on privileged mode command", nullptr};
struct cli_element shell_enable_cmd = {"enable", shell_enable, shell_enable_cmd_help};

int shell_disable(struct cli *cli, int, char **) {
    cli->privilege = PRIVILEGE_NORMAL;
    return 0;
}
const char *shell_disable_cmd_help[] = {"Turn off privileged mode command", nullptr};
struct cli_element shell_disable_cmd = {"disable", shell_disable, shell_disable_cmd_help};

int shell_show_privilege(struct cli *cli, int, char **) {
    cli_out(cli, "Current privilege level is %d\n", cli->privilege);
    return 0;
}
const char *shell_show_privilege_cmd_help[] = {"Show running system information",
                                               "Show current privilege level", nullptr};
struct cli_element shell_show_privilege_cmd = {"show privilege", shell_show_privilege,
                                               shell_show_privilege_cmd_help};

int shell_dump_mode(struct cli *cli, int, char **) {
    cli_leave_interface(cli, DUMP_MODE);
    return 0;
}
const char *shell_dump_mode_cmd_help[] = {"Enter the developers' dump mode", nullptr};
struct cli_element shell_dump_mode_cmd = {"dump-mode", shell_dump_mode, shell_dump_mode_cmd_help};

// "do LINE": an exec-mode command from a configuration mode; the mode stays.
int shell_do(struct cli *cli, int argc, char **argv) {
    if (argc < 1)
        return 1;
    int mode = cli->mode;
    struct interface *ifp = cli->ifp;
    cli->mode = EXEC_MODE;
    int ret = cli_execute(cli, argv[0], false);
    if (!cli_close_requested(cli)) {
        cli->mode = mode;
        cli->ifp = ifp;
    }
    return ret;
}
const char *shell_do_cmd_help[] = {"Run an exec-mode command", "The command", nullptr};
struct cli_element shell_do_cmd = {"do LINE", shell_do, shell_do_cmd_help};

// --- The host family ----------------------------------------------------------------------------

int host_show_running(struct cli *cli, int, char **) {
    std::string text = cli_running_config(cli->zg);
    cli_out(cli, "%s", text.c_str());
    return 0;
}
const char *host_show_running_cmd_help[] = {"Show running system information",
                                            "Current operating configuration", nullptr};
struct cli_element host_show_running_cmd = {"show running-config", host_show_running,
                                            host_show_running_cmd_help};
const char *host_write_terminal_cmd_help[] = {
    "Write running configuration to memory, file or terminal", "Write to terminal", nullptr};
struct cli_element host_write_terminal_cmd = {"write terminal", host_show_running,
                                              host_write_terminal_cmd_help};

int host_write(struct cli *cli, int, char **) {
    char err[512];
    if (host_config_write(cli->zg, err, sizeof err) != 0) {
        cli_out(cli, "%% Configuration not saved: %s\n", err);
        return 1;
    }
    cli_out(cli, "Configuration saved to %s\n", host_config_path(cli->zg));
    return 0;
}
const char *host_write_cmd_help[] = {"Write running configuration to memory, file or terminal",
                                     nullptr};
struct cli_element host_write_cmd = {"write", host_write, host_write_cmd_help};
const char *host_write_memory_cmd_help[] = {
    "Write running configuration to memory, file or terminal",
    "Write configuration to the configuration file", nullptr};
struct cli_element host_write_memory_cmd = {"write memory", host_write, host_write_memory_cmd_help};
const char *host_write_file_cmd_help[] = {"Write running configuration to memory, file or terminal",
                                          "Write configuration to the configuration file", nullptr};
struct cli_element host_write_file_cmd = {"write file", host_write, host_write_file_cmd_help};

int host_show_version(struct cli *cli, int, char **) {
    const char *text = zet_version_text();
    cli_out(cli, "%s", text != nullptr ? text : "");
    return 0;
}
const char *host_show_version_cmd_help[] = {"Show running system information",
                                            "Displays the program version", nullptr};
struct cli_element host_show_version_cmd = {"show version", host_show_version,
                                            host_show_version_cmd_help};

const char *memory_type_name(int type) {
    switch (type) {
    case MTYPE_ZET_THREAD:
        return "thread";
    case MTYPE_ZET_IF:
        return "interface";
    default:
        return "";
    }
}

int host_show_memory(struct cli *cli, int, char **) {
    cli_out(cli, "%-6s %-14s %10s\n", "Type", "Name", "Live");
    long total = 0;
    struct Ctx {
        struct cli *cli;
        long *total;
    } ctx{cli, &total};
    memory_foreach_live(
        [](void *c, int type, long live) {
            auto *x = static_cast<Ctx *>(c);
            cli_out(x->cli, "%-6d %-14s %10ld\n", type, memory_type_name(type), live);
            *x->total += live;
        },
        &ctx);
    cli_out(cli, "Total live records: %ld\n", total);
    uint64_t lost = cli->zg != nullptr ? zlog_lost_lines(cli->zg->log) : 0;
    if (lost > 0)
        cli_out(cli, "Log lines lost: %llu\n", static_cast<unsigned long long>(lost));
    return 0;
}
const char *host_show_memory_cmd_help[] = {"Show running system information",
                                           "Live memory records per type", nullptr};
struct cli_element host_show_memory_cmd = {"show memory", host_show_memory,
                                           host_show_memory_cmd_help};

// Whether path is DIR/NAME: one name right inside dir, so no ".." or link of the path's own
// can lead out of it (the directory itself belongs to root or the daemon).
bool directly_inside(std::string dir, const std::string &path) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    if (dir.empty() || dir[0] != '/')
        return false;
    std::string prefix = dir == "/" ? dir : dir + "/";
    if (!path.starts_with(prefix))
        return false;
    std::string name = path.substr(prefix.size());
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

int host_log_file(struct cli *cli, int argc, char **argv) {
    if (argc < 1)
        return 1;
    if (cli->zg == nullptr || cli->zg->log == nullptr) {
        cli_out(cli, "%% The log is not open\n");
        return 1;
    }
    const char *dir = host_log_dir(cli->zg);
    if (cli_confined(cli) && (dir == nullptr || !directly_inside(dir, argv[0]))) {
        cli_out(cli, "%% Cannot log to %s: this session may name only a file in %s\n", argv[0],
                dir != nullptr ? dir : "the log directory (none is set)");
        return 1;
    }
    char why[256];
    if (zlog_set_file_why(cli->zg->log, argv[0], why, sizeof why) != 0) {
        cli_out(cli, "%% Cannot log to %s: %s\n", argv[0], why);
        return 1;
    }
    return 0;
}
const char *host_log_file_cmd_help[] = {"Logging control", "Logging to file", "Logging filename",
                                        nullptr};
struct cli_element host_log_file_cmd = {"log file FILENAME", host_log_file, host_log_file_cmd_help};

int host_log_syslog(struct cli *cli, int, char **) {
    if (cli->zg == nullptr || cli->zg->log == nullptr) {
        cli_out(cli, "%% The log is not open\n");
        return 1;
    }
    if (zlog_set_syslog(cli->zg->log) != 0) {
        cli_out(cli, "%% Cannot log to syslog\n");
        return 1;
    }
    return 0;
}
const char *host_log_syslog_cmd_help[] = {"Logging control", "Logging to syslog", nullptr};
struct cli_element host_log_syslog_cmd = {"log syslog", host_log_syslog, host_log_syslog_cmd_help};
const char *host_no_log_file_cmd_help[] = {"Negate a command or set its defaults",
                                           "Logging control", "Logging to file (back to syslog)",
                                           nullptr};
struct cli_element host_no_log_file_cmd = {"no log file", host_log_syslog,
                                           host_no_log_file_cmd_help};

// --- vty passwords -------------------------------------------------------------------------

int set_password(struct cli *cli, int which, const std::string &plain) {
    std::string hash = zet::access::hash_password(plain);
    if (hash.empty()) {
        cli_out(cli, "%% Cannot hash the password: %s\n", std::strerror(errno));
        return 1;
    }
    host_vty_set_password(cli->zg, which, hash.c_str());
    return 0;
}

int set_password_hash(struct cli *cli, int which, const std::string &hash) {
    std::string why;
    if (!zet::access::hash_acceptable(hash, why)) {
        cli_out(cli, "%% Not a password hash this daemon takes: %s\n", why.c_str());
        return 1;
    }
    host_vty_set_password(cli->zg, which, hash.c_str());
    return 0;
}

int host_password(struct cli *cli, int argc, char **argv) {
    return argc < 1 ? 1 : set_password(cli, HOST_PASSWORD_LOGIN, argv[0]);
}
const char *host_password_cmd_help[] = {"Set the password of TCP vty sessions", "The password",
                                        nullptr};
struct cli_element host_password_cmd = {"password WORD", host_password, host_password_cmd_help};

int host_password_hash(struct cli *cli, int argc, char **argv) {
    return argc < 1 ? 1 : set_password_hash(cli, HOST_PASSWORD_LOGIN, argv[0]);
}
const char *host_password_hash_cmd_help[] = {"Set the password of TCP vty sessions",
                                             "Give it as its hash (as written by \"write\")",
                                             "The SHA-512 crypt hash", nullptr};
struct cli_element host_password_hash_cmd = {"password encrypted WORD", host_password_hash,
                                             host_password_hash_cmd_help};

int host_no_password(struct cli *cli, int, char **) {
    host_vty_set_password(cli->zg, HOST_PASSWORD_LOGIN, nullptr);
    return 0;
}
const char *host_no_password_cmd_help[] = {"Negate a command or set its defaults",
                                           "Remove the password (TCP sessions are refused)",
                                           nullptr};
struct cli_element host_no_password_cmd = {"no password", host_no_password,
                                           host_no_password_cmd_help};

int host_enable_password(struct cli *cli, int argc, char **argv) {
    return argc < 1 ? 1 : set_password(cli, HOST_PASSWORD_ENABLE, argv[0]);
}
const char *host_enable_password_cmd_help[] = {
    "Modify enable password parameters", "Set the password that \"enable\" asks TCP sessions for",
    "The password", nullptr};
struct cli_element host_enable_password_cmd = {"enable password WORD", host_enable_password,
                                               host_enable_password_cmd_help};

int host_enable_password_hash(struct cli *cli, int argc, char **argv) {
    return argc < 1 ? 1 : set_password_hash(cli, HOST_PASSWORD_ENABLE, argv[0]);
}
const char *host_enable_password_hash_cmd_help[] = {
    "Modify enable password parameters", "Set the password that \"enable\" asks TCP sessions for",
    "Give it as its hash (as written by \"write\")", "The SHA-512 crypt hash", nullptr};
struct cli_element host_enable_password_hash_cmd = {"enable password encrypted WORD",
                                                    host_enable_password_hash,
                                                    host_enable_password_hash_cmd_help};

int host_no_enable_password(struct cli *cli, int, char **) {
    host_vty_set_password(cli->zg, HOST_PASSWORD_ENABLE, nullptr);
    return 0;
}
const char *host_no_enable_password_cmd_help[] = {"Negate a command or set its defaults",
                                                  "Modify enable password parameters",
                                                  "Remove the enable password", nullptr};
struct cli_element host_no_enable_password_cmd = {"no enable password", host_no_enable_password,
                                                  host_no_enable_password_cmd_help};

} // namespace

int cli_install_default(struct cli_tree *tree, int mode) {
    int ret = 0;
    ret |= cli_install(tree, mode, &shell_exit_cmd);
    ret |= cli_install(tree, mode, &shell_quit_cmd);
    ret |= cli_install(tree, mode, &shell_end_cmd);
    ret |= cli_install(tree, mode, &shell_help_cmd);
    return ret;
}

void cli_builtin_install(struct cli_tree *tree) {
    for (int mode : {EXEC_MODE, CONFIG_MODE, INTERFACE_MODE, DUMP_MODE, PINTERFACE_MODE})
        cli_install_default(tree, mode);
    cli_install_gen(tree, EXEC_MODE, PRIVILEGE_MAX, 0, &shell_configure_cmd);
    cli_install(tree, EXEC_MODE, &shell_enable_cmd);
    cli_install(tree, EXEC_MODE, &shell_disable_cmd);
    cli_install(tree, EXEC_MODE, &shell_show_privilege_cmd);
    cli_install_gen(tree, EXEC_MODE, PRIVILEGE_MAX, CLI_FLAG_HIDDEN, &shell_dump_mode_cmd);
    for (int mode : {CONFIG_MODE, INTERFACE_MODE, PINTERFACE_MODE})
        cli_install(tree, mode, &shell_do_cmd);
}

void host_vty_init(struct lib_globals *zg) {
    if (zg == nullptr || zg->ctree == nullptr)
        return;
    struct cli_tree *tree = zg->ctree;
    for (int mode : {EXEC_MODE, CONFIG_MODE, INTERFACE_MODE, PINTERFACE_MODE}) {
        cli_install_gen(tree, mode, PRIVILEGE_MAX, 0, &host_show_running_cmd);
        cli_install_gen(tree, mode, PRIVILEGE_MAX, 0, &host_write_terminal_cmd);
        cli_install_gen(tree, mode, PRIVILEGE_MAX, 0, &host_write_cmd);
        cli_install_gen(tree, mode, PRIVILEGE_MAX, 0, &host_write_memory_cmd);
        cli_install_gen(tree, mode, PRIVILEGE_MAX, 0, &host_write_file_cmd);
    }
    cli_install(tree, EXEC_MODE, &host_show_version_cmd);
    cli_install(tree, EXEC_MODE, &host_show_memory_cmd);
    cli_install_gen(tree, CONFIG_MODE, PRIVILEGE_MAX, 0, &host_log_file_cmd);
    cli_install_gen(tree, CONFIG_MODE, PRIVILEGE_MAX, 0, &host_no_log_file_cmd);
    cli_install_gen(tree, CONFIG_MODE, PRIVILEGE_MAX, 0, &host_log_syslog_cmd);
    for (const struct cli_element *cel :
         {&host_password_cmd, &host_password_hash_cmd, &host_no_password_cmd,
          &host_enable_password_cmd, &host_enable_password_hash_cmd, &host_no_enable_password_cmd})
        cli_install_gen(tree, CONFIG_MODE, PRIVILEGE_MAX, 0, cel);
}

// The other standard command families a daemon calls at start-up: this framework has nothing of
// theirs to offer.
