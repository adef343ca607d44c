// Helpers of the daemon's command handlers: the bridge and port a command names, and the
// operator messages of result codes.
#pragma once

struct cli;
struct vesk_bridge;
struct vesk_port;

// The bridge of that name for a command, or null after handing the reason to
// vesk_cli_err_output. With check_if set the context must have a current interface that its
// virtual router knows.
struct vesk_bridge *vesk_cli_parameter_check(struct cli *cli, const char *name, int check_if);
// Prints "% " and the message of code and gives 1, or prints nothing and gives 0 for a code
// without a message.
int vesk_cli_err_output(struct cli *cli, int code);
// The port of the interface a command names, or null after telling the operator why.
struct vesk_port *vesk_cli_named_port(struct cli *cli, const char *name);
// The value of a numeric word within [lo, hi], or -1 after printing the invalid-value message
// with what ("time" or "vlan"). A handler passes argv[0], which is null for no argument
// (argv[argc] is null): that is no number either.
int vesk_cli_number(struct cli *cli, const char *word, int lo, int hi, const char *what);

// Help of the first words of the daemon's commands.
inline constexpr char VESK_HELP_GLOBAL[] = "Neighbor Loop Detect Protocol (VESK)";
inline constexpr char VESK_HELP_IF[] = "Neighbor loop detect protocal interface configuration";
inline constexpr char VESK_HELP_NO[] = "Negate a command or set its defaults";
