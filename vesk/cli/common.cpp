#include "vesk/cli/common.h"

#include "vesk/host/zet.h"
#include "vesk/model/model.h"

// Codes handed over by the bridge check that print nothing of their own.
enum : int {
    VESK_CLI_NO_MASTER = -5,
    VESK_CLI_NO_INTERFACE = -9,
    VESK_CLI_UNKNOWN_INTERFACE = -10,
};

struct vesk_cli_message {
    int code;
    const char *text;
};

static const struct vesk_cli_message vesk_cli_messages[] = {
    {VESK_ERR_BRIDGE_NOT_FOUND, "The bridge is not found"},
    {VESK_ERR_PORT_NOT_FOUND, "The port is not found in the bridge"},
    {VESK_ERR_PROVLAN_LIMIT, "The num of protect vlan is exceed limit"},
};

int vesk_cli_err_output(struct cli *cli, int code) {
    for (const auto &m : vesk_cli_messages) {
        if (m.code != code)
            continue;
        cli_out(cli, "%% %s\n", m.text);
        return 1;
    }
    return 0;
}

struct vesk_bridge *vesk_cli_parameter_check(struct cli *cli, const char *name, int check_if) {
    if (check_if) {
        if (cli->ifp == nullptr || cli->vr == nullptr) {
            vesk_cli_err_output(cli, VESK_CLI_NO_INTERFACE);
            return nullptr;
        }
        if (if_lookup_by_index(cli->vr->ifm, cli->ifp->ifindex) == nullptr) {
            vesk_cli_err_output(cli, VESK_CLI_UNKNOWN_INTERFACE);
            return nullptr;
        }
    }
    struct vesk_master *master = vesk_get_master(cli->zg);
    if (master == nullptr) {
        vesk_cli_err_output(cli, VESK_CLI_NO_MASTER);
        return nullptr;
    }
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(name, master);
    if (bridge == nullptr)
        vesk_cli_err_output(cli, VESK_ERR_BRIDGE_NOT_FOUND);
    return bridge;
}

struct vesk_port *vesk_cli_named_port(struct cli *cli, const char *name) {
    if (name == nullptr) {
        cli_out(cli, "%% Interface name formate error \n");
        return nullptr;
    }
    struct interface *ifp = ifg_lookup_by_name(cli->zg->ifg, name);
    if (ifp == nullptr) {
        cli_out(cli, "%% Interface does not exist: %s\n", name);
        return nullptr;
    }
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return nullptr;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port == nullptr)
        vesk_cli_err_output(cli, VESK_ERR_PORT_NOT_FOUND);
    return port;
}

int vesk_cli_number(struct cli *cli, const char *word, int lo, int hi, const char *what) {
    int status = -1;
    int value = cmd_str2int(word, &status);
    if (status < 0 || value < lo || value > hi) {
        cli_out(cli, "%% Invalid %s value\n", what);
        return -1;
    }
    return value;
}
