// The command shell: command records, modes, parsing, help and the running configuration.
#pragma once

struct lib_globals;
struct cli_tree;

// Makes and frees the command tree that lib_start keeps in zg->ctree.
struct cli_tree *cli_tree_create(struct lib_globals *zg);
void cli_tree_free(struct cli_tree *tree);
