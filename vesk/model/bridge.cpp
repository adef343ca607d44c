#include "vesk/model/bridge.h"

#include <algorithm>
#include <cstring>

#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/master.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"

struct vesk_bridge *vesk_find_bridge_from_master(const char *name, struct vesk_master *master) {
    if (name == nullptr || master == nullptr)
        return nullptr;
    for (const auto &bridge : master->bridges)
        if (std::strcmp(bridge->name, name) == 0)
            return bridge.get();
    return nullptr;
}

struct vesk_bridge *vesk_add_bridge(struct vesk_master *master, const char *name) {
    if (master == nullptr)
        return nullptr;
    struct lib_globals *zg = master->globals;
    // A longer name would be cut and then never match itself.
    if (name == nullptr || std::strlen(name) > BRIDGE_NAMSIZ) {
        VESK_DEBUG_LOG_EVENT(zg, "bridge name is error");
        return nullptr;
    }
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(name, master);
    if (bridge != nullptr) {
        VESK_DEBUG_LOG_EVENT(zg, "bridge %s is exit", bridge->name);
        return bridge;
    }
    bridge = master->bridges.emplace_back(std::make_unique<vesk_bridge>()).get();
    bridge->master = master;
    std::strcpy(bridge->name, name);
    VESK_DEBUG_LOG_EVENT(zg, "bridge %s add", bridge->name);
    return bridge;
}

struct lib_globals *vesk_bridge_zg(const struct vesk_bridge *bridge) {
    return bridge != nullptr && bridge->master != nullptr ? bridge->master->globals : nullptr;
}

bool vesk_bridge_has_vlan(const struct vesk_bridge *bridge, uint16_t vid) {
    return bridge != nullptr && vid < VESK_VLAN_IDS && bridge->vlans.test(vid);
}

void vesk_bridge_add_vlan(struct vesk_bridge *bridge, uint16_t vid) {
    if (vid >= VESK_VLAN_IDS)
        return;
    if (vesk_bridge_has_vlan(bridge, vid)) {
        VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "vlan %d is in bridge %s already", vid,
                             bridge->name);
        return;
    }
    bridge->vlans.set(vid);
    VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "bridge %s add vlan %d", bridge->name, vid);
}

void vesk_bridge_del_vlan(struct vesk_bridge *bridge, uint16_t vid) {
    if (!vesk_bridge_has_vlan(bridge, vid)) {
        VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "vlan %d is not found in bridge %s", vid,
                             bridge->name);
        return;
    }
    for (const auto &port : bridge->ports)
        vesk_bridge_vlan_del_port(vid, port.get());
    bridge->vlans.reset(vid);
}

std::vector<struct vesk_port *> vesk_bridge_vlan_members(struct vesk_bridge *bridge, uint16_t vid) {
    std::vector<struct vesk_port *> members;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (vesk_port_in_vlan(port, vid))
            members.push_back(port);
    }
    std::sort(members.begin(), members.end(), [vid](const vesk_port *a, const vesk_port *b) {
        return a->vlans.at(vid) < b->vlans.at(vid);
    });
    return members;
}

void vesk_bridge_vlan_add_port(struct vesk_bridge *bridge, uint16_t vid, struct vesk_port *port) {
    if (vid >= VESK_VLAN_IDS)
        return;
    if (vesk_port_in_vlan(port, vid)) {
        VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "port %lu is in vlan %d already",
                             static_cast<unsigned long>(port->ifindex), vid);
        return;
    }
    if (!vesk_bridge_has_vlan(bridge, vid))
        vesk_bridge_add_vlan(bridge, vid);
    const unsigned old_active = vesk_port_active_provlan_count(port);
    port->vlans.emplace(vid, bridge->joins++);
    vesk_provlan_vlan_joined(port, vid, old_active);
}

void vesk_bridge_vlan_del_port(uint16_t vid, struct vesk_port *port) {
    if (!vesk_port_in_vlan(port, vid))
        return;
    port->vlans.erase(vid);
    vesk_provlan_vlan_left(port, vid);
}
