// Decoded network services messages, as the client hands them to the protocol's callbacks.
#pragma once

#include <cstddef>
#include <cstdint>

struct if_group;

enum : int {
    NSM_MSG_LINK_UP = 29,
    NSM_MSG_LINK_DOWN = 30,
    NSM_MSG_BRIDGE_ADD = 115,
    NSM_MSG_BRIDGE_DELETE = 116,
    NSM_MSG_BRIDGE_ADD_VLAN = 121,
    NSM_MSG_BRIDGE_DELETE_VLAN = 122,
    NSM_MSG_BRIDGE_VLAN_ADD_IF = 123,
    NSM_MSG_BRIDGE_VLAN_DELETE_IF = 124,
    NSM_MSG_FDB_MOVE = 169,
    NSM_MSG_TYPE_MAX = 256,
};

enum : int {
    NSM_BRIDGE_NAMSIZ = 16,
    NSM_LINK_NAMSIZ = 20,
    NSM_VID_MAX = 4094,
};

// Every message starts with this header; the callback receives it beside the decoded body.
struct nsm_msg_header {
    uint16_t type;
    uint16_t length; // of the decoded body
    uint32_t message_id;
};

// Presence bits of an interface-state message.
enum : uint32_t {
    NSM_LINK_CTYPE_FLAGS = 0x002,
    NSM_LINK_CTYPE_HW_ADDRESS = 0x100,
};

// Interface state, types 29 (up) and 30 (down).
struct nsm_msg_link {
    uint32_t cindex; // NSM_LINK_CTYPE_* present
    uint32_t ifindex;
    uint32_t flags;
    uint16_t hw_type;
    uint16_t hw_len;
    uint8_t hw_addr[6];
    char ifname[NSM_LINK_NAMSIZ + 1];
};
static_assert(offsetof(nsm_msg_link, cindex) == 0);
static_assert(offsetof(nsm_msg_link, ifindex) == 4);

// Bridge add and delete, types 115 and 116.
struct nsm_msg_bridge {
    char bridge_name[NSM_BRIDGE_NAMSIZ + 1];
    uint8_t type;
};
static_assert(offsetof(nsm_msg_bridge, bridge_name) == 0);
static_assert(offsetof(nsm_msg_bridge, type) == 17);

// VLAN add and delete on a bridge, types 121 and 122.
struct nsm_msg_vlan {
    uint32_t cindex;
    uint16_t flags;
    uint16_t vid;
    char vlan_name[NSM_BRIDGE_NAMSIZ + 1];
    char bridge_name[NSM_BRIDGE_NAMSIZ + 1];
};
static_assert(offsetof(nsm_msg_vlan, vid) == 6);
static_assert(offsetof(nsm_msg_vlan, bridge_name) == 25);

// Upper bits of a VLAN-port entry: framework information that protocols ignore.
enum : uint16_t {
    NSM_VLAN_PORT_VID_MASK = 0x0fff,
    NSM_VLAN_PORT_UNTAGGED = 0x1000,
};

// Ports joining or leaving VLANs, types 123 and 124. The entries stay valid for the call only.
#pragma pack(push, 4)
struct nsm_msg_vlan_port {
    uint32_t cindex;
    uint32_t ifindex;
    uint16_t num;
    uint16_t reserved;
    const uint16_t *vid_info;
};
#pragma pack(pop)
static_assert(offsetof(nsm_msg_vlan_port, ifindex) == 4);
static_assert(offsetof(nsm_msg_vlan_port, num) == 8);
static_assert(offsetof(nsm_msg_vlan_port, vid_info) == 12);

// A learned MAC address moved from one port of bridge "1" to another, type 169: the bridge's
// forwarding database saw it arrive on ifindex_to while it was last seen on ifindex_from. A
// loop makes every address behind it flap this way, so it is the earliest sign of one.
struct nsm_msg_fdb_move {
    uint32_t ifindex_from;
    uint32_t ifindex_to;
    uint16_t vid; // 0 when the bridge does not filter VLANs
    uint8_t mac[6];
};

// A protocol's handler of one message type: header, the client, the decoded body.
typedef int (*nsm_msg_callback_t)(struct nsm_msg_header *header, void *arg, void *message);

// Applies an interface-state message to the interface record it names: flags and hardware
// address as the presence bits say. Gives 0, or -1 for an unknown interface.
int nsm_util_interface_state(struct nsm_msg_link *msg, struct if_group *ifg);
