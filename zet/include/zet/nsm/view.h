// What the network services module says exists, in one comparable picture. Both backends
// build such a view; the client reports the differences between the view it applied last
// and the next one, so a resynchronisation after lost events or a reconnection tells the
// protocol only what changed.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "zet/nsm/msg.h"

struct nsm_view_if {
    std::string name;
    uint32_t flags = 0;
    std::array<uint8_t, 6> hw{};
    uint16_t hw_len = 0;
    // The Linux bridge this interface is a port of, 0 when none or not known.
    uint32_t bridge_ifindex = 0;
    // The STP state (BR_STATE_*) of a port the bridge does not forward on, else -1.
    int8_t stp_state = -1;
    bool operator==(const nsm_view_if &) const = default;
};

struct nsm_view_bridge {
    uint8_t type = 0;
    std::set<uint16_t> vlans;
    bool operator==(const nsm_view_bridge &) const = default;
};

// A port of the bridge presented as "1".
struct nsm_view_port {
    std::set<uint16_t> vlans;
    std::set<uint16_t> untagged;
    uint16_t tpid = 0; // the bridge's tag protocol; 0 for 802.1Q
    bool operator==(const nsm_view_port &) const = default;
};

struct nsm_view {
    std::map<uint32_t, nsm_view_if> ifs;
    std::map<std::string, nsm_view_bridge> bridges;
    std::map<uint32_t, nsm_view_port> ports;
    bool operator==(const nsm_view &) const = default;
};

// Bridge types carried in bridge messages.
enum : uint8_t {
    NSM_BRIDGE_TYPE_PLAIN = 0,
    NSM_BRIDGE_TYPE_VLAN_AWARE = 1,
    // A Linux bridge without vlan_filtering: it forwards every VLAN, tagged as it came.
    NSM_BRIDGE_TYPE_VLAN_UNAWARE = 2,
};

// Bridge-port flags as the kernel reports them (IFLA_PROTINFO of an AF_BRIDGE message).
enum : uint8_t {
    NSM_BRPORT_LEARNING = 0x01,
    NSM_BRPORT_FLOOD = 0x02,
    NSM_BRPORT_MCAST_FLOOD = 0x04,
    NSM_BRPORT_BCAST_FLOOD = 0x08,
    NSM_BRPORT_LOCKED = 0x10,
    // What a new port of a Linux bridge has.
    NSM_BRPORT_DEFAULT =
        NSM_BRPORT_LEARNING | NSM_BRPORT_FLOOD | NSM_BRPORT_MCAST_FLOOD | NSM_BRPORT_BCAST_FLOOD,
};

// A transport to the network services module. The client owns one.
class nsm_backend {
  public:
    virtual ~nsm_backend() = default;
    // Connects and completes the initial synchronisation: 0, or -1.
    virtual int start() = 0;
    // Delivers a port-state request: 0, 1 when an interface no longer a port of bridge 1 was
    // brought up, or -1 when refused or not delivered.
    virtual int send_port_state(uint16_t flags, uint32_t ifindex) = 0;
    // The bridge-port flags (NSM_BRPORT_*) of a port: -1 when the module does not say.
    virtual int port_flags(uint32_t) const { return -1; }
    // What an unblock of the port restores, the flags it had before its block: -1 when the
    // module keeps none (an unblock then gives the bridge's defaults).
    virtual int blocked_flags(uint32_t) const { return -1; }
    // Makes flags what an unblock of the port restores (a block from before a restart): 0, or
    // -1 when the module keeps no such thing.
    virtual int keep_blocked_flags(uint32_t, uint8_t) { return -1; }
};
