#include "vesk/cli/dump.h"

#include <cinttypes>
#include <cstdio>

#include "vesk/cli/common.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

// Addresses in full: a 64-bit address cut to 32 bits would point somewhere
// else.
static uintptr_t vesk_dump_addr(const void *p) {
    return reinterpret_cast<uintptr_t>(p);
}

static void vesk_dump_provlans(struct vesk_port *port) {
    if (port->provlans.empty()) {
        return;
    }
    printf("  port provlan_info 0x%" PRIxPTR ":", vesk_dump_addr(&port->provlans));
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        printf("%d, ", entry->vid);
    }
    printf("\n");
}

static void vesk_dump_vlan_list(struct vesk_port *port) {
    if (port->vlans.empty()) {
        return;
    }
    printf("  port vlan_list 0x%" PRIxPTR ":", vesk_dump_addr(&port->vlans));
    for (const auto &[vid, joined] : port->vlans) {
        printf("%d, ", vid);
    }
    printf("\n");
}

void vesk_dump_port(struct vesk_port *port) {
    if (port == nullptr) {
        return;
    }
    printf("  port name:%s ifindex:%d 0x%" PRIxPTR "\n", port->name,
           static_cast<int>(port->ifindex), vesk_dump_addr(port));
    printf("  port vesk_enable:%d\n", port->vesk_enable);
    printf("  port loop_process:%d\n", port->settings.loop_process);
    const uint8_t *mac = port->mac_address;
    printf("  port mac address:%02x%02x.%02x%02x.%02x%02x\n", mac[0], mac[1], mac[2], mac[3],
           mac[4], mac[5]);
    printf("  port flags:%02x\n", port->flags);
    vesk_dump_provlans(port);
    vesk_dump_vlan_list(port);
    printf("  port pstate:%d\n", static_cast<int>(port->pstate));
    printf("  port pstate:%d\n", static_cast<int>(port->mstate));
    printf("  port tx_interval_time:%d\n", static_cast<int>(port->settings.tx_interval_time));
    printf("  port tx_up_time:%d\n", static_cast<int>(port->tx_up_time));
    printf("  port tx_type:%d\n", static_cast<int>(port->tx_type));
    printf("  port tx_count:%d\n", static_cast<int>(port->tx_count));
    printf("  port resume_time:%d\n", static_cast<int>(port->settings.resume_time));
    printf("  port tx_timer:0x%" PRIxPTR "\n", vesk_dump_addr(port->tx_timer.get()));
    printf("  port resume_timer:0x%" PRIxPTR "\n", vesk_dump_addr(port->resume_timer.get()));
}

int dump_vesk_global_port_info_cli(struct cli *cli, int argc, char **argv) {
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        return 1;
    }
    struct interface *ifp = ifg_lookup_by_name(cli->zg->ifg, argv[0]);
    if (ifp == nullptr) {
        cli_out(cli, "%% Interface does not exist: %s\n", argv[0]);
        return 1;
    }
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        return -1;
    }
    printf("\n\n  vesk bridge: vesk_enable= %d \n", bridge->vesk_enable);
    bool header = false;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (port->ifindex != ifp->ifindex) {
            continue;
        }
        if (!header) {
            printf("  vesk bridge portlist information:\n");
            header = true;
        }
        printf("\n");
        vesk_dump_port(port);
    }
    fflush(stdout);
    return 0;
}

// The VLAN's record is the bridge's VLAN set, its member list the bridge's ports.
static void vesk_dump_vlan(struct vesk_bridge *bridge, uint16_t vid) {
    printf("\n  vlan %d 0x%" PRIxPTR " ,vlan_port_list:0x%" PRIxPTR "\n", vid,
           vesk_dump_addr(&bridge->vlans), vesk_dump_addr(&bridge->ports));
    printf("\n  vesk bridge vlan port list:\n");
    for (const struct vesk_port *port : vesk_bridge_vlan_members(bridge, vid)) {
        printf("  %s ifindex:%d  0x%" PRIxPTR "\n", port->name, static_cast<int>(port->ifindex),
               vesk_dump_addr(port));
    }
}

// The VLAN id of text, or 0 when it is no number or out of range.
static int vesk_dump_vid(const char *text) {
    int status = 0;
    int vid = cmd_str2int(text, &status);
    if (status < 0 || vid < 1 || vid > 4094) {
        return 0;
    }
    return vid;
}

int dump_vesk_global_vlan_info_cli(struct cli *cli, int argc, char **argv) {
    int vid = argc >= 1 && argv != nullptr && argv[0] != nullptr ? vesk_dump_vid(argv[0]) : 0;
    if (vid == 0) {
        cli_out(cli, "%% Invalid %s value\n", "vlan");
        return 1;
    }
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr) {
        return -1;
    }
    if (vesk_bridge_has_vlan(bridge, static_cast<uint16_t>(vid))) {
        vesk_dump_vlan(bridge, static_cast<uint16_t>(vid));
    } else {
        printf("\n  vsek bridge has no this vlan!\n");
    }
    fflush(stdout);
    return 0;
}

static const char *const dump_vesk_global_port_info_cmd_help[] = {
    "Show running system information", "vesk", "bridage", "interface", "interface name", nullptr};
const struct cli_element dump_vesk_global_port_info_cmd = {"dump vesk bridage interface IFNAME",
                                                           dump_vesk_global_port_info_cli,
                                                           dump_vesk_global_port_info_cmd_help};

static const char *const dump_vesk_global_vlan_info_cmd_help[] = {
    "Show running system information", "vesk", "bridage", "vlan", "<1-4094>", nullptr};
const struct cli_element dump_vesk_global_vlan_info_cmd = {"dump vesk bridage vlan <1-4094>",
                                                           dump_vesk_global_vlan_info_cli,
                                                           dump_vesk_global_vlan_info_cmd_help};
