#include "vesk/model/bridge.h"

#include <arpa/inet.h>
#include <cstring>

#include "vesk/daemon/veskd.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/master.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"
#include "vesk/model/result.h"
#include "vesk/model/rlist.h"

namespace {

struct prefix_ipv4 vesk_vlan_key(uint16_t vid) {
    struct prefix_ipv4 key = {};
    key.family = AF_INET;
    key.prefixlen = 32;
    key.prefix.s_addr = htonl(vid);
    return key;
}

void vesk_free_bridge(struct vesk_bridge *bridge) {
    list_free(bridge->port_list);
    route_table_finish(bridge->vlan_table);
    pal_mem_free(MTYPE_VESK_BRIDGE, bridge);
}

bool vesk_vlan_has_ifindex(struct vesk_vlan *vlan, uint32_t ifindex) {
    for (struct listnode *node = listhead(vlan->vlan_port_list); node != nullptr;
         node = listnextnode(node)) {
        if (static_cast<struct vesk_port *>(listgetdata(node))->ifindex == ifindex)
            return true;
    }
    return false;
}

bool vesk_vlan_has_port(struct vesk_vlan *vlan, struct vesk_port *port) {
    for (struct listnode *node = listhead(vlan->vlan_port_list); node != nullptr;
         node = listnextnode(node)) {
        if (listgetdata(node) == port)
            return true;
    }
    return false;
}

// Both sides of a membership change together, or neither does.
bool vesk_vlan_join(struct vesk_vlan *vlan, struct vesk_port *port) {
    if (listnode_add(vlan->vlan_port_list, port) == nullptr)
        return false;
    vesk_rlist_add(&port->vlan_list, vlan->vid);
    if (vesk_find_vlan_from_rlist(vlan->vid, &port->vlan_list) != 0)
        return true;
    listnode_delete(vlan->vlan_port_list, port);
    return false;
}

// The VLAN record goes whatever happens, so its member leaves it and its protect entry for the
// VLAN goes inactive even when the range list cannot be shortened.
void vesk_vlan_drop_member(struct vesk_vlan *vlan, struct vesk_port *port) {
    listnode_delete(vlan->vlan_port_list, port);
    vesk_remove_provlan_from_port(vlan->vid, port, 0);
    vesk_rlist_delete(&port->vlan_list, vlan->vid);
}

} // namespace

struct vesk_bridge *vesk_find_bridge_byname(struct list *bridge_list, const char *name) {
    if (bridge_list == nullptr || name == nullptr)
        return nullptr;
    for (struct listnode *node = listhead(bridge_list); node != nullptr;
         node = listnextnode(node)) {
        auto *bridge = static_cast<struct vesk_bridge *>(listgetdata(node));
        if (std::strcmp(bridge->name, name) == 0)
            return bridge;
    }
    return nullptr;
}

struct vesk_bridge *vesk_find_bridge_from_master(const char *name, struct vesk_master *master) {
    if (name == nullptr || master == nullptr)
        return nullptr;
    return vesk_find_bridge_byname(master->bridge_list, name);
}

struct vesk_bridge *vesk_add_bridge(struct list *bridge_list, const char *name) {
    // A longer name would be cut and then never match itself.
    if (name == nullptr || std::strlen(name) > BRIDGE_NAMSIZ) {
        VESK_DEBUG_LOG_EVENT(veskm, "bridge name is error");
        return nullptr;
    }
    if (bridge_list == nullptr)
        return nullptr;
    struct vesk_bridge *bridge = vesk_find_bridge_byname(bridge_list, name);
    if (bridge != nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s is exit", bridge->name);
        return bridge;
    }
    bridge = static_cast<struct vesk_bridge *>(
        mfh_calloc(MTYPE_VESK_BRIDGE, sizeof(struct vesk_bridge)));
    if (bridge == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "no mem for bridge %s create", name);
        return nullptr;
    }
    std::strcpy(bridge->name, name);
    bridge->vesk_enable = 0;
    bridge->vlan_table = route_table_init();
    bridge->port_list = list_new();
    if (bridge->port_list == nullptr || listnode_add(bridge_list, bridge) == nullptr) {
        vesk_free_bridge(bridge);
        VESK_DEBUG_LOG_EVENT(veskm, "no mem for bridge %s create", name);
        return nullptr;
    }
    bridge->port_list->cmp = vsek_interface_cmp;
    VESK_DEBUG_LOG_EVENT(veskm, "bridge %s add", bridge->name);
    return bridge;
}

int vesk_del_bridge(struct list *bridge_list, const char *name) {
    if (vesk_find_bridge_byname(bridge_list, name) == nullptr)
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s is not exit already", name != nullptr ? name : "");
    return VESK_SUCCESS;
}

struct vesk_vlan *vesk_find_vlan_from_bridge(uint16_t vid, struct vesk_bridge *bridge) {
    if (bridge == nullptr || bridge->vlan_table == nullptr)
        return nullptr;
    const struct prefix_ipv4 key = vesk_vlan_key(vid);
    struct route_node *rn = route_node_lookup(bridge->vlan_table, &key);
    if (rn == nullptr)
        return nullptr;
    auto *vlan = static_cast<struct vesk_vlan *>(rn->info);
    route_unlock_node(rn);
    return vlan;
}

struct vesk_vlan *vesk_bridge_add_vlan(struct vesk_bridge *bridge, uint16_t vid) {
    if (bridge == nullptr)
        return nullptr;
    struct vesk_vlan *vlan = vesk_find_vlan_from_bridge(vid, bridge);
    if (vlan != nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "vlan %d is in bridge %s already", vid, bridge->name);
        return vlan;
    }
    if (bridge->vlan_table == nullptr) {
        bridge->vlan_table = route_table_init();
        if (bridge->vlan_table == nullptr) {
            VESK_DEBUG_LOG_EVENT(veskm, "bridge %s create vlantable failed", bridge->name);
            return nullptr;
        }
    }
    const struct prefix_ipv4 key = vesk_vlan_key(vid);
    // The lock that route_node_get takes is the record's lock on its node.
    struct route_node *rn = route_node_get(bridge->vlan_table, &key);
    if (rn == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s vlantable create rn error", bridge->name);
        return nullptr;
    }
    vlan = static_cast<struct vesk_vlan *>(mfh_calloc(MTYPE_VESK_VLAN, sizeof(struct vesk_vlan)));
    if (vlan != nullptr)
        vlan->vlan_port_list = list_new();
    if (vlan == nullptr || vlan->vlan_port_list == nullptr) {
        pal_mem_free(MTYPE_VESK_VLAN, vlan);
        route_unlock_node(rn);
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s create vlan %d failed", bridge->name, vid);
        return nullptr;
    }
    vlan->vid = vid;
    vlan->node = rn;
    vlan->bridge = bridge;
    rn->info = vlan;
    VESK_DEBUG_LOG_EVENT(veskm, "bridge %s add vlan %d", bridge->name, vid);
    return vlan;
}

void vesk_bridge_del_vlan(struct vesk_bridge *bridge, uint16_t vid) {
    struct vesk_vlan *vlan = vesk_find_vlan_from_bridge(vid, bridge);
    if (vlan == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "vlan %d is not found in bridge %s", vid,
                             bridge != nullptr ? bridge->name : "");
        return;
    }
    // Each step unlinks the current member, so the successor is taken first.
    struct listnode *next = nullptr;
    for (struct listnode *node = listhead(vlan->vlan_port_list); node != nullptr; node = next) {
        next = listnextnode(node);
        vesk_vlan_drop_member(vlan, static_cast<struct vesk_port *>(listgetdata(node)));
    }
    vlan->node->info = nullptr;
    route_unlock_node(vlan->node);
    list_free(vlan->vlan_port_list);
    pal_mem_free(MTYPE_VESK_VLAN, vlan);
}

struct vesk_port *vesk_bridge_vlan_add_port(struct vesk_vlan *vlan, struct vesk_port *port) {
    if (vlan == nullptr || port == nullptr)
        return nullptr;
    if (vesk_vlan_has_ifindex(vlan, port->ifindex))
        VESK_DEBUG_LOG_EVENT(veskm, "port %lu is in vlan %d already",
                             static_cast<unsigned long>(port->ifindex), vlan->vid);
    else if (!vesk_vlan_join(vlan, port))
        return nullptr;
    struct vesk_provlan *entry = vesk_find_provlan_from_port(vlan->vid, port);
    if (entry != nullptr)
        vesk_add_provlan_to_port(entry, vlan->vid, port, 1);
    return port;
}

void vesk_bridge_vlan_del_port(struct vesk_vlan *vlan, struct vesk_port *port) {
    if (vlan == nullptr || port == nullptr || !vesk_vlan_has_port(vlan, port))
        return;
    // Without memory for the range list the port stays a member on both sides.
    if (vesk_rlist_delete(&port->vlan_list, vlan->vid) < 0 &&
        vesk_find_vlan_from_rlist(vlan->vid, &port->vlan_list) != 0)
        return;
    listnode_delete(vlan->vlan_port_list, port);
    vesk_remove_provlan_from_port(vlan->vid, port, 0);
}
