#include "vesk/cli/show.h"

#include <cstring>
#include <net/if.h>

#include "vesk/cli/common.h"
#include "vesk/cli/port_settings.h"
#include "vesk/host/lldp_cache.h"
#include "vesk/host/zet.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/model.h"

// Member names begin after this many columns, and a line of names wraps beyond
// the limit.
constexpr int VESK_SHOW_VLAN_INDENT = 24;
constexpr int VESK_SHOW_VLAN_NAMES_MAX = 31;

// One second in timer tics (1/256 s), and microseconds per tic rounded down.
constexpr long VESK_TICS_PER_SEC = 256;
constexpr long VESK_USEC_PER_TIC = 3906;

long l2_timer_get_remaining_tics(struct thread *timer) {
    if (timer == nullptr) {
        return 0;
    }
    struct timeval now {};
    pal_time_tzcurrent(&now, nullptr);
    long usec = static_cast<long>(timer->sands.tv_usec) - static_cast<long>(now.tv_usec);
    long sec = static_cast<long>(timer->sands.tv_sec) - static_cast<long>(now.tv_sec);
    if (usec < 0) {
        usec += 1000000;
        sec--;
    }
    long tics = sec * VESK_TICS_PER_SEC + usec / VESK_USEC_PER_TIC;
    if (tics < 0) {
        tics = 0;
    }
    return tics;
}

const char *vesk_port_show_state(const struct vesk_port *port) {
    if (port->pstate == VESK_PORT_BLOCKED) {
        return vesk_port_cli_state_name(port->pstate);
    }
    if (if_flags_up(port->flags)) {
        return "up";
    }
    return vesk_port_cli_state_name(port->pstate);
}

bool vesk_port_shows_vlan_blocks(const struct vesk_port *port) {
    return !port->vlan_blocks.empty() && std::strcmp(vesk_port_show_state(port), "up") == 0;
}

static void vesk_display_vlan_members(struct cli *cli, struct vesk_bridge *bridge, uint16_t vid) {
    int width = 0;
    for (const struct vesk_port *port : vesk_bridge_vlan_members(bridge, vid)) {
        if (strncmp(port->name, "mgm", 3) == 0) {
            continue;
        }
        int len = static_cast<int>(strlen(port->name)) + 1;
        width += len;
        if (width > VESK_SHOW_VLAN_NAMES_MAX) {
            cli_out(cli, "\n");
            cli_out(cli, "%*s%s ", VESK_SHOW_VLAN_INDENT, "", port->name);
            width = len;
            continue;
        }
        cli_out(cli, "%s ", port->name);
    }
}

void vesk_display_vlan(struct cli *cli, struct vesk_bridge *bridge) {
    cli_out(cli, "VLAN ID                 Member ports\n");
    cli_out(cli, "-------                 --------------------------------\n");
    for (uint16_t vid = 0; vid < VESK_VLAN_IDS; vid++) {
        if (!vesk_bridge_has_vlan(bridge, vid)) {
            continue;
        }
        cli_out(cli, "%-8d%-16s", vid, "");
        vesk_display_vlan_members(cli, bridge, vid);
        cli_out(cli, "\n");
    }
}

void vesk_display_pro_vlan_list(struct cli *cli, struct vesk_port *port) {
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        if (vesk_provlan_active(port, *entry)) {
            cli_out(cli, "%d ", entry->vid);
        }
    }
}

void vesk_display_loop_vlan_list(struct cli *cli, struct vesk_port *port) {
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        if (entry->is_loop) {
            cli_out(cli, "%d ", entry->vid);
        }
    }
}

void vesk_display_port(struct cli *cli, struct vesk_port *port) {
    bool protected_port = !port->provlans.empty();
    cli_out(cli, "  isProtected: %s\n", protected_port ? "Yes" : "No");
    vesk_port_settings_show(cli, port);
    if (protected_port) {
        cli_out(cli, "  ProtectVlan list: ");
        vesk_display_pro_vlan_list(cli, port);
        cli_out(cli, "\n");
        const bool looped = vesk_port_loop_vlan_count(port) != 0;
        cli_out(cli, "  isLoop: %s\n", looped ? "Yes" : "No");
        if (looped) {
            cli_out(cli, "  LoopVlan list: ");
            vesk_display_loop_vlan_list(cli, port);
            cli_out(cli, "\n");
        }
    }
    if (vesk_port_shows_vlan_blocks(port))
        cli_out(cli, "  Port state: blocked (vlan %s)\n", vesk_vlan_blocks_text(port).c_str());
    else
        cli_out(cli, "  Port state: %s\n", vesk_port_show_state(port));
    if (port->resume_timer.armed()) {
        cli_out(cli, "  up remaining time: %lds \n",
                l2_timer_get_remaining_tics(port->resume_timer.get()) >> 8);
    } else if (!port->vlan_blocks.empty()) {
        cli_out(cli, "  up remaining time: %llds \n", vesk_vlan_blocks_remaining(port));
    }
    vesk_lldp_neighbour nb{};
    if (vesk_lldp_cache_get(port->name, &nb))
        cli_out(cli, "  Neighbour: %s port %s\n", nb.system, nb.port);
}

int show_vesk(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        return 0;
    }
    vesk_display_vlan(cli, bridge);
    cli_out(cli, "\n");
    cli_out(cli, "neighbour loop detection protocol: %s \n",
            bridge->vesk_enable ? "enable" : "disable");
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        cli_out(cli, "Interface %s\n", port->name);
        vesk_display_port(cli, port);
    }
    cli_out(cli, "\n");
    return 0;
}

int show_vesk_port(struct cli *cli, int argc, char **argv) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        cli_out(cli, "%% Interface name formate error \n");
        return 1;
    }
    struct interface *ifp = ifg_lookup_by_name(cli->zg->ifg, argv[0]);
    if (ifp == nullptr) {
        cli_out(cli, "%% Interface does not exist: %s\n", argv[0]);
        return 1;
    }
    // The check has said why already.
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port == nullptr) {
        vesk_cli_err_output(cli, VESK_ERR_PORT_NOT_FOUND);
        return 1;
    }
    vesk_display_port(cli, port);
    return 0;
}

int show_vesk_vlan(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge != nullptr) {
        vesk_display_vlan(cli, bridge);
    }
    return 0;
}

static const char *const show_vesk_cmd_help[] = {"Show running system information", "loop-detect",
                                                 nullptr};
const struct cli_element show_vesk_cmd = {"show loop-detect", show_vesk, show_vesk_cmd_help};

static const char *const show_vesk_port_cmd_help[] = {
    "Show running system information", "loop-detect", "interface",
    "Interface name(e.g. fe, ge, xe, sa)", nullptr};
const struct cli_element show_vesk_port_cmd = {"show loop-detect interface IFNAME", show_vesk_port,
                                               show_vesk_port_cmd_help};

static const char *const show_vesk_vlan_cmd_help[] = {"Show running system information",
                                                      "loop-detect", "vlan", nullptr};
const struct cli_element show_vesk_vlan_cmd = {"show loop-detect vlan", show_vesk_vlan,
                                               show_vesk_vlan_cmd_help};
