#include "zet/cli.h"

// Placeholder until the command shell lands: a tree that holds nothing.
struct cli_tree {
    struct lib_globals *zg;
};

struct cli_tree *cli_tree_create(struct lib_globals *zg) { return new cli_tree{zg}; }

void cli_tree_free(struct cli_tree *tree) { delete tree; }
