// The network services module's message types (their numbers are those of the socket
// backend's frames) and the records the client hands the protocol.
#pragma once

#include <cstdint>

enum : int {
    NSM_MSG_LINK_UP = 29,
    NSM_MSG_LINK_DOWN = 30,
    NSM_MSG_BRIDGE_ADD = 115,
    NSM_MSG_BRIDGE_DELETE = 116,
    NSM_MSG_BRIDGE_ADD_VLAN = 121,
    NSM_MSG_BRIDGE_DELETE_VLAN = 122,
    NSM_MSG_BRIDGE_VLAN_ADD_IF = 123,
    NSM_MSG_BRIDGE_VLAN_DELETE_IF = 124,
    // A request to shut down, bring up, block or unblock a port (NSM_PORT_STATE_*).
    NSM_MSG_PORT_STATE = 168,
    NSM_MSG_FDB_MOVE = 169,
};

enum : int {
    NSM_BRIDGE_NAMSIZ = 16,
};

// A learned MAC address moved from one port of bridge "1" to another: the bridge's
// forwarding database saw it arrive on ifindex_to while it was last seen on ifindex_from. A
// loop makes every address behind it flap this way, so it is the earliest sign of one.
struct nsm_msg_fdb_move {
    uint32_t ifindex_from;
    uint32_t ifindex_to;
    uint16_t vid; // 0 when the bridge does not filter VLANs
    uint8_t mac[6];
};
