// The daemon's part of the running configuration: exactly the commands that restore it.
#pragma once

struct cli;

// "loop-detect enable" when the bridge is enabled. Gives 1 when the line was written, else 0.
int vesk_config_write(struct cli *cli);
// One block per interface of the virtual router (while the bridge is there) with the port's
// settings that differ from the defaults, and one per name with kept configuration
// (vesk/cli/kept_config.h) holding its lines, in natural name order; "!" separates blocks.
// Gives the number of setting lines written.
int vesk_if_config_write(struct cli *cli);
