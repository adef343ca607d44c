// The daemon's command table: set-up, the bridge check and the operator messages.
#pragma once

struct cli;
struct cli_tree;
struct lib_globals;
struct vesk_bridge;

// Installs every command of the daemon on zg's command tree and clears the debug flags.
// Gives 1.
int vesk_cli_init(struct lib_globals *zg);
// The global writer and the configure-mode commands.
void vesk_cli_config_init(struct cli_tree *tree);
// The interface writer and the interface-mode commands.
void vesk_cli_init_interface(struct cli_tree *tree);
// The bridge of that name for a command, or null after handing the reason to
// vesk_cli_err_output. With check_if set the context must have a current interface that its
// virtual router knows.
struct vesk_bridge *vesk_cli_parameter_check(struct cli *cli, const char *name, int check_if);
// Prints "% " and the message of code and gives 1, or prints nothing and gives 0 for a code
// without a message.
int vesk_cli_err_output(struct cli *cli, int code);
