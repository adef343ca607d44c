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

struct lib_globals;

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
    // VLANs of the port the bridge does not forward on by their per-VLAN state (the spanning
    // tree's; those the protocol had blocked itself are not among them).
    std::set<uint16_t> stp_vlans = {};
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

// Flags of a port-state request: exactly one is set.
enum : uint16_t {
    NSM_PORT_STATE_SHUTDOWN = 0x0001,
    NSM_PORT_STATE_NOSHUTDOWN = 0x0002,
    // The port stays up but the bridge stops forwarding on it; unblock restores what it had.
    NSM_PORT_STATE_BLOCK = 0x0004,
    NSM_PORT_STATE_UNBLOCK = 0x0008,
    // The same for one VLAN of the port on a VLAN-aware bridge (the request names the VLAN):
    // its other VLANs and its membership stay as they are.
    NSM_PORT_STATE_VLAN_BLOCK = 0x0010,
    NSM_PORT_STATE_VLAN_UNBLOCK = 0x0020,
};

// What the client counts of its backend's work.
struct nsm_client_stats {
    uint64_t syncs;             // full state snapshots applied (initial, resync, reconnect)
    uint64_t overruns;          // kernel event queue overflows (ENOBUFS)
    uint64_t dumps_interrupted; // dumps restarted because the state changed meanwhile
    uint64_t malformed;         // messages logged and dropped
    uint64_t disconnects;       // peer connections lost or closed for garbage
    uint64_t connects;          // peer connections made
    uint64_t refused;           // port-state requests refused
    uint64_t messages;          // changes told to the protocol
};

// The client as its backend sees it: what the backend reports and reads, so that the backends
// need not know the client that picks and owns them.
class nsm_backend_owner {
  public:
    virtual struct lib_globals *globals() = 0;
    virtual nsm_client_stats &counters() = 0;
    // On the event-loop thread: brings the framework's interfaces and the protocol from the
    // view applied last to next.
    virtual void apply_view(const nsm_view &next) = 0;
    // A learned MAC address moved between two known interfaces; anything else is dropped.
    virtual void fdb_move(const struct nsm_msg_fdb_move &move) = 0;
    // The protocol listens to MAC moves.
    virtual bool wants_fdb_moves() const = 0;
    // What the backend says of its client to a peer module.
    virtual uint16_t protocol_number() const = 0;
    virtual uint64_t services_wanted() const = 0;

  protected:
    ~nsm_backend_owner() = default;
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
    // Delivers a VLAN block or unblock (NSM_PORT_STATE_VLAN_*) of one VLAN of a port: 0, or -1
    // when refused, not delivered or not offered by the module.
    virtual int send_vlan_state(uint16_t, uint32_t, uint16_t) { return -1; }
    // The bridge-port flags (NSM_BRPORT_*) of a port: -1 when the module does not say.
    virtual int port_flags(uint32_t) const { return -1; }
    // What an unblock of the port restores, the flags it had before its block: -1 when the
    // module keeps none (an unblock then gives the bridge's defaults).
    virtual int blocked_flags(uint32_t) const { return -1; }
    // Makes flags what an unblock of the port restores (a block from before a restart): 0, or
    // -1 when the module keeps no such thing.
    virtual int keep_blocked_flags(uint32_t, uint8_t) { return -1; }
};
