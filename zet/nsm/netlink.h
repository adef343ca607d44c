// rtnetlink link messages read into plain records, and the kernel's link state built from them,
// apart from any socket so that tests and fuzzers can feed hand-built messages.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "zet/nsm/view.h"

struct nlmsghdr;

struct nsm_nl_vlan {
    uint16_t vid;
    uint16_t flags; // BRIDGE_VLAN_INFO_*; range flags are gone after expansion
};

struct nsm_nl_link {
    uint32_t ifindex = 0;
    std::string name;
    uint32_t flags = 0;
    std::array<uint8_t, 6> hw{};
    uint16_t hw_len = 0;
    uint32_t master = 0;
    // -1 where the message does not say.
    int is_bridge = -1;
    int vlan_filtering = -1;
    // A bridge's vlan_protocol (ETH_P_8021Q or ETH_P_8021AD), 0 where the message does not say.
    uint16_t vlan_protocol = 0;
    // NSM_BRPORT_* of a bridge port, -1 where the message does not say.
    int brport = -1;
    // BR_STATE_* of a bridge port (STP's), -1 where the message does not say.
    int stp_state = -1;
};

struct nsm_nl_msg {
    uint16_t type = 0;  // RTM_NEWLINK or RTM_DELLINK
    uint8_t family = 0; // AF_UNSPEC or AF_BRIDGE
    bool has_name = false;
    bool has_master = false;
    bool has_hw = false;
    nsm_nl_link link;
    std::vector<nsm_nl_vlan> vlans; // ranges expanded, ascending as given
};

// True when a whole message, header included, lies within the len bytes left of a buffer.
// mnl_nlmsg_ok compares the length as an int, so a length of 2 GiB or more passes it, and one
// within 3 of 4 GiB wraps to 0 when aligned, so a walk by mnl_nlmsg_next would never move on.
bool nsm_netlink_msg_ok(const struct nlmsghdr *nlh, size_t len);
// The message after nlh, which nsm_netlink_msg_ok accepted; len loses the bytes passed.
const struct nlmsghdr *nsm_netlink_next(const struct nlmsghdr *nlh, size_t *len);

// Reads one RTM_NEWLINK/RTM_DELLINK message of at most len bytes: 0, 1 when it is of another
// type (nothing to do), or -1 when it is malformed (every attribute is length-checked).
int nsm_netlink_parse(const struct nlmsghdr *nlh, size_t len, nsm_nl_msg *out);

// The per-VLAN port states of an RTM_NEWVLAN/RTM_DELVLAN message (the bridge's VLAN database).
struct nsm_nl_vlan_state {
    uint16_t vid;
    uint8_t state; // BR_STATE_*
};
struct nsm_nl_vlandb {
    uint16_t type = 0; // RTM_NEWVLAN or RTM_DELVLAN
    uint32_t ifindex = 0;
    std::vector<nsm_nl_vlan_state> entries; // ranges expanded, at most 4094
};
// Reads one such message: 0; 1 when it is of another type or family, or carries no port entry
// (the bridge's global options); -1 when malformed (a VLAN id or range out of bounds, an
// attribute of the wrong length).
int nsm_netlink_parse_vlandb(const struct nlmsghdr *nlh, size_t len, nsm_nl_vlandb *out);

// One entry of a bridge's forwarding database, from an RTM_NEWNEIGH/RTM_DELNEIGH message.
struct nsm_nl_fdb {
    uint16_t type = 0;    // RTM_NEWNEIGH or RTM_DELNEIGH
    uint32_t ifindex = 0; // the port the address was seen on
    uint32_t master = 0;  // the bridge, 0 where the message does not say
    uint16_t vid = 0;     // 0 without a VLAN
    uint16_t state = 0;   // NUD_*
    uint8_t flags = 0;    // NTF_*
    std::array<uint8_t, 6> mac{};
};

// Reads one neighbour message of the bridge family: 0; 1 when it is of another type or family,
// or no learned entry (a static or local address never moves by itself); -1 when malformed.
int nsm_netlink_parse_fdb(const struct nlmsghdr *nlh, size_t len, nsm_nl_fdb *out);

// Where each learned address was last seen, to tell a move from a refresh. Bounded: past
// NSM_FDB_TRACK_MAX addresses it starts afresh, which only costs the next move of each.
constexpr size_t NSM_FDB_TRACK_MAX = 16384;
struct nsm_fdb_tracker {
    // MAC address << 16 | VLAN -> port.
    std::unordered_map<uint64_t, uint32_t> last_port;
};
// Records the entry; gives the port the address moved from, or 0 when it did not move.
uint32_t nsm_fdb_track(nsm_fdb_tracker &tracker, const nsm_nl_fdb &fdb);

// One link as the kernel state keeps it.
struct nsm_kernel_link {
    nsm_nl_link link;
    // VLANs from the latest AF_BRIDGE message: of the port, or the bridge's own for a bridge.
    std::vector<nsm_nl_vlan> vlans;
    // The port's VLANs whose per-VLAN state is not forwarding (BR_STATE_*), from the VLAN
    // database.
    std::map<uint16_t, uint8_t> vlan_states;
};

struct nsm_kernel_options {
    std::string bridge; // Linux bridge presented as "1"; empty: the first one
    bool port_mac_bridge = true;
};

struct nsm_kernel_state {
    std::map<uint32_t, nsm_kernel_link> links;
    // The Linux bridge presented as "1", 0 while none of its name exists.
    uint32_t chosen = 0;
    // Its name: the one asked for, else that of the first bridge found. A bridge of this name
    // that is deleted and made again is taken up again; another bridge never takes its place.
    std::string chosen_name;
    // The VLANs of ports the backend blocked itself (ifindex << 16 | vid): their state is a
    // loop's block, not the spanning tree's.
    std::set<uint32_t> own_vlan_blocks;
};

// Applies one event or dump message.
void nsm_kernel_state_apply(nsm_kernel_state &state, const nsm_nl_msg &msg);
// Applies the per-VLAN states of a VLAN-database message to a known link.
void nsm_kernel_state_apply_vlandb(nsm_kernel_state &state, const nsm_nl_vlandb &msg);
// Picks the bridge presented as "1" and gives the view that the protocol is to see.
nsm_view nsm_kernel_state_view(nsm_kernel_state &state, const nsm_kernel_options &options);
// Interface names are shown to operators, written into the configuration and reports: one with
// a byte outside printable ASCII (a blank included) is not managed at all.
bool nsm_name_printable(const std::string &name);
// The name with every byte outside printable ASCII, '"' and '\\' written as \xHH, for a log line.
std::string nsm_name_escaped(const std::string &name);
// True when the link is a port of the bridge presented as "1".
bool nsm_kernel_state_is_port(const nsm_kernel_state &state, uint32_t ifindex);
