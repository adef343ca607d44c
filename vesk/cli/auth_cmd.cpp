#include "vesk/cli/auth_cmd.h"

#include "vesk/daemon/daemon.h"
#include "vesk/frame/auth.h"
#include "vesk/host/zet.h"

int vesk_authentication(struct cli *cli, int, char **) {
    struct vesk_daemon *d = vesk_daemon_of(cli->zg);
    if (d == nullptr || vesk_auth_set(&d->auth, 1) != 0) {
        cli_out(cli, "%% No random key for frame authentication; it stays off\n");
        return 1;
    }
    return 0;
}

int no_vesk_authentication(struct cli *cli, int, char **) {
    if (struct vesk_daemon *d = vesk_daemon_of(cli->zg); d != nullptr)
        vesk_auth_set(&d->auth, 0);
    return 0;
}

int vesk_auth_config_write(struct cli *cli) {
    const struct vesk_daemon *d = vesk_daemon_of(cli->zg);
    if (d == nullptr || !d->auth.on)
        return 0;
    cli_out(cli, "loop-detect authentication\n");
    return 1;
}

static const char VESK_HELP_GLOBAL[] = "Neighbor Loop Detect Protocol (VESK)";

static const char *const vesk_auth_cmd_help[] = {
    VESK_HELP_GLOBAL, "Sign detect packets with a secret key so that no other host can forge them",
    nullptr};
const struct cli_element vesk_auth_cmd = {"loop-detect authentication", vesk_authentication,
                                          vesk_auth_cmd_help};
static const char *const no_vesk_auth_cmd_help[] = {
    "Negate a command or set its defaults", VESK_HELP_GLOBAL,
    "Detect packets carry their plain check values again", nullptr};
const struct cli_element no_vesk_auth_cmd = {"no loop-detect authentication",
                                             no_vesk_authentication, no_vesk_auth_cmd_help};
