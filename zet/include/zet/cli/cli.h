// The command shell: command records, modes, the CLI context handlers receive, installation,
// parsing and help, and the running-configuration writers.
//
// A daemon defines each command as a plain static record and its help array:
//
//     static int port_hello_time(struct cli *cli, int argc, char **argv);
//     static const char *port_hello_time_cmd_help[] = {
//         "Hello protocol", "Interval between hellos", "Seconds", nullptr};
//     static struct cli_element port_hello_time_cmd = {
//         "hello interval <1-300>", port_hello_time,
//         port_hello_time_cmd_help};   // the remaining words stay zero
//
//     cli_install(tree, INTERFACE_MODE, &port_hello_time_cmd);
//
// The tree copies what it needs: one record may be installed in several modes, and the record
// itself is never written.
//
// Syntax, word by word (words separated by blanks):
//   keyword      lower-case text ("show", "hello"): matches the word itself or any unique
//                prefix of it ("sh hel" runs "show hello"). Adds no argument.
//   <lo-hi>      a range ("<1-4094>"): matches ANY decimal number ("-"? digits), in range or
//                not; the handler checks the range itself (cmd_str2int) and answers in its own
//                words. "?" shows the range. Adds the word as typed.
//   VARIABLE     an upper-case name (IFNAME, WORD, FILENAME): matches any word. Adds the word.
//                LINE as the last word takes the rest of the line as one argument.
//   (a|b|)       alternatives, each a keyword, range or variable; an empty alternative makes
//                the group optional. A chosen alternative adds one argument (a keyword adds
//                its full spelling, even when abbreviated); a skipped group adds none.
//                "debug hello packet (recv|send|) (detail|)":
//                  "debug hello packet"             argc 0
//                  "debug hello packet detail"      argc 1: "detail"
//                  "debug hello packet send detail" argc 2: "send", "detail"
// Help array: one string per word of the syntax, and for a group one per non-empty
// alternative, in order, ended by a null entry.
//
// When several commands match a line, the one whose words match best wins, word by word from
// the left: exact keyword, then range, then keyword prefix, then variable. A tie between
// different commands is reported as ambiguous at the word where they part.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct lib_globals;
struct cli_tree;
struct interface;
struct ovx_vr;

// Mode numbers. The shell knows these; a daemon may install in any number 0..1023.
enum : int {
    EXEC_MODE = 4,            // prompt "NAME> " (privilege < 15) or "NAME# "
    CONFIG_MODE = 5,          // "NAME(config)# "; entered by "configure terminal"
    INTERFACE_MODE = 16,      // "NAME(config-if)# "; entered by the daemon's "interface IFNAME"
    DUMP_MODE = 100,          // "NAME(dump)# "; entered by the hidden exec command "dump-mode"
    GLOBAL_WRITER_MODE = 110, // a writer number only: the global running-config writers
    PINTERFACE_MODE = 120,    // "NAME(config-if)# "; port-channel and PON interfaces ("po1",
                              // "pon1": "po" or "pon" and digits)
    CLI_MODE_MAX = 1024,
};

// Privilege levels. A command runs only in a session whose privilege is at least the
// command's. Sessions on the Unix socket and the configuration file have 15; TCP sessions log
// in with 1 and reach 15 with "enable" and the enable password.
enum : int {
    PRIVILEGE_MIN = 1,
    PRIVILEGE_NORMAL = 1, // what cli_install gives a command
    PRIVILEGE_MAX = 15,
};

// Flags word of a command, stored per installed command; bits the shell does not know have no
// effect.
enum : uint32_t {
    CLI_FLAG_NORMAL = 0,
    CLI_FLAG_HIDDEN = 0x01, // runs when typed, but "?" and TAB do not list it
};

// What cli_execute gives besides a handler's own result (handlers return 0, 1, -1).
enum : int {
    CLI_SUCCESS = 0,
    CLI_ERR_UNKNOWN = -1001,    // no command matches; the word at fault is reported
    CLI_ERR_AMBIGUOUS = -1002,  // a word matches several commands equally well
    CLI_ERR_INCOMPLETE = -1003, // the line ends before any command does
    CLI_ERR_PRIVILEGE = -1004,  // the session's privilege is below the command's
    CLI_ERR_TOO_LONG = -1005,   // the line exceeds CLI_LINE_MAX
    CLI_LINE_MAX = 4096,        // bytes of one command line, without its end
    // A line after a failed interface selection (cli_select_interface with null) that neither
    // selects an interface nor leaves the mode.
    CLI_ERR_NO_INTERFACE = -1006,
    // A command of another interface mode, never tried in configure mode.
    CLI_ERR_WRONG_MODE = -1007,
};

struct cli;

// A command handler: the CLI context, the number of arguments and the arguments (values of
// the ranges and variables and the chosen alternatives, in order; argv[argc] is null).
// Returns 0 for success, non-zero for failure (the shell shows what the handler printed).
typedef int (*cli_handler)(struct cli *cli, int argc, char **argv);
// A running-configuration writer: prints its lines through cli_out and returns a count.
typedef int (*cli_writer)(struct cli *cli);
// The output routine of a context: a formatted print to the user ("%%" prints "%").
typedef int (*cli_out_func)(void *out_val, const char *format, ...);

// The command record. Define it as a static with the first three members; leave the rest zero.
struct cli_element {
    const char *str;         // the syntax
    cli_handler func;        // the handler
    const char *const *help; // one help string per word (per alternative), then nullptr
};

// The CLI context: one per vty session, per configuration-file run and per running-config
// build. Handlers read and write these members directly.
struct cli {
    struct lib_globals *zg; // the framework handle of the daemon
    struct ovx_vr *vr;      // the virtual router of the context (the privileged one)
    int mode;               // the current mode number
    // The current interface, set by the daemon's "interface IFNAME" handler through
    // cli_select_interface; null outside interface modes. "exit" and "end" leave the interface
    // (ifp back to null). When the interface is deleted while selected, the shell clears ifp
    // before the next command of that context.
    struct interface *ifp;
    int privilege; // the session's privilege, 1..15
    // The output routine and its handle: out_func(out_val, format, ...). Use cli_out.
    cli_out_func out_func;
    void *out_val;
    void *impl; // the shell's own state; not for handlers
};

// Prints to the user of the context, printf-like ("%%" prints "%"). Gives the bytes printed.
int cli_out(struct cli *cli, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Makes and frees the command tree that lib_start keeps in zg->ctree. The tree is made with
// the shell's own commands in it (see docs/cli.md): in every mode "exit", "quit", "end",
// "help"; in exec mode "configure terminal", "enable", "disable", the hidden "dump-mode".
struct cli_tree *cli_tree_create(struct lib_globals *zg);
void cli_tree_free(struct cli_tree *tree);

// Installs a command in a mode with privilege PRIVILEGE_NORMAL and flags 0. A command of the
// same syntax already in that mode is replaced. Gives 0, or -1 for a bad mode or syntax (logged).
int cli_install(struct cli_tree *tree, int mode, const struct cli_element *cel);
// As cli_install with an explicit privilege (1..15) and flags word.
int cli_install_gen(struct cli_tree *tree, int mode, int privilege, uint32_t flags,
                    const struct cli_element *cel);
// Registers a running-configuration writer under a mode number (several per number keep their
// order). The running configuration is: the framework's lines (log settings), then writers of
// GLOBAL_WRITER_MODE (110), then writers of INTERFACE_MODE (16; each writer walks the
// interfaces itself and prints "interface NAME" headers), then any other numbers in ascending
// order; sections that print something are separated by "!" lines.
int cli_install_config(struct cli_tree *tree, int mode, cli_writer writer);

// The interface mode an interface's name calls for: PINTERFACE_MODE for "po" or "pon" followed
// by digits, else INTERFACE_MODE.
int cli_interface_mode(const char *name);
// What an "interface IFNAME" handler does: selects ifp in the mode its name calls for. Null (no
// such interface) selects none: every later line but one that selects an interface, "exit",
// "quit", "end" and "help" is refused until then, so that the lines meant for the missing
// interface reach no other one, nor configure mode.
void cli_select_interface(struct cli *cli, struct interface *ifp);
// Selects an interface by name alone, for one that is not there (or not yet what the daemon
// configures): the mode its name calls for, ifp null. The lines of that mode that follow are
// handed to the tree's keeper (cli_set_keeper) instead of their handlers, so a configuration
// can name interfaces before they appear.
void cli_select_interface_name(struct cli *cli, const char *name);
// Takes one line of an interface selected by name: the line as typed, without its leading and
// trailing blanks. Gives what cli_execute gives for the line.
typedef int (*cli_keeper)(struct cli *cli, const char *name, const char *line);
void cli_set_keeper(struct cli_tree *tree, cli_keeper keeper);
// A context running a configuration file (zet::config::read_file) rather than an operator's
// session.
void cli_mark_file_reader(struct cli *cli);
bool cli_is_file_reader(const struct cli *cli);

// Converts decimal text (optional sign, digits, nothing else). Gives the value and sets
// *status to 0; for anything that is not a number in the range of a 32-bit int gives 0 and sets
// *status to -1.
int cmd_str2int(const char *text, int *status);

// --- The framework side and tests -----------------------------------------------------------

// A context on the tree of zg: mode EXEC_MODE, vr the privileged router, the given privilege,
// output collected in the context (cli_output_take).
struct cli *cli_new(struct lib_globals *zg, int privilege);
void cli_free(struct cli *cli);
// Takes and clears what was printed to a context made by cli_new.
std::string cli_output_take(struct cli *cli);

// Runs one line in the context's mode. Gives the handler's result, CLI_SUCCESS for an empty or
// comment line ("!" or "#" first), or a CLI_ERR_* code after printing "% ..." naming the word at
// fault. fallback: when the line is no command of the current mode, try it in the enclosing
// configuration modes (interface modes -> CONFIG_MODE); the mode moves there when it runs. A
// command of another interface mode, and any line after a failed interface selection, never
// falls back. Every caller has a context and a line: neither may be null.
int cli_execute(struct cli *cli, const char *line, bool fallback);
// Prints the help listing for a line that ended in "?": line is the text before the "?".
// With a blank (or nothing) at its end: the next words with their help, "<cr>" when the line
// is complete; otherwise the words that complete the last word.
void cli_describe(struct cli *cli, const char *line);
// The keywords that complete the last (partial) word of line, in order, blank-separated.
std::string cli_complete(struct cli *cli, const char *line);
// The prompt of the context's mode and privilege ("NAME# ", "NAME(config)# ", ...), NAME being
// the daemon's name (zet_name in zet/core/pal.h).
std::string cli_prompt(const struct cli *cli);

// Context state for the shell's own commands and the vty.
int cli_max_privilege(const struct cli *cli); // what "enable" may raise privilege to
void cli_request_close(struct cli *cli);      // "exit"/"quit" in exec mode: end the session
bool cli_close_requested(const struct cli *cli);
// A session that reaches privilege 15 only through the enable password (TCP): "enable" then
// asks the vty for it instead of raising the privilege itself.
void cli_set_enable_by_password(struct cli *cli);
bool cli_enable_by_password(const struct cli *cli);
// A session whose peer is not root (every TCP session, another user on the Unix socket): its
// "log file" may name only a file directly inside the host's log directory (host_set_log_dir),
// since a file elsewhere is created or appended with the daemon's own rights.
void cli_set_confined(struct cli *cli);
bool cli_confined(const struct cli *cli);
void cli_request_enable_password(struct cli *cli);
// Whether the last command asked for the enable password; clears the request.
bool cli_take_enable_request(struct cli *cli);
void cli_leave_interface(struct cli *cli, int mode); // sets mode; clears ifp outside mode 16/120
// The writers registered with cli_install_config, in registration order.
std::vector<std::pair<int, cli_writer>> cli_tree_writers(const struct cli_tree *tree);
