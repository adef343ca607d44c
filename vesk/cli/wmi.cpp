#include "vesk/cli/wmi.h"

#include <array>
#include <string>

#include "vesk/cli/common.h"
#include "vesk/cli/show.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

int vesk_wmi_port_reported(const char *name) {
    return cli_interface_mode(name) != PINTERFACE_MODE;
}

// A group that ends its run is a single id or a range; a group cut off by the
// group size is always written as a range, even of one value.
static void wmi_write_group(struct cli *cli, int first, int last, bool cut) {
    if (first == last && !cut) {
        cli_out(cli, "%d,", first);
        return;
    }
    cli_out(cli, "%d-%d,", first, last);
}

void wmi_loopback_vlan_display_format(struct cli *cli, const int *vids, int count, int group) {
    if (vids == nullptr || count <= 0) {
        return;
    }
    if (group < 1) {
        group = 1;
    }
    int start = vids[0];
    int size = 1;
    for (int i = 1; i < count; i++) {
        bool follows = static_cast<long long>(vids[i]) == static_cast<long long>(vids[i - 1]) + 1;
        if (follows && size < group) {
            size++;
            continue;
        }
        wmi_write_group(cli, start, vids[i - 1], follows);
        start = vids[i];
        size = 1;
    }
    wmi_write_group(cli, start, vids[count - 1], false);
}

// Every protect VLAN of the port, active or not, looped or not, in the order
// added.
static void wmi_write_port_vlans(struct cli *cli, struct vesk_port *port) {
    std::array<int, VESK_WMI_VLAN_MAX> vids{};
    int count = 0;
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        if (count >= VESK_WMI_VLAN_MAX) {
            continue;
        }
        vids[count++] = entry->vid;
    }
    wmi_loopback_vlan_display_format(cli, vids.data(), count, VESK_WMI_VLAN_MAX);
}

// The port name as a quoted string of the report: a '"' or '\\' in a name (the kernel allows
// both) is escaped, so the management interface still reads one field.
static void wmi_write_name(struct cli *cli, const char *name) {
    std::string quoted = "\"";
    for (const char *p = name; *p != '\0'; p++) {
        if (*p == '"' || *p == '\\')
            quoted += '\\';
        quoted += *p;
    }
    quoted += '"';
    cli_out(cli, "%s", quoted.c_str());
}

static bool wmi_has_provlan(const struct vesk_port *port) {
    return !port->provlans.empty();
}

int get_wmi_loopback_enable(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        cli_out(cli, "%s", "ERROR");
        return 1;
    }
    cli_out(cli, "%s", bridge->vesk_enable ? "enable" : "disable");
    return 0;
}

static int wmi_port_enable_state(const struct vesk_bridge *bridge, const struct vesk_port *port) {
    if (bridge->vesk_enable || port->cfg_enable) {
        return 1;
    }
    return 2;
}

int get_wmi_loopback_port_info(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        return 0;
    }
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (!vesk_wmi_port_reported(port->name)) {
            continue;
        }
        cli_out(cli, "loopback( ");
        wmi_write_name(cli, port->name);
        cli_out(cli, ", \"%d\"", wmi_port_enable_state(bridge, port));
        cli_out(cli, ", \"%d\"", static_cast<int>(port->settings.resume_time));
        cli_out(cli, ", \"%d\", \"", static_cast<int>(port->settings.tx_interval_time));
        wmi_write_port_vlans(cli, port);
        cli_out(cli, "\");\n");
    }
    return 0;
}

static void wmi_write_port_state(struct cli *cli, const struct vesk_bridge *bridge,
                                 struct vesk_port *port) {
    bool has_provlan = wmi_has_provlan(port);
    cli_out(cli, "loopInfo( ");
    wmi_write_name(cli, port->name);
    cli_out(cli, ", \"%s\"", bridge->vesk_enable || has_provlan ? "Yes" : "No");
    cli_out(cli, ", \"%s\"", vesk_port_show_state(port));
    if (port->resume_timer.armed()) {
        cli_out(cli, ", \"%lds\"", l2_timer_get_remaining_tics(port->resume_timer.get()) >> 8);
    } else {
        cli_out(cli, ", \"--\"");
    }
    if (!has_provlan) {
        cli_out(cli, ", \"--\"");
        cli_out(cli, ", \"--\"");
        cli_out(cli, ");\n");
        return;
    }
    cli_out(cli, ", \"%s\", \"", vesk_port_loop_vlan_count(port) != 0 ? "Yes" : "No");
    wmi_write_port_vlans(cli, port);
    cli_out(cli, "\");\n");
}

int wmi_show_vesk(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        return 0;
    }
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (!vesk_wmi_port_reported(port->name)) {
            continue;
        }
        wmi_write_port_state(cli, bridge, port);
    }
    return 0;
}

static const char *const get_wmi_loopback_enable_cmd_help[] = {"Show running system information",
                                                               "wmi", "show wmi loopback switch",
                                                               "loopback switch", nullptr};
const struct cli_element get_wmi_loopback_enable_cmd = {
    "show wmi loopback switch", get_wmi_loopback_enable, get_wmi_loopback_enable_cmd_help};

static const char *const get_wmi_loopback_port_info_cmd_help[] = {
    "Show running system information", "wmi",  "loopback port", "show wmi loopback",
    "loopback port information",       nullptr};
const struct cli_element get_wmi_loopback_port_info_cmd = {"show wmi port loopback infomation",
                                                           get_wmi_loopback_port_info,
                                                           get_wmi_loopback_port_info_cmd_help};

static const char *const wmi_show_vesk_cmd_help[] = {"wmi", "Show running system information",
                                                     "loop-detect", nullptr};
const struct cli_element wmi_show_vesk_cmd = {"show wmi loop-detect", wmi_show_vesk,
                                              wmi_show_vesk_cmd_help};
