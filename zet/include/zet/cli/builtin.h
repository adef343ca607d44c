// The shell's own commands (exit, end, configure terminal, ...) and the host's command family
// (show running-config, write, show version, show memory, log settings).
#pragma once

struct cli_tree;
struct lib_globals;

// Installs the shell's own commands; lib_start calls it on the tree it makes.
void cli_builtin_install(struct cli_tree *tree);
// Installs the shell's default commands in a mode: exit, quit, end, help.
int cli_install_default(struct cli_tree *tree, int mode);

// The standard command families a daemon calls at start-up.
void host_vty_init(struct lib_globals *zg); // show running-config, write, show version,
                                            // show memory, log file/syslog
