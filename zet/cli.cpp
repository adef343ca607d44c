#include "zet/cli.h"

#include <cstdarg>
#include <cstdio>

// Placeholder while the command shell lands: records are accepted and forgotten.
struct cli_tree {
    struct lib_globals *zg;
};

struct cli_tree *cli_tree_create(struct lib_globals *zg) { return new cli_tree{zg}; }
void cli_tree_free(struct cli_tree *tree) { delete tree; }

int cli_out(struct cli *cli, const char *format, ...) {
    char buf[4096];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    if (cli != nullptr && cli->out_func != nullptr)
        cli->out_func(cli->out_val, "%s", buf);
    return n;
}

int cli_install(struct cli_tree *, int, const struct cli_element *) { return 0; }
int cli_install_gen(struct cli_tree *, int, int, uint32_t, const struct cli_element *) {
    return 0;
}
int cli_install_default(struct cli_tree *, int) { return 0; }
int cli_install_config(struct cli_tree *, int, cli_writer) { return 0; }
int cmd_str2int(const char *, int *status) {
    *status = -1;
    return 0;
}
void host_vty_init(struct lib_globals *) {}
void access_list_init(struct lib_globals *) {}
void prefix_list_init(struct lib_globals *) {}
void route_map_cli_init(struct lib_globals *) {}
void keychain_cli_init(struct lib_globals *) {}
