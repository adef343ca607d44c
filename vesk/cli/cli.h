// The daemon's command table: the one place where its commands and configuration writers are
// installed.
#pragma once

struct lib_globals;

// Installs every command of the daemon on zg's command tree and clears the debug flags.
// Gives 1.
int vesk_cli_init(struct lib_globals *zg);
