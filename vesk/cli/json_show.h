// The show commands as JSON, for scripts: "show loop-detect json", "show loop-detect interface
// IFNAME json", "show loop-detect events json", "show loop-detect statistics json". Field
// names and examples: docs/json.md.
#pragma once

struct cli_tree;

void vesk_cli_init_json(struct cli_tree *tree);
