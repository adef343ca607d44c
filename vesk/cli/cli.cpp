#include "vesk/cli/cli.h"

#include "vesk/cli/auth_cmd.h"
#include "vesk/cli/config_cmd.h"
#include "vesk/cli/config_write.h"
#include "vesk/cli/debug.h"
#include "vesk/cli/history_show.h"
#include "vesk/cli/json_show.h"
#include "vesk/cli/show.h"
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

// -14 (no memory for a protect VLAN) gets the generic failure text: without it a failed
// command would look like success to the operator.
static const struct vesk_cli_message vesk_cli_messages[] = {
    {VESK_ERR_HANDLER, "The operation failed"},
    {VESK_ERR_VLAN_NOT_MEMBER, "The vlan is not belong to the port, config error"},
    {VESK_ERR_BRIDGE_NOT_FOUND, "The bridge is not found"},
    {VESK_ERR_PORT_NOT_FOUND, "The port is not found in the bridge"},
    {VESK_ERR_PROVLAN_LIMIT, "The num of protect vlan is exceed limit"},
    {VESK_ERR_PROVLAN_NOMEM, "The operation failed"},
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
    struct vesk_bridge *bridge = vesk_find_bridge_byname(master->bridge_list, name);
    if (bridge == nullptr)
        vesk_cli_err_output(cli, VESK_ERR_BRIDGE_NOT_FOUND);
    return bridge;
}

void vesk_cli_config_init(struct cli_tree *tree) {
    cli_install_config(tree, GLOBAL_WRITER_MODE, vesk_config_write);
    cli_install(tree, CONFIG_MODE, &vesk_enable_cmd);
    cli_install(tree, CONFIG_MODE, &no_vesk_enable_cmd);
    cli_install(tree, CONFIG_MODE, &interface_vesk_cmd);
    cli_install(tree, CONFIG_MODE, &vesk_fast_detect_cmd);
    cli_install(tree, CONFIG_MODE, &no_vesk_fast_detect_cmd);
}

void vesk_cli_init_interface(struct cli_tree *tree) {
    cli_install_config(tree, INTERFACE_MODE, vesk_if_config_write);
    cli_install_default(tree, INTERFACE_MODE);
    cli_install(tree, INTERFACE_MODE, &vesk_enable_p_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_enable_p_cmd);
    cli_install(tree, INTERFACE_MODE, &interface_vesk_cmd);
    cli_install(tree, PINTERFACE_MODE, &interface_vesk_cmd);
    cli_install(tree, INTERFACE_MODE, &vesk_port_protect_vlan_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_port_protect_vlan_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_port_protect_vlan_all_cmd);
    cli_install(tree, INTERFACE_MODE, &vesk_port_tx_time_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_port_tx_time_cmd);
    cli_install(tree, INTERFACE_MODE, &vesk_port_resume_time_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_port_resume_time_cmd);
    cli_install(tree, INTERFACE_MODE, &vesk_port_force_up_cmd);
    // The running configuration writes " loop-detect loop log"; reading it back needs this.
    cli_install(tree, INTERFACE_MODE, &vesk_port_loop_handle_cmd);
    cli_install(tree, INTERFACE_MODE, &vesk_port_uplink_cmd);
    cli_install(tree, INTERFACE_MODE, &no_vesk_port_uplink_cmd);
}

int vesk_cli_init(struct lib_globals *zg) {
    struct cli_tree *tree = zg->ctree;
    vesk_cli_config_init(tree);
    vesk_auth_cli_init(tree);
    vesk_cli_init_interface(tree);
    vesk_cli_init_debug(tree);
    vesk_cli_init_show(tree);
    vesk_cli_init_history(tree);
    vesk_cli_init_json(tree);
    vesk_debug_init(&vesk_global_debug);
    return 1;
}
