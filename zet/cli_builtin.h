// The shell's own commands (exit, end, configure terminal, ...) and the host's command family
// (show running-config, write, show version, show memory, log settings).
#pragma once

struct cli_tree;

// Installs the shell's own commands; cli_tree_create calls it. The host family is installed by
// host_vty_init (declared in zet/cli.h).
void cli_builtin_install(struct cli_tree *tree);
