// "loop-detect authentication": frames signed with a per-start key (vesk/frame/auth.h).
#pragma once

struct cli;
struct cli_element;

int vesk_authentication(struct cli *cli, int argc, char **argv);
int no_vesk_authentication(struct cli *cli, int argc, char **argv);
// Writes "loop-detect authentication" while it is on; gives the lines written.
int vesk_auth_config_write(struct cli *cli);

extern const struct cli_element vesk_auth_cmd;
extern const struct cli_element no_vesk_auth_cmd;
