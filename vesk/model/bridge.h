// Bridges with their VLAN tables, and VLAN membership of ports.
#pragma once

#include <cstdint>

#include "zet/core/if.h"

struct list;
struct route_node;
struct route_table;
struct vesk_master;
struct vesk_port;

struct vesk_bridge {
    // vesk_port records in natural interface-name order (vsek_interface_cmp); owned.
    struct list *port_list;
    // VLAN id -> vesk_vlan, ascending; null when its creation failed (made again on demand).
    struct route_table *vlan_table;
    char name[BRIDGE_NAMSIZ + 1];
    // The bridge-wide "loop-detect enable" configuration.
    uint8_t vesk_enable;
    // The bridge forwards every VLAN (a Linux bridge without vlan_filtering): a protected VLAN
    // is probed whether or not the port is a member, tagged unless it is the port's untagged one.
    uint8_t all_vlans;
};

struct vesk_vlan {
    uint16_t vid;
    // The vlan_table node holding this record; the record keeps a lock on it.
    struct route_node *node;
    struct vesk_bridge *bridge;
    // Member ports in joining order; not owned.
    struct list *vlan_port_list;
};

// The bridge named name, or null (also when either argument is null).
struct vesk_bridge *vesk_find_bridge_from_master(const char *name, struct vesk_master *master);
struct vesk_bridge *vesk_find_bridge_byname(struct list *bridge_list, const char *name);
// The new or already existing bridge, or null.
struct vesk_bridge *vesk_add_bridge(struct list *bridge_list, const char *name);
// Looks the bridge up and leaves it in place; always 0.
int vesk_del_bridge(struct list *bridge_list, const char *name);

// The VLAN record of vid, or null (also without bridge or table).
struct vesk_vlan *vesk_find_vlan_from_bridge(uint16_t vid, struct vesk_bridge *bridge);
// The new or already existing VLAN record, or null.
struct vesk_vlan *vesk_bridge_add_vlan(struct vesk_bridge *bridge, uint16_t vid);
// Takes every member out of the VLAN, then frees the record.
void vesk_bridge_del_vlan(struct vesk_bridge *bridge, uint16_t vid);

// The port joins the VLAN (once) and its protect entry for the VLAN becomes active. Gives port.
struct vesk_port *vesk_bridge_vlan_add_port(struct vesk_vlan *vlan, struct vesk_port *port);
// The port leaves the VLAN; its protect entry for the VLAN stays, inactive.
void vesk_bridge_vlan_del_port(struct vesk_vlan *vlan, struct vesk_port *port);
