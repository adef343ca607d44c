#include "support/netlink_msg.h"

#include <cstring>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace vesk_test {

NlMsg::NlMsg(uint16_t type, uint8_t family, int ifindex, uint32_t flags) {
    nlmsghdr h{};
    h.nlmsg_type = type;
    raw(&h, sizeof h);
    ifinfomsg ifi{};
    ifi.ifi_family = family;
    ifi.ifi_index = ifindex;
    ifi.ifi_flags = flags;
    raw(&ifi, sizeof ifi);
}

NlMsg &NlMsg::raw(const void *p, size_t n) {
    auto *b = static_cast<const uint8_t *>(p);
    buf_.insert(buf_.end(), b, b + n);
    buf_.resize(NLMSG_ALIGN(buf_.size()), 0);
    auto len = static_cast<uint32_t>(buf_.size());
    std::memcpy(buf_.data(), &len, sizeof len);
    return *this;
}

NlMsg &NlMsg::attr(uint16_t type, const void *data, size_t len) {
    nlattr a{static_cast<uint16_t>(NLA_HDRLEN + len), type};
    raw(&a, sizeof a);
    raw(data, len);
    return *this;
}

NlMsg &NlMsg::str(uint16_t type, const char *s) {
    return attr(type, s, std::strlen(s) + 1);
}

NlMsg &NlMsg::u32(uint16_t type, uint32_t v) {
    return attr(type, &v, sizeof v);
}

NlMsg &NlMsg::begin(uint16_t type) {
    nests_.push_back(buf_.size());
    nlattr a{0, static_cast<uint16_t>(type | NLA_F_NESTED)};
    raw(&a, sizeof a);
    return *this;
}

NlMsg &NlMsg::end() {
    auto len = static_cast<uint16_t>(buf_.size() - nests_.back());
    std::memcpy(buf_.data() + nests_.back(), &len, sizeof len);
    nests_.pop_back();
    return *this;
}

NlMsg &NlMsg::vlans(const std::vector<bridge_vlan_info> &entries) {
    begin(IFLA_AF_SPEC);
    for (const auto &e : entries)
        attr(IFLA_BRIDGE_VLAN_INFO, &e, sizeof e);
    return end();
}

NlMsg nl_bridge(int ifindex, const char *name, int filtering, uint8_t mac) {
    const uint8_t hw[6] = {2, 0, 0, 0, 0, mac};
    NlMsg m(RTM_NEWLINK, AF_UNSPEC, ifindex);
    m.str(IFLA_IFNAME, name).attr(IFLA_ADDRESS, hw, 6).begin(IFLA_LINKINFO);
    m.str(IFLA_INFO_KIND, "bridge");
    if (filtering >= 0) {
        auto f = static_cast<uint8_t>(filtering);
        m.begin(IFLA_INFO_DATA).attr(IFLA_BR_VLAN_FILTERING, &f, 1).end();
    }
    return m.end();
}

NlMsg nl_port(int ifindex, const char *name, uint32_t master) {
    const uint8_t hw[6] = {2, 0, 0, 0, 0, static_cast<uint8_t>(ifindex)};
    NlMsg m(RTM_NEWLINK, AF_UNSPEC, ifindex);
    m.str(IFLA_IFNAME, name).attr(IFLA_ADDRESS, hw, 6);
    m.begin(IFLA_LINKINFO).str(IFLA_INFO_KIND, "veth").end();
    return master != 0 ? m.u32(IFLA_MASTER, master) : m;
}

NlMsg nl_bridge_family(uint16_t type, int ifindex, const char *name, uint32_t master) {
    NlMsg m(type, AF_BRIDGE, ifindex);
    return m.str(IFLA_IFNAME, name).u32(IFLA_MASTER, master);
}

} // namespace vesk_test
