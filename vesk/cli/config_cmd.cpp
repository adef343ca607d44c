#include "vesk/cli/config_cmd.h"

#include "vesk/cli/common.h"
#include "vesk/daemon/daemon.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/yield.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

#include <cstring>

// The bridge for an interface command, or null after the check's message.
static struct vesk_bridge *vesk_cli_if_bridge(struct cli *cli) {
    return vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 1);
}

static int vesk_cli_result(struct cli *cli, int code) {
    if (code == VESK_SUCCESS)
        return 0;
    return vesk_cli_err_output(cli, code);
}

// The bridge-wide enable of bridge "1", or of the master while the bridge is not there; false
// without a master, after the same (silent) answer as the bridge check.
static bool vesk_cli_set_bridge_enable(struct cli *cli, uint8_t enable) {
    struct vesk_master *master = vesk_get_master(cli->zg);
    if (master == nullptr)
        return vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0) != nullptr;
    master->kept_enable = enable;
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master);
    if (bridge == nullptr || bridge->vesk_enable == enable)
        return true;
    bridge->vesk_enable = enable;
    if (enable)
        vesk_api_enable_bridge(bridge);
    else
        vesk_api_disable_bridge(bridge);
    return true;
}

static int vesk_enable(struct cli *cli, int, char **) {
    return vesk_cli_set_bridge_enable(cli, 1) ? 0 : 1;
}

static int no_vesk_enable(struct cli *cli, int, char **) {
    return vesk_cli_set_bridge_enable(cli, 0) ? 0 : 1;
}

// Whether ifp is a port of bridge "1" now.
static bool vesk_cli_is_port(struct cli *cli, struct interface *ifp) {
    struct vesk_master *master = vesk_get_master(cli->zg);
    if (ifp == nullptr || master == nullptr)
        return false;
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master);
    return vesk_find_port_from_bridge(ifp, bridge) != nullptr;
}

static int interface_vesk(struct cli *cli, int argc, char **argv) {
    if (argc < 1 || argv[0] == nullptr)
        return 1;
    struct interface *ifp = ifg_get_by_name(cli->zg->ifg, argv[0]);
    // A switch may start veskd before its bridge and ports exist: the file's lines for them wait.
    // An operator's session is told at once, so that a typo is seen.
    if (cli_is_file_reader(cli) && !vesk_cli_is_port(cli, ifp) && vesk_port_name_ok(argv[0])) {
        cli_select_interface_name(cli, argv[0]);
        return 0;
    }
    if (ifp == nullptr) {
        cli_out(cli, "%% Interface does not exist: %s\n", argv[0]);
        // The lines meant for the missing interface must reach no other, nor the whole bridge.
        cli_select_interface(cli, nullptr);
        return 1;
    }
    cli_select_interface(cli, ifp);
    return 0;
}

// The port of the current interface, or null after saying so: a command that changes nothing
// must not look like success.
static struct vesk_port *vesk_cli_current_port(struct cli *cli) {
    if (cli->ifp == nullptr || cli->ifp->info == nullptr) {
        vesk_cli_err_output(cli, VESK_ERR_PORT_NOT_FOUND);
        return nullptr;
    }
    return static_cast<struct vesk_port *>(cli->ifp->info);
}

static int vesk_enable_p(struct cli *cli, int, char **) {
    struct vesk_port *port = vesk_cli_current_port(cli);
    if (port == nullptr)
        return 1;
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    if (port->cfg_enable)
        return 0;
    port->cfg_enable = 1;
    port->cfg_disable = 0;
    vesk_enable_port(port);
    vesk_api_add_protect_vlan(1, cli->ifp, bridge);
    return 0;
}

// The port's own enable goes; under the bridge-wide enable the port also leaves that one, since
// an operator who says "no" on a port means that port.
static int no_vesk_enable_p(struct cli *cli, int, char **) {
    struct vesk_port *port = vesk_cli_current_port(cli);
    if (port == nullptr)
        return 1;
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    const bool opt_out = bridge->vesk_enable && !port->cfg_disable;
    if (!port->cfg_enable && !opt_out)
        return 0;
    port->cfg_enable = 0;
    port->cfg_disable = bridge->vesk_enable;
    vesk_disable_port(port);
    vesk_api_remove_protect_vlan(1, cli->ifp, bridge);
    return 0;
}

static int vesk_port_protect_vlan(struct cli *cli, int, char **argv) {
    int vid = vesk_cli_number(cli, argv[0], 1, 4094, "vlan");
    if (vid < 0)
        return 1;
    struct vesk_bridge *bridge = vesk_cli_if_bridge(cli);
    if (bridge == nullptr)
        return 1;
    return vesk_cli_result(cli,
                           vesk_api_add_protect_vlan(static_cast<uint16_t>(vid), cli->ifp, bridge));
}

static int no_vesk_port_protect_vlan(struct cli *cli, int, char **argv) {
    int vid = vesk_cli_number(cli, argv[0], 1, 4094, "vlan");
    if (vid < 0)
        return 1;
    struct vesk_bridge *bridge = vesk_cli_if_bridge(cli);
    if (bridge == nullptr)
        return 1;
    return vesk_cli_result(
        cli, vesk_api_remove_protect_vlan(static_cast<uint16_t>(vid), cli->ifp, bridge));
}

static int no_vesk_port_protect_vlan_all(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_if_bridge(cli);
    if (bridge == nullptr)
        return 1;
    return vesk_cli_result(cli, vesk_api_remove_protect_vlan(0, cli->ifp, bridge));
}

// Forcing up a port that loop detection holds nowhere leaves the port as it wanted it, so it is
// no error, but the operator learns that loop detection is not what keeps it down.
static int vesk_port_force_up(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_if_bridge(cli);
    if (bridge == nullptr)
        return 1;
    const struct vesk_port *port = vesk_find_port_from_bridge(cli->ifp, bridge);
    // A port left locked by a block whose state file was lost is released all the same.
    if (port != nullptr && !port->resume_timer.armed() && !vesk_port_is_cut(port) &&
        port->vlan_blocks.empty() &&
        !vesk_port_flags_locked(vesk_port_bridge_flags(cli->zg, port->ifindex))) {
        cli_out(cli, "Interface %s is not cut by loop detection: nothing to release\n", port->name);
        return 0;
    }
    return vesk_cli_result(cli, vesk_api_force_up(cli->ifp, bridge));
}

static int vesk_fast_detect_on(struct cli *cli, int, char **) {
    if (struct vesk_daemon *d = vesk_daemon_of(cli->zg); d != nullptr)
        d->fast_detect = 1;
    return 0;
}

static int no_vesk_fast_detect(struct cli *cli, int, char **) {
    if (struct vesk_daemon *d = vesk_daemon_of(cli->zg); d != nullptr)
        d->fast_detect = 0;
    return 0;
}

static int vesk_hold_off(struct cli *cli, int, char **argv) {
    int msec = vesk_cli_number(cli, argv[0], 0, VESK_HOLD_OFF_MAX_MSEC, "time");
    if (msec < 0)
        return 1;
    vesk_hold_off_msec = static_cast<uint32_t>(msec);
    return 0;
}

static int no_vesk_hold_off(struct cli *, int, char **) {
    vesk_hold_off_msec = VESK_HOLD_OFF_DEFAULT_MSEC;
    return 0;
}

static const char *const vesk_enable_cmd_help[] = {
    VESK_HELP_GLOBAL, "enable neighbour loop detection protocol", nullptr};
const struct cli_element vesk_enable_cmd = {"loop-detect enable", vesk_enable,
                                            vesk_enable_cmd_help};

static const char *const no_vesk_enable_cmd_help[] = {
    VESK_HELP_NO, VESK_HELP_GLOBAL, "disable neighbour loop detection protocol", nullptr};
const struct cli_element no_vesk_enable_cmd = {"no loop-detect enable", no_vesk_enable,
                                               no_vesk_enable_cmd_help};

static const char *const interface_vesk_cmd_help[] = {
    "Select an interface to configure", "Interface name(e.g. pon, fe, ge, xge, xe, sa, po, vlan)",
    nullptr};
const struct cli_element interface_vesk_cmd = {"interface IFNAME", interface_vesk,
                                               interface_vesk_cmd_help};

const struct cli_element vesk_enable_p_cmd = {"loop-detect enable", vesk_enable_p,
                                              vesk_enable_cmd_help};

const struct cli_element no_vesk_enable_p_cmd = {"no loop-detect enable", no_vesk_enable_p,
                                                 no_vesk_enable_cmd_help};

static const char *const vesk_port_protect_vlan_cmd_help[] = {
    VESK_HELP_IF, "Protect vlan configuration", "Vlan", "the vlan enable loop-detect", nullptr};
const struct cli_element vesk_port_protect_vlan_cmd = {
    "loop-detect protect vlan <1-4094>", vesk_port_protect_vlan, vesk_port_protect_vlan_cmd_help};

static const char *const no_vesk_port_protect_vlan_cmd_help[] = {VESK_HELP_NO,
                                                                 VESK_HELP_IF,
                                                                 "Protect vlan configuration",
                                                                 "Vlan",
                                                                 "the vlan disable loop-detect",
                                                                 nullptr};
const struct cli_element no_vesk_port_protect_vlan_cmd = {"no loop-detect protect vlan <1-4094>",
                                                          no_vesk_port_protect_vlan,
                                                          no_vesk_port_protect_vlan_cmd_help};

static const char *const no_vesk_port_protect_vlan_all_cmd_help[] = {
    VESK_HELP_NO,
    VESK_HELP_IF,
    "Protect vlan configuration",
    "Vlan",
    "all the vlan disable loop-detect",
    nullptr};
const struct cli_element no_vesk_port_protect_vlan_all_cmd = {
    "no loop-detect protect vlan all", no_vesk_port_protect_vlan_all,
    no_vesk_port_protect_vlan_all_cmd_help};

static const char *const vesk_port_force_up_cmd_help[] = {
    VESK_HELP_IF, "Force port up", "use this command to up interface", nullptr};
const struct cli_element vesk_port_force_up_cmd = {"loop-detect force up", vesk_port_force_up,
                                                   vesk_port_force_up_cmd_help};

static const char *const vesk_fast_detect_cmd_help[] = {
    VESK_HELP_GLOBAL, "probe at once where the bridge sees a MAC address move between ports",
    nullptr};
const struct cli_element vesk_fast_detect_cmd = {"loop-detect fast-detect", vesk_fast_detect_on,
                                                 vesk_fast_detect_cmd_help};

static const char *const no_vesk_fast_detect_cmd_help[] = {
    VESK_HELP_NO, VESK_HELP_GLOBAL, "probe only at the transmit interval", nullptr};
const struct cli_element no_vesk_fast_detect_cmd = {
    "no loop-detect fast-detect", no_vesk_fast_detect, no_vesk_fast_detect_cmd_help};

static const char *const vesk_hold_off_cmd_help[] = {
    VESK_HELP_GLOBAL, "how long a loop that another veskd sees too is left to it",
    "milliseconds (0: never)", nullptr};
const struct cli_element vesk_hold_off_cmd = {"loop-detect hold-off <0-5000>", vesk_hold_off,
                                              vesk_hold_off_cmd_help};

static const char *const no_vesk_hold_off_cmd_help[] = {
    VESK_HELP_NO, VESK_HELP_GLOBAL, "leave a loop to another veskd for the default time", nullptr};
const struct cli_element no_vesk_hold_off_cmd = {"no loop-detect hold-off", no_vesk_hold_off,
                                                 no_vesk_hold_off_cmd_help};
