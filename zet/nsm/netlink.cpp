#include "zet/nsm/netlink.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string_view>

namespace {

constexpr uint16_t RANGE_FLAGS = BRIDGE_VLAN_INFO_RANGE_BEGIN | BRIDGE_VLAN_INFO_RANGE_END;
constexpr uint16_t VID_MIN = 1;
constexpr uint16_t VID_MAX = 4094;

struct parse_ctx {
    nsm_nl_msg *out;
    const nlattr *info_data = nullptr;
    bool failed = false;
};

bool valid_vid(uint16_t vid) {
    return vid >= VID_MIN && vid <= VID_MAX;
}

struct vlan_walk {
    std::vector<nsm_nl_vlan> *vlans;
    bool in_range = false;
    bridge_vlan_info begin{};
};

int vlan_entry(const nlattr *attr, vlan_walk &w) {
    if (mnl_attr_validate2(attr, MNL_TYPE_UNSPEC, sizeof(bridge_vlan_info)) < 0)
        return -1;
    bridge_vlan_info info;
    std::memcpy(&info, mnl_attr_get_payload(attr), sizeof info);
    if (!valid_vid(info.vid))
        return -1;
    if (info.flags & BRIDGE_VLAN_INFO_RANGE_BEGIN) {
        if (w.in_range || (info.flags & BRIDGE_VLAN_INFO_RANGE_END))
            return -1;
        w.in_range = true;
        w.begin = info;
        return 0;
    }
    uint16_t flags = info.flags & ~RANGE_FLAGS;
    if (!(info.flags & BRIDGE_VLAN_INFO_RANGE_END)) {
        if (w.in_range)
            return -1;
        w.vlans->push_back({info.vid, flags});
        return 0;
    }
    if (!w.in_range || info.vid < w.begin.vid)
        return -1;
    w.in_range = false;
    uint16_t begin_flags = w.begin.flags & ~RANGE_FLAGS;
    for (unsigned vid = w.begin.vid; vid <= info.vid; ++vid)
        w.vlans->push_back({static_cast<uint16_t>(vid), begin_flags});
    return 0;
}

int parse_af_spec(const nlattr *spec, nsm_nl_msg *out) {
    vlan_walk w{&out->vlans};
    auto cb = [](const nlattr *attr, void *data) {
        if (mnl_attr_get_type(attr) != IFLA_BRIDGE_VLAN_INFO)
            return MNL_CB_OK;
        return vlan_entry(attr, *static_cast<vlan_walk *>(data)) < 0 ? MNL_CB_ERROR : MNL_CB_OK;
    };
    if (mnl_attr_parse_nested(spec, cb, &w) < 0 || w.in_range)
        return -1;
    return 0;
}

struct brport_flag {
    uint16_t attr;
    uint8_t bit;
};
constexpr brport_flag BRPORT_FLAGS[] = {
    {IFLA_BRPORT_LEARNING, NSM_BRPORT_LEARNING},
    {IFLA_BRPORT_UNICAST_FLOOD, NSM_BRPORT_FLOOD},
    {IFLA_BRPORT_MCAST_FLOOD, NSM_BRPORT_MCAST_FLOOD},
    {IFLA_BRPORT_BCAST_FLOOD, NSM_BRPORT_BCAST_FLOOD},
    {IFLA_BRPORT_LOCKED, NSM_BRPORT_LOCKED},
};

// The flags block changes; a kernel that does not report one leaves its default.
int parse_protinfo(const nlattr *protinfo, nsm_nl_msg *out) {
    out->link.brport = NSM_BRPORT_DEFAULT;
    auto cb = [](const nlattr *attr, void *arg) {
        auto *link = static_cast<nsm_nl_link *>(arg);
        if (mnl_attr_get_type(attr) == IFLA_BRPORT_STATE) {
            if (mnl_attr_validate(attr, MNL_TYPE_U8) < 0)
                return MNL_CB_ERROR;
            link->stp_state = mnl_attr_get_u8(attr);
            return MNL_CB_OK;
        }
        for (const auto &f : BRPORT_FLAGS) {
            if (mnl_attr_get_type(attr) != f.attr)
                continue;
            if (mnl_attr_validate(attr, MNL_TYPE_U8) < 0)
                return MNL_CB_ERROR;
            if (mnl_attr_get_u8(attr) != 0)
                link->brport |= f.bit;
            else
                link->brport &= ~f.bit;
        }
        return MNL_CB_OK;
    };
    return mnl_attr_parse_nested(protinfo, cb, &out->link) < 0 ? -1 : 0;
}

int parse_info_data(const nlattr *data, nsm_nl_msg *out) {
    auto cb = [](const nlattr *attr, void *arg) {
        auto &link = static_cast<nsm_nl_msg *>(arg)->link;
        if (mnl_attr_get_type(attr) == IFLA_BR_VLAN_PROTOCOL) {
            if (mnl_attr_validate(attr, MNL_TYPE_U16) < 0)
                return MNL_CB_ERROR;
            link.vlan_protocol = ntohs(mnl_attr_get_u16(attr));
            return MNL_CB_OK;
        }
        if (mnl_attr_get_type(attr) != IFLA_BR_VLAN_FILTERING)
            return MNL_CB_OK;
        if (mnl_attr_validate(attr, MNL_TYPE_U8) < 0)
            return MNL_CB_ERROR;
        link.vlan_filtering = mnl_attr_get_u8(attr) != 0 ? 1 : 0;
        return MNL_CB_OK;
    };
    return mnl_attr_parse_nested(data, cb, out) < 0 ? -1 : 0;
}

std::string_view attr_text(const nlattr *attr) {
    const char *text = mnl_attr_get_str(attr);
    return {text, strnlen(text, mnl_attr_get_payload_len(attr))};
}

int parse_linkinfo(const nlattr *linkinfo, parse_ctx *ctx) {
    ctx->out->link.is_bridge = 0;
    auto cb = [](const nlattr *attr, void *arg) {
        auto *c = static_cast<parse_ctx *>(arg);
        switch (mnl_attr_get_type(attr)) {
        case IFLA_INFO_KIND:
            if (mnl_attr_validate(attr, MNL_TYPE_STRING) < 0)
                return MNL_CB_ERROR;
            c->out->link.is_bridge = attr_text(attr) == "bridge";
            break;
        case IFLA_INFO_DATA:
            c->info_data = attr;
            break;
        default:
            break;
        }
        return MNL_CB_OK;
    };
    return mnl_attr_parse_nested(linkinfo, cb, ctx) < 0 ? -1 : 0;
}

int parse_name(const nlattr *attr, nsm_nl_msg *out) {
    if (mnl_attr_validate(attr, MNL_TYPE_NUL_STRING) < 0)
        return -1;
    const char *name = mnl_attr_get_str(attr);
    size_t len = strnlen(name, mnl_attr_get_payload_len(attr));
    if (len == 0 || len >= IFNAMSIZ)
        return -1;
    out->link.name.assign(name, len);
    out->has_name = true;
    return 0;
}

int parse_address(const nlattr *attr, nsm_nl_msg *out) {
    uint16_t len = mnl_attr_get_payload_len(attr);
    if (len > 32)
        return -1;
    out->link.hw_len = std::min<uint16_t>(len, out->link.hw.size());
    std::memcpy(out->link.hw.data(), mnl_attr_get_payload(attr), out->link.hw_len);
    out->has_hw = true;
    return 0;
}

int attr_cb(const nlattr *attr, void *data) {
    auto *ctx = static_cast<parse_ctx *>(data);
    nsm_nl_msg *out = ctx->out;
    int rc = 0;
    switch (mnl_attr_get_type(attr)) {
    case IFLA_IFNAME:
        rc = parse_name(attr, out);
        break;
    case IFLA_ADDRESS:
        rc = parse_address(attr, out);
        break;
    case IFLA_MASTER:
        rc = mnl_attr_validate(attr, MNL_TYPE_U32);
        if (rc == 0) {
            out->link.master = mnl_attr_get_u32(attr);
            out->has_master = true;
        }
        break;
    case IFLA_LINKINFO:
        rc = mnl_attr_validate(attr, MNL_TYPE_NESTED) < 0 ? -1 : parse_linkinfo(attr, ctx);
        break;
    case IFLA_PROTINFO:
        // Only the bridge family nests port flags here; others carry their own layouts.
        if (out->family == AF_BRIDGE && (attr->nla_type & NLA_F_NESTED))
            rc = mnl_attr_validate(attr, MNL_TYPE_NESTED) < 0 ? -1 : parse_protinfo(attr, out);
        break;
    case IFLA_AF_SPEC:
        if (out->family == AF_BRIDGE)
            rc = mnl_attr_validate(attr, MNL_TYPE_NESTED) < 0 ? -1 : parse_af_spec(attr, out);
        break;
    default:
        break;
    }
    if (rc < 0) {
        ctx->failed = true;
        return MNL_CB_ERROR;
    }
    return MNL_CB_OK;
}

} // namespace

bool nsm_netlink_msg_ok(const struct nlmsghdr *nlh, size_t len) {
    return len >= sizeof(nlmsghdr) && nlh->nlmsg_len >= sizeof(nlmsghdr) && nlh->nlmsg_len <= len;
}

const struct nlmsghdr *nsm_netlink_next(const struct nlmsghdr *nlh, size_t *len) {
    // The last message of a buffer need not be padded to the alignment.
    constexpr size_t align_mask = NLMSG_ALIGNTO - 1;
    size_t aligned = (static_cast<size_t>(nlh->nlmsg_len) + align_mask) & ~align_mask;
    size_t step = std::min(aligned, *len);
    *len -= step;
    return reinterpret_cast<const nlmsghdr *>(reinterpret_cast<const char *>(nlh) + step);
}

int nsm_netlink_parse(const struct nlmsghdr *nlh, size_t len, nsm_nl_msg *out) {
    if (nlh == nullptr || out == nullptr || !nsm_netlink_msg_ok(nlh, len))
        return -1;
    if (nlh->nlmsg_type != RTM_NEWLINK && nlh->nlmsg_type != RTM_DELLINK)
        return 1;
    if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ifinfomsg)))
        return -1;
    *out = nsm_nl_msg{};
    ifinfomsg ifi;
    std::memcpy(&ifi, mnl_nlmsg_get_payload(nlh), sizeof ifi);
    if (ifi.ifi_index <= 0)
        return -1;
    out->type = nlh->nlmsg_type;
    out->family = ifi.ifi_family;
    out->link.ifindex = static_cast<uint32_t>(ifi.ifi_index);
    out->link.flags = ifi.ifi_flags;
    parse_ctx ctx{out};
    if (mnl_attr_parse(nlh, sizeof(ifinfomsg), attr_cb, &ctx) < 0 || ctx.failed)
        return -1;
    if (ctx.info_data != nullptr && out->link.is_bridge == 1 &&
        (mnl_attr_validate(ctx.info_data, MNL_TYPE_NESTED) < 0 ||
         parse_info_data(ctx.info_data, out) < 0))
        return -1;
    if (out->family == AF_UNSPEC && out->link.is_bridge < 0)
        out->link.is_bridge = 0;
    return 0;
}

namespace {

struct vlandb_entry {
    bool has_info = false;
    bridge_vlan_info info{};
    uint16_t range_end = 0;
    int state = -1;
};

int vlandb_entry_cb(const nlattr *attr, void *data) {
    auto *e = static_cast<vlandb_entry *>(data);
    switch (mnl_attr_get_type(attr)) {
    case BRIDGE_VLANDB_ENTRY_INFO:
        if (mnl_attr_validate2(attr, MNL_TYPE_UNSPEC, sizeof(bridge_vlan_info)) < 0)
            return MNL_CB_ERROR;
        std::memcpy(&e->info, mnl_attr_get_payload(attr), sizeof e->info);
        e->has_info = true;
        break;
    case BRIDGE_VLANDB_ENTRY_RANGE:
        if (mnl_attr_validate(attr, MNL_TYPE_U16) < 0)
            return MNL_CB_ERROR;
        e->range_end = mnl_attr_get_u16(attr);
        break;
    case BRIDGE_VLANDB_ENTRY_STATE:
        if (mnl_attr_validate(attr, MNL_TYPE_U8) < 0)
            return MNL_CB_ERROR;
        e->state = mnl_attr_get_u8(attr);
        break;
    default:
        break;
    }
    return MNL_CB_OK;
}

// One BRIDGE_VLANDB_ENTRY; an entry without a state is one the bridge forwards on.
int vlandb_attr_cb(const nlattr *attr, void *data) {
    if (mnl_attr_get_type(attr) != BRIDGE_VLANDB_ENTRY)
        return MNL_CB_OK;
    auto *out = static_cast<nsm_nl_vlandb *>(data);
    vlandb_entry e;
    if (mnl_attr_validate(attr, MNL_TYPE_NESTED) < 0 ||
        mnl_attr_parse_nested(attr, vlandb_entry_cb, &e) < 0 || !e.has_info ||
        !valid_vid(e.info.vid))
        return MNL_CB_ERROR;
    const unsigned end = e.range_end != 0 ? e.range_end : e.info.vid;
    if (end < e.info.vid || !valid_vid(static_cast<uint16_t>(end)) ||
        out->entries.size() + (end - e.info.vid + 1) > VID_MAX)
        return MNL_CB_ERROR;
    const auto state = static_cast<uint8_t>(e.state >= 0 ? e.state : BR_STATE_FORWARDING);
    for (unsigned vid = e.info.vid; vid <= end; vid++)
        out->entries.push_back({static_cast<uint16_t>(vid), state});
    return MNL_CB_OK;
}

} // namespace

int nsm_netlink_parse_vlandb(const struct nlmsghdr *nlh, size_t len, nsm_nl_vlandb *out) {
    if (nlh == nullptr || out == nullptr || !nsm_netlink_msg_ok(nlh, len))
        return -1;
    if (nlh->nlmsg_type != RTM_NEWVLAN && nlh->nlmsg_type != RTM_DELVLAN)
        return 1;
    if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(br_vlan_msg)))
        return -1;
    br_vlan_msg bvm;
    std::memcpy(&bvm, mnl_nlmsg_get_payload(nlh), sizeof bvm);
    if (bvm.family != AF_BRIDGE)
        return 1;
    if (bvm.ifindex == 0 || bvm.ifindex > INT32_MAX)
        return -1;
    *out = nsm_nl_vlandb{};
    out->type = nlh->nlmsg_type;
    out->ifindex = bvm.ifindex;
    if (mnl_attr_parse(nlh, sizeof(br_vlan_msg), vlandb_attr_cb, out) < 0)
        return -1;
    return out->entries.empty() ? 1 : 0;
}

namespace {

struct fdb_ctx {
    nsm_nl_fdb *out;
    bool has_mac = false;
};

int fdb_attr_cb(const nlattr *attr, void *data) {
    auto *ctx = static_cast<fdb_ctx *>(data);
    switch (mnl_attr_get_type(attr)) {
    case NDA_LLADDR:
        if (mnl_attr_get_payload_len(attr) != ctx->out->mac.size())
            return MNL_CB_ERROR;
        std::memcpy(ctx->out->mac.data(), mnl_attr_get_payload(attr), ctx->out->mac.size());
        ctx->has_mac = true;
        break;
    case NDA_VLAN:
        if (mnl_attr_validate(attr, MNL_TYPE_U16) < 0 || !valid_vid(mnl_attr_get_u16(attr)))
            return MNL_CB_ERROR;
        ctx->out->vid = mnl_attr_get_u16(attr);
        break;
    case NDA_MASTER:
        if (mnl_attr_validate(attr, MNL_TYPE_U32) < 0)
            return MNL_CB_ERROR;
        ctx->out->master = mnl_attr_get_u32(attr);
        break;
    default:
        break;
    }
    return MNL_CB_OK;
}

} // namespace

int nsm_netlink_parse_fdb(const struct nlmsghdr *nlh, size_t len, nsm_nl_fdb *out) {
    if (nlh == nullptr || out == nullptr || !nsm_netlink_msg_ok(nlh, len))
        return -1;
    if (nlh->nlmsg_type != RTM_NEWNEIGH && nlh->nlmsg_type != RTM_DELNEIGH)
        return 1;
    if (nlh->nlmsg_len < mnl_nlmsg_size(sizeof(ndmsg)))
        return -1;
    ndmsg ndm;
    std::memcpy(&ndm, mnl_nlmsg_get_payload(nlh), sizeof ndm);
    if (ndm.ndm_family != AF_BRIDGE)
        return 1;
    if (ndm.ndm_ifindex <= 0)
        return -1;
    *out = nsm_nl_fdb{};
    out->type = nlh->nlmsg_type;
    out->ifindex = static_cast<uint32_t>(ndm.ndm_ifindex);
    out->state = ndm.ndm_state;
    out->flags = ndm.ndm_flags;
    fdb_ctx ctx{out};
    if (mnl_attr_parse(nlh, sizeof(ndmsg), fdb_attr_cb, &ctx) < 0 || !ctx.has_mac)
        return -1;
    if (ndm.ndm_state & (NUD_PERMANENT | NUD_NOARP))
        return 1;
    return 0;
}

uint32_t nsm_fdb_track(nsm_fdb_tracker &tracker, const nsm_nl_fdb &fdb) {
    uint64_t key = 0;
    for (uint8_t b : fdb.mac)
        key = key << 8 | b;
    key = key << 16 | fdb.vid;
    if (fdb.type == RTM_DELNEIGH) {
        tracker.last_port.erase(key);
        return 0;
    }
    auto it = tracker.last_port.find(key);
    if (it == tracker.last_port.end()) {
        if (tracker.last_port.size() >= NSM_FDB_TRACK_MAX)
            tracker.last_port.clear();
        tracker.last_port.emplace(key, fdb.ifindex);
        return 0;
    }
    uint32_t from = it->second;
    it->second = fdb.ifindex;
    return from != fdb.ifindex ? from : 0;
}

namespace {

void merge_common(nsm_nl_link &l, const nsm_nl_msg &msg) {
    l.ifindex = msg.link.ifindex;
    l.flags = msg.link.flags;
    if (msg.has_name)
        l.name = msg.link.name;
    if (msg.has_hw) {
        l.hw = msg.link.hw;
        l.hw_len = msg.link.hw_len;
    }
}

// The kernel reports a bridge's own VLANs in an AF_BRIDGE message naming itself as master.
void apply_bridge_family(nsm_kernel_state &state, const nsm_nl_msg &msg) {
    uint32_t ifindex = msg.link.ifindex;
    if (msg.type == RTM_DELLINK) {
        auto it = state.links.find(ifindex);
        if (it == state.links.end())
            return;
        it->second.link.master = 0;
        it->second.vlans.clear();
        it->second.vlan_states.clear();
        return;
    }
    auto &l = state.links[ifindex];
    merge_common(l.link, msg);
    if (msg.has_master && msg.link.master == ifindex)
        l.link.is_bridge = 1;
    else if (msg.has_master)
        l.link.master = msg.link.master;
    if (msg.link.brport >= 0)
        l.link.brport = msg.link.brport;
    if (msg.link.stp_state >= 0)
        l.link.stp_state = msg.link.stp_state;
    l.vlans = msg.vlans;
}

} // namespace

void nsm_kernel_state_apply(nsm_kernel_state &state, const nsm_nl_msg &msg) {
    if (msg.link.ifindex == 0)
        return;
    if (msg.family == AF_BRIDGE) {
        apply_bridge_family(state, msg);
        return;
    }
    if (msg.type == RTM_DELLINK) {
        state.links.erase(msg.link.ifindex);
        return;
    }
    auto &l = state.links[msg.link.ifindex];
    uint32_t old_master = l.link.master;
    merge_common(l.link, msg);
    l.link.master = msg.has_master ? msg.link.master : 0;
    if (msg.link.is_bridge >= 0)
        l.link.is_bridge = msg.link.is_bridge;
    if (msg.link.vlan_filtering >= 0)
        l.link.vlan_filtering = msg.link.vlan_filtering;
    if (msg.link.vlan_protocol != 0)
        l.link.vlan_protocol = msg.link.vlan_protocol;
    // VLANs of a port belong to its membership; a bridge's own stay.
    if (old_master != l.link.master && l.link.is_bridge != 1) {
        l.vlans.clear();
        l.vlan_states.clear();
    }
}

void nsm_kernel_state_apply_vlandb(nsm_kernel_state &state, const nsm_nl_vlandb &msg) {
    auto it = state.links.find(msg.ifindex);
    if (it == state.links.end())
        return;
    auto &states = it->second.vlan_states;
    for (const nsm_nl_vlan_state &e : msg.entries) {
        if (msg.type == RTM_DELVLAN || e.state == BR_STATE_FORWARDING)
            states.erase(e.vid);
        else
            states[e.vid] = e.state;
        if (msg.type == RTM_DELVLAN)
            state.own_vlan_blocks.erase(msg.ifindex << 16 | e.vid);
    }
}

namespace {

bool is_bridge(const nsm_kernel_state &state, uint32_t ifindex) {
    auto it = state.links.find(ifindex);
    return it != state.links.end() && it->second.link.is_bridge == 1;
}

void choose_bridge(nsm_kernel_state &state, const nsm_kernel_options &options) {
    if (!options.bridge.empty())
        state.chosen_name = options.bridge;
    for (const auto &[ifindex, l] : state.links) {
        if (!state.chosen_name.empty())
            break;
        if (l.link.is_bridge == 1)
            state.chosen_name = l.link.name;
    }
    state.chosen = 0;
    for (const auto &[ifindex, l] : state.links)
        if (l.link.is_bridge == 1 && l.link.name == state.chosen_name)
            state.chosen = ifindex;
}

bool filtering(const nsm_kernel_link &bridge) {
    return bridge.link.vlan_filtering == 1;
}

nsm_view_port port_of(const nsm_kernel_link &bridge, const nsm_kernel_link &port,
                      const std::set<uint32_t> &own_blocks) {
    nsm_view_port p;
    if (!filtering(bridge)) {
        p.vlans.insert(1);
        p.untagged.insert(1);
        return p;
    }
    p.tpid = bridge.link.vlan_protocol;
    for (const auto &v : port.vlans) {
        p.vlans.insert(v.vid);
        if (v.flags & BRIDGE_VLAN_INFO_UNTAGGED)
            p.untagged.insert(v.vid);
    }
    for (const auto &[vid, vstate] : port.vlan_states)
        if (p.vlans.contains(vid) && !own_blocks.contains(port.link.ifindex << 16 | vid))
            p.stp_vlans.insert(vid);
    return p;
}

nsm_view_bridge bridge_of(const nsm_kernel_state &state, uint32_t ifindex,
                          const nsm_kernel_link &bridge) {
    nsm_view_bridge b;
    if (!filtering(bridge)) {
        b.type = NSM_BRIDGE_TYPE_VLAN_UNAWARE;
        b.vlans.insert(1);
        return b;
    }
    b.type = NSM_BRIDGE_TYPE_VLAN_AWARE;
    for (const auto &v : bridge.vlans)
        b.vlans.insert(v.vid);
    for (const auto &[idx, l] : state.links)
        if (idx != ifindex && l.link.master == ifindex)
            for (const auto &v : l.vlans)
                b.vlans.insert(v.vid);
    return b;
}

nsm_view_if interface_of(const nsm_kernel_state &state, const nsm_kernel_link &l,
                         const nsm_kernel_options &options) {
    nsm_view_if v;
    v.name = l.link.name;
    v.flags = l.link.flags;
    v.hw = l.link.hw;
    v.hw_len = l.link.hw_len;
    v.bridge_ifindex = is_bridge(state, l.link.master) ? l.link.master : 0;
    // A port the bridge does not forward on (STP has it blocking, listening or learning) is to
    // the protocol a port whose link is not running: not probed, not cut, and what comes in
    // through it proves nothing; it comes up when STP lets it forward.
    // Disabled is left to the link's own flags: it is what a port whose link is down has.
    if (nsm_kernel_state_is_port(state, l.link.ifindex) && l.link.stp_state > BR_STATE_DISABLED &&
        l.link.stp_state != BR_STATE_FORWARDING) {
        v.stp_state = static_cast<int8_t>(l.link.stp_state);
        v.flags &= ~uint32_t{IFF_RUNNING};
    }
    if (options.port_mac_bridge && nsm_kernel_state_is_port(state, l.link.ifindex)) {
        const auto &bridge = state.links.at(state.chosen).link;
        if (bridge.hw_len > 0) {
            v.hw = bridge.hw;
            v.hw_len = bridge.hw_len;
        }
    }
    return v;
}

} // namespace

bool nsm_name_printable(const std::string &name) {
    for (char c : name)
        if (c <= ' ' || c > '~')
            return false;
    return true;
}

std::string nsm_name_escaped(const std::string &name) {
    std::string out;
    for (char c : name) {
        if (c > ' ' && c <= '~' && c != '"' && c != '\\') {
            out += c;
            continue;
        }
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(c));
        out += hex;
    }
    return out;
}

bool nsm_kernel_state_is_port(const nsm_kernel_state &state, uint32_t ifindex) {
    if (state.chosen == 0 || ifindex == state.chosen || !is_bridge(state, state.chosen))
        return false;
    auto it = state.links.find(ifindex);
    return it != state.links.end() && it->second.link.master == state.chosen &&
           nsm_name_printable(it->second.link.name);
}

nsm_view nsm_kernel_state_view(nsm_kernel_state &state, const nsm_kernel_options &options) {
    choose_bridge(state, options);
    nsm_view view;
    for (const auto &[ifindex, l] : state.links) {
        if (l.link.name.empty() || !nsm_name_printable(l.link.name))
            continue;
        view.ifs[ifindex] = interface_of(state, l, options);
        if (l.link.is_bridge == 1) {
            bool chosen = ifindex == state.chosen;
            std::string name = chosen ? "1" : l.link.name;
            if (chosen || name != "1")
                view.bridges[name] = bridge_of(state, ifindex, l);
        }
        if (nsm_kernel_state_is_port(state, ifindex))
            view.ports[ifindex] = port_of(state.links.at(state.chosen), l, state.own_vlan_blocks);
    }
    return view;
}
