// Bridges with the VLANs they have, and VLAN membership of ports.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <vector>

#include "vesk/model/port.h"
#include "vesk/model/result.h"
#include "zet/core/if.h"

struct vesk_master;

struct vesk_bridge {
    struct vesk_master *master;
    // The ports in natural interface-name order (vsek_interface_cmp).
    std::vector<std::unique_ptr<struct vesk_port>> ports;
    // The VLANs the bridge has; a port's membership is its own (vesk_port::vlans).
    std::bitset<VESK_VLAN_IDS> vlans;
    // How many times a port joined a VLAN: the place of the next join.
    uint64_t joins;
    char name[BRIDGE_NAMSIZ + 1];
    // The bridge-wide "loop-detect enable" configuration.
    uint8_t vesk_enable;
    // The bridge forwards every VLAN (a Linux bridge without vlan_filtering): a protected VLAN
    // is probed whether or not the port is a member, tagged unless it is the port's untagged one.
    uint8_t all_vlans;
};

// The bridge named name, or null (also when either argument is null).
struct vesk_bridge *vesk_find_bridge_from_master(const char *name, struct vesk_master *master);
// The new or already existing bridge of master, or null.
struct vesk_bridge *vesk_add_bridge(struct vesk_master *master, const char *name);
// The framework handle of the bridge's daemon, for its log lines and timers.
struct lib_globals *vesk_bridge_zg(const struct vesk_bridge *bridge);

// The bridge has vid.
bool vesk_bridge_has_vlan(const struct vesk_bridge *bridge, uint16_t vid);
// The bridge has vid from now on.
void vesk_bridge_add_vlan(struct vesk_bridge *bridge, uint16_t vid);
// Takes every member out of the VLAN, then the VLAN out of the bridge.
void vesk_bridge_del_vlan(struct vesk_bridge *bridge, uint16_t vid);

// The members of vid in the order they joined it.
std::vector<struct vesk_port *> vesk_bridge_vlan_members(struct vesk_bridge *bridge, uint16_t vid);
// The port joins the VLAN (the bridge gains it) and its protect entry for the VLAN becomes
// active.
void vesk_bridge_vlan_add_port(struct vesk_bridge *bridge, uint16_t vid, struct vesk_port *port);
// The port leaves the VLAN; its protect entry for the VLAN stays, inactive.
void vesk_bridge_vlan_del_port(uint16_t vid, struct vesk_port *port);
