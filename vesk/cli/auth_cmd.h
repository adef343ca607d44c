// "loop-detect authentication": frames signed with a per-start key (vesk/frame/auth.h).
#pragma once

struct cli;
struct cli_tree;

int vesk_authentication(struct cli *cli, int argc, char **argv);
int no_vesk_authentication(struct cli *cli, int argc, char **argv);
// Writes "loop-detect authentication" while it is on; gives the lines written.
int vesk_auth_config_write(struct cli *cli);
void vesk_auth_cli_init(struct cli_tree *tree);
