// rtnetlink link messages, hand-built, read into records and folded into the kernel state and
// the view presented to the protocol.
#include <cstring>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

#include "zet/nsm/netlink.h"

namespace {

constexpr uint32_t kUpRunning = IFF_UP | IFF_RUNNING;

// Builds one netlink message with attributes and nests, as the kernel lays them out.
class Msg {
  public:
    Msg(uint16_t type, uint8_t family, int ifindex, uint32_t flags = kUpRunning) {
        nlmsghdr h{};
        h.nlmsg_type = type;
        append(&h, sizeof h);
        ifinfomsg ifi{};
        ifi.ifi_family = family;
        ifi.ifi_index = ifindex;
        ifi.ifi_flags = flags;
        append(&ifi, sizeof ifi);
    }
    Msg &attr(uint16_t type, const void *data, size_t len) {
        nlattr a{static_cast<uint16_t>(NLA_HDRLEN + len), type};
        append(&a, sizeof a);
        append(data, len);
        pad();
        return *this;
    }
    Msg &str(uint16_t type, const char *s) { return attr(type, s, std::strlen(s) + 1); }
    Msg &u32(uint16_t type, uint32_t v) { return attr(type, &v, sizeof v); }
    Msg &u8(uint16_t type, uint8_t v) { return attr(type, &v, sizeof v); }
    Msg &mac(uint8_t last) {
        const uint8_t m[6] = {0x02, 0, 0, 0, 0, last};
        return attr(IFLA_ADDRESS, m, sizeof m);
    }
    Msg &vlan(uint16_t flags, uint16_t vid) {
        bridge_vlan_info info{flags, vid};
        return attr(IFLA_BRIDGE_VLAN_INFO, &info, sizeof info);
    }
    Msg &begin(uint16_t type) {
        nests_.push_back(buf_.size());
        nlattr a{0, static_cast<uint16_t>(type | NLA_F_NESTED)};
        append(&a, sizeof a);
        return *this;
    }
    Msg &end() {
        size_t at = nests_.back();
        nests_.pop_back();
        uint16_t len = static_cast<uint16_t>(buf_.size() - at);
        std::memcpy(buf_.data() + at, &len, sizeof len);
        return *this;
    }
    // A bridge link, optionally with VLAN filtering.
    Msg &bridge_info(int filtering) {
        begin(IFLA_LINKINFO).str(IFLA_INFO_KIND, "bridge");
        if (filtering >= 0)
            begin(IFLA_INFO_DATA).u8(IFLA_BR_VLAN_FILTERING, static_cast<uint8_t>(filtering)).end();
        return end();
    }
    const nlmsghdr *hdr() {
        uint32_t len = static_cast<uint32_t>(buf_.size());
        std::memcpy(buf_.data(), &len, sizeof len);
        return reinterpret_cast<const nlmsghdr *>(buf_.data());
    }
    size_t size() const { return buf_.size(); }
    std::vector<uint8_t> &bytes() { return buf_; }

    int parse(nsm_nl_msg *out) {
        const nlmsghdr *h = hdr();
        return nsm_netlink_parse(h, size(), out);
    }

  private:
    void append(const void *p, size_t n) {
        auto *b = static_cast<const uint8_t *>(p);
        buf_.insert(buf_.end(), b, b + n);
    }
    void pad() { buf_.resize(NLMSG_ALIGN(buf_.size()), 0); }
    std::vector<uint8_t> buf_;
    std::vector<size_t> nests_;
};

nsm_nl_msg parsed(Msg &m) {
    nsm_nl_msg out;
    EXPECT_EQ(m.parse(&out), 0);
    return out;
}

Msg bridge_link(int ifindex, const char *name, int filtering, uint8_t mac = 0x10) {
    Msg m(RTM_NEWLINK, AF_UNSPEC, ifindex);
    m.str(IFLA_IFNAME, name).mac(mac).bridge_info(filtering);
    return m;
}

Msg port_link(int ifindex, const char *name, uint32_t master, uint32_t flags = kUpRunning) {
    Msg m(RTM_NEWLINK, AF_UNSPEC, ifindex, flags);
    m.str(IFLA_IFNAME, name).mac(static_cast<uint8_t>(ifindex));
    m.begin(IFLA_LINKINFO).str(IFLA_INFO_KIND, "veth").end();
    if (master != 0)
        m.u32(IFLA_MASTER, master);
    return m;
}

// The AF_BRIDGE message of a port (or, with master == ifindex, of the bridge itself).
Msg bridge_family(uint16_t type, int ifindex, const char *name, uint32_t master) {
    Msg m(type, AF_BRIDGE, ifindex);
    m.str(IFLA_IFNAME, name).u32(IFLA_MASTER, master);
    return m;
}

void apply(nsm_kernel_state &state, Msg m) {
    nsm_kernel_state_apply(state, parsed(m));
}

std::set<uint16_t> range(uint16_t lo, uint16_t hi) {
    std::set<uint16_t> s;
    for (unsigned v = lo; v <= hi; v++)
        s.insert(static_cast<uint16_t>(v));
    return s;
}

std::set<uint16_t> join(std::set<uint16_t> a, const std::set<uint16_t> &b) {
    a.insert(b.begin(), b.end());
    return a;
}

TEST(NsmNetlink, BridgeLinkGivesKindFilteringNameAndAddress) {
    Msg m = bridge_link(3, "br0", 1, 0x33);
    nsm_nl_msg out = parsed(m);
    EXPECT_EQ(out.type, RTM_NEWLINK);
    EXPECT_EQ(out.family, AF_UNSPEC);
    EXPECT_EQ(out.link.ifindex, 3u);
    EXPECT_EQ(out.link.name, "br0");
    EXPECT_EQ(out.link.is_bridge, 1);
    EXPECT_EQ(out.link.vlan_filtering, 1);
    EXPECT_EQ(out.link.flags, kUpRunning);
    EXPECT_EQ(out.link.hw_len, 6);
    EXPECT_EQ(out.link.hw[5], 0x33);
    EXPECT_FALSE(out.has_master);
}

TEST(NsmNetlink, LinkWithoutLinkInfoIsNoBridge) {
    Msg m(RTM_NEWLINK, AF_UNSPEC, 2);
    m.str(IFLA_IFNAME, "eth0");
    EXPECT_EQ(parsed(m).link.is_bridge, 0);
}

TEST(NsmNetlink, PortVlanListExpandsRangesAndKeepsFlags) {
    Msg m = bridge_family(RTM_NEWLINK, 5, "p1", 3);
    m.begin(IFLA_AF_SPEC)
        .vlan(BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED, 1)
        .vlan(BRIDGE_VLAN_INFO_RANGE_BEGIN | BRIDGE_VLAN_INFO_UNTAGGED, 10)
        .vlan(BRIDGE_VLAN_INFO_RANGE_END, 13)
        .vlan(0, 4094)
        .end();
    nsm_nl_msg out = parsed(m);
    EXPECT_TRUE(out.has_vlans);
    EXPECT_EQ(out.link.master, 3u);
    ASSERT_EQ(out.vlans.size(), 6u);
    EXPECT_EQ(out.vlans[0].vid, 1);
    EXPECT_EQ(out.vlans[0].flags, BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED);
    for (int i = 1; i <= 4; i++) {
        EXPECT_EQ(out.vlans[i].vid, 9 + i);
        EXPECT_EQ(out.vlans[i].flags, BRIDGE_VLAN_INFO_UNTAGGED) << "range flags are gone";
    }
    EXPECT_EQ(out.vlans[5].vid, 4094);
}

TEST(NsmNetlink, AfSpecOfAnUnspecMessageIsNotAVlanList) {
    Msg m = port_link(5, "p1", 3);
    m.begin(IFLA_AF_SPEC).begin(AF_INET).u32(1, 7).end().end();
    nsm_nl_msg out = parsed(m);
    EXPECT_FALSE(out.has_vlans);
    EXPECT_TRUE(out.vlans.empty());
}

struct BadVlans {
    const char *what;
    std::vector<bridge_vlan_info> entries;
};

TEST(NsmNetlink, MalformedVlanListsAreRefusedWhole) {
    const BadVlans cases[] = {
        {"range without end", {{BRIDGE_VLAN_INFO_RANGE_BEGIN, 10}}},
        {"end without begin", {{BRIDGE_VLAN_INFO_RANGE_END, 10}}},
        {"range backwards", {{BRIDGE_VLAN_INFO_RANGE_BEGIN, 20}, {BRIDGE_VLAN_INFO_RANGE_END, 10}}},
        {"nested begin", {{BRIDGE_VLAN_INFO_RANGE_BEGIN, 2}, {BRIDGE_VLAN_INFO_RANGE_BEGIN, 3}}},
        {"single inside range", {{BRIDGE_VLAN_INFO_RANGE_BEGIN, 2}, {0, 3}}},
        {"both range flags", {{BRIDGE_VLAN_INFO_RANGE_BEGIN | BRIDGE_VLAN_INFO_RANGE_END, 2}}},
        {"vid 0", {{0, 0}}},
        {"vid 4095", {{0, 4095}}},
    };
    for (const auto &c : cases) {
        Msg m = bridge_family(RTM_NEWLINK, 5, "p1", 3);
        m.begin(IFLA_AF_SPEC);
        for (const auto &e : c.entries)
            m.vlan(e.flags, e.vid);
        m.end();
        nsm_nl_msg out;
        EXPECT_EQ(m.parse(&out), -1) << c.what;
    }
}

TEST(NsmNetlink, ShortOrUnterminatedAttributesAreRefused) {
    {
        Msg m = bridge_family(RTM_NEWLINK, 5, "p1", 3);
        uint16_t only_flags = 0;
        m.begin(IFLA_AF_SPEC).attr(IFLA_BRIDGE_VLAN_INFO, &only_flags, sizeof only_flags).end();
        nsm_nl_msg out;
        EXPECT_EQ(m.parse(&out), -1) << "vlan info shorter than its record";
    }
    {
        Msg m(RTM_NEWLINK, AF_UNSPEC, 5);
        m.attr(IFLA_IFNAME, "abc", 3);
        nsm_nl_msg out;
        EXPECT_EQ(m.parse(&out), -1) << "unterminated name";
    }
    {
        Msg m(RTM_NEWLINK, AF_UNSPEC, 5);
        m.str(IFLA_IFNAME, "averyveryverylongname");
        nsm_nl_msg out;
        EXPECT_EQ(m.parse(&out), -1) << "name longer than the kernel allows";
    }
    {
        Msg m(RTM_NEWLINK, AF_UNSPEC, 5);
        uint16_t half = 1;
        m.attr(IFLA_MASTER, &half, sizeof half);
        nsm_nl_msg out;
        EXPECT_EQ(m.parse(&out), -1) << "short master";
    }
}

TEST(NsmNetlink, TruncatedMessagesAndOtherTypes) {
    Msg m = port_link(5, "p1", 3);
    nsm_nl_msg out;
    EXPECT_EQ(nsm_netlink_parse(m.hdr(), m.size() - 4, &out), -1) << "length beyond buffer";
    EXPECT_EQ(nsm_netlink_parse(m.hdr(), 8, &out), -1);
    Msg tiny(RTM_NEWLINK, AF_UNSPEC, 5);
    tiny.bytes().resize(sizeof(nlmsghdr) + 4);
    EXPECT_EQ(tiny.parse(&out), -1) << "no room for ifinfomsg";
    Msg addr(RTM_NEWADDR, AF_UNSPEC, 5);
    EXPECT_EQ(addr.parse(&out), 1);
    Msg zero(RTM_NEWLINK, AF_UNSPEC, 0);
    EXPECT_EQ(zero.parse(&out), -1) << "interface index 0";
}

// Walks a receive buffer as the kernel backend does; gives the messages seen and the bytes left,
// stopping at a bound well past any real walk so that a walk that would never end fails here.
std::pair<int, size_t> walk(const std::vector<uint8_t> &buf) {
    size_t left = buf.size();
    int seen = 0;
    for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf.data());
         nsm_netlink_msg_ok(nlh, left) && seen < 100; nlh = nsm_netlink_next(nlh, &left))
        seen++;
    return {seen, left};
}

// Two link messages followed by a header claiming len bytes, with a little payload after it.
std::vector<uint8_t> two_messages_then(uint32_t len) {
    std::vector<uint8_t> buf;
    for (int ifindex : {5, 6}) {
        Msg m = port_link(ifindex, "p", 3);
        m.hdr();
        buf.insert(buf.end(), m.bytes().begin(), m.bytes().end());
    }
    nlmsghdr h{};
    h.nlmsg_len = len;
    h.nlmsg_type = RTM_NEWLINK;
    auto *p = reinterpret_cast<const uint8_t *>(&h);
    buf.insert(buf.end(), p, p + sizeof h);
    buf.resize(buf.size() + 32, 0);
    return buf;
}

TEST(NsmNetlink, BufferWalkStopsAtALengthOutsideTheBytesLeft) {
    for (uint32_t len : {0u, 15u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu,
                         0xFFFFFFFFu, 1000u}) {
        std::vector<uint8_t> buf = two_messages_then(len);
        auto [seen, left] = walk(buf);
        EXPECT_EQ(seen, 2) << "length " << len;
        EXPECT_EQ(left, sizeof(nlmsghdr) + 32) << "length " << len;
        auto *last = reinterpret_cast<const nlmsghdr *>(buf.data() + buf.size() - left);
        nsm_nl_msg out;
        EXPECT_EQ(nsm_netlink_parse(last, left, &out), -1) << "length " << len;
    }
}

TEST(NsmNetlink, BufferWalkTakesAnUnpaddedLastMessageWhole) {
    std::vector<uint8_t> buf = two_messages_then(sizeof(nlmsghdr) + 30);
    buf.resize(buf.size() - 2);
    auto [seen, left] = walk(buf);
    EXPECT_EQ(seen, 3);
    EXPECT_EQ(left, 0u);
}

TEST(NsmNetlink, AttributeRunningPastTheMessageIsNeverRead) {
    Msg m = port_link(5, "p1", 3);
    std::vector<uint8_t> &b = m.bytes();
    // Claim the last attribute is longer than what is left.
    nlattr a{200, IFLA_MTU};
    b.insert(b.end(), reinterpret_cast<uint8_t *>(&a), reinterpret_cast<uint8_t *>(&a) + 4);
    nsm_nl_msg out;
    EXPECT_GE(m.parse(&out), 0);
    EXPECT_EQ(out.link.name, "p1");
}

// A VLAN-filtering bridge br0 (3) with ports p1 (5) and p2 (6), and its own VLAN list.
nsm_kernel_state filtering_bridge() {
    nsm_kernel_state state;
    apply(state, bridge_link(3, "br0", 1));
    apply(state, port_link(5, "p1", 3));
    apply(state, port_link(6, "p2", 3));
    Msg self = bridge_family(RTM_NEWLINK, 3, "br0", 3);
    self.begin(IFLA_AF_SPEC)
        .vlan(BRIDGE_VLAN_INFO_BRENTRY | BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED, 1)
        .vlan(BRIDGE_VLAN_INFO_BRENTRY, 200)
        .end();
    apply(state, self);
    Msg p1 = bridge_family(RTM_NEWLINK, 5, "p1", 3);
    p1.begin(IFLA_AF_SPEC)
        .vlan(BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED, 1)
        .vlan(BRIDGE_VLAN_INFO_RANGE_BEGIN, 10)
        .vlan(BRIDGE_VLAN_INFO_RANGE_END, 20)
        .end();
    apply(state, p1);
    Msg p2 = bridge_family(RTM_NEWLINK, 6, "p2", 3);
    p2.begin(IFLA_AF_SPEC).vlan(BRIDGE_VLAN_INFO_UNTAGGED, 100).end();
    apply(state, p2);
    return state;
}

TEST(NsmNetlink, FilteringBridgeGivesItsVlanTableAndPortMemberships) {
    nsm_kernel_state state = filtering_bridge();
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(state.chosen, 3u);
    ASSERT_TRUE(view.bridges.contains("1"));
    EXPECT_FALSE(view.bridges.contains("br0"));
    EXPECT_EQ(view.bridges["1"].type, NSM_BRIDGE_TYPE_VLAN_AWARE);
    EXPECT_EQ(view.bridges["1"].vlans, join(join(range(10, 20), {1, 200}), {100}));
    ASSERT_EQ(view.ports.size(), 2u);
    EXPECT_EQ(view.ports[5].vlans, join(range(10, 20), {1}));
    EXPECT_EQ(view.ports[5].untagged, std::set<uint16_t>{1});
    EXPECT_EQ(view.ports[6].vlans, std::set<uint16_t>{100});
    EXPECT_EQ(view.ports[6].untagged, std::set<uint16_t>{100});
    EXPECT_FALSE(view.ports.contains(3)) << "a bridge is no port of itself";
    EXPECT_EQ(view.ifs[5].bridge_ifindex, 3u);
    EXPECT_EQ(view.ifs[3].bridge_ifindex, 0u);
}

TEST(NsmNetlink, NamesOutsidePrintableAsciiLeaveTheInterfaceUnmanaged) {
    for (const char *name : {"p\x1b[2J", "p\xc3\xa9", "p 1", "p\t1"}) {
        nsm_kernel_state state = filtering_bridge();
        apply(state, port_link(6, name, 3));
        nsm_view view = nsm_kernel_state_view(state, {});
        EXPECT_FALSE(view.ifs.contains(6)) << nsm_name_escaped(name);
        EXPECT_FALSE(view.ports.contains(6));
        EXPECT_FALSE(nsm_kernel_state_is_port(state, 6)) << "no request ever touches it";
        EXPECT_TRUE(view.ports.contains(5));
    }
    EXPECT_TRUE(nsm_name_printable("q\"),x\\"));
    EXPECT_EQ(nsm_name_escaped("a\x1b\"\\\xff"), "a\\x1b\\x22\\x5c\\xff");
}

TEST(NsmNetlink, RemovedVlanLeavesThePortAndTheTable) {
    nsm_kernel_state state = filtering_bridge();
    // The kernel reports the port's remaining VLANs: 15 has gone.
    Msg p1 = bridge_family(RTM_NEWLINK, 5, "p1", 3);
    p1.begin(IFLA_AF_SPEC)
        .vlan(BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED, 1)
        .vlan(BRIDGE_VLAN_INFO_RANGE_BEGIN, 10)
        .vlan(BRIDGE_VLAN_INFO_RANGE_END, 14)
        .vlan(BRIDGE_VLAN_INFO_RANGE_BEGIN, 16)
        .vlan(BRIDGE_VLAN_INFO_RANGE_END, 20)
        .end();
    apply(state, p1);
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_FALSE(view.ports[5].vlans.contains(15));
    EXPECT_EQ(view.ports[5].vlans.size(), 11u);
    EXPECT_FALSE(view.bridges["1"].vlans.contains(15));
}

TEST(NsmNetlink, PlainBridgePutsEveryPortInUntaggedVlanOne) {
    nsm_kernel_state state;
    apply(state, bridge_link(3, "br0", 0));
    apply(state, port_link(5, "p1", 3));
    // The kernel sends no VLAN list for a bridge without filtering.
    apply(state, bridge_family(RTM_NEWLINK, 5, "p1", 3));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(view.bridges["1"].type, NSM_BRIDGE_TYPE_PLAIN);
    EXPECT_EQ(view.bridges["1"].vlans, std::set<uint16_t>{1});
    EXPECT_EQ(view.ports[5].vlans, std::set<uint16_t>{1});
    EXPECT_EQ(view.ports[5].untagged, std::set<uint16_t>{1});
}

TEST(NsmNetlink, BridgeFamilyDellinkMeansLeftTheBridge) {
    nsm_kernel_state state = filtering_bridge();
    apply(state, bridge_family(RTM_DELLINK, 5, "p1", 3));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_FALSE(view.ports.contains(5));
    ASSERT_TRUE(view.ifs.contains(5)) << "the interface is still there";
    EXPECT_FALSE(view.bridges["1"].vlans.contains(15));
    EXPECT_FALSE(nsm_kernel_state_is_port(state, 5));
}

TEST(NsmNetlink, UnspecDellinkRemovesTheInterface) {
    nsm_kernel_state state = filtering_bridge();
    apply(state, Msg(RTM_DELLINK, AF_UNSPEC, 6));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_FALSE(view.ifs.contains(6));
    EXPECT_FALSE(view.ports.contains(6));
    EXPECT_FALSE(view.bridges["1"].vlans.contains(100));
}

TEST(NsmNetlink, NewMasterDropsTheOldVlans) {
    nsm_kernel_state state = filtering_bridge();
    apply(state, bridge_link(4, "br1", 1));
    apply(state, port_link(5, "p1", 4));
    EXPECT_TRUE(state.links[5].vlans.empty());
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_FALSE(view.ports.contains(5));
    EXPECT_TRUE(view.bridges.contains("br1"));
}

TEST(NsmNetlink, DuplicateNotificationsChangeNothing) {
    nsm_kernel_state state = filtering_bridge();
    nsm_view before = nsm_kernel_state_view(state, {});
    apply(state, port_link(5, "p1", 3));
    Msg p1 = bridge_family(RTM_NEWLINK, 5, "p1", 3);
    p1.begin(IFLA_AF_SPEC)
        .vlan(BRIDGE_VLAN_INFO_PVID | BRIDGE_VLAN_INFO_UNTAGGED, 1)
        .vlan(BRIDGE_VLAN_INFO_RANGE_BEGIN, 10)
        .vlan(BRIDGE_VLAN_INFO_RANGE_END, 20)
        .end();
    apply(state, p1);
    EXPECT_EQ(nsm_kernel_state_view(state, {}), before);
}

TEST(NsmNetlink, NamedBridgeIsChosenElseTheFirstWhichStaysChosen) {
    nsm_kernel_state state;
    apply(state, bridge_link(7, "br7", 0));
    apply(state, bridge_link(9, "br9", 0));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(state.chosen, 7u);
    EXPECT_TRUE(view.bridges.contains("br9"));
    apply(state, bridge_link(3, "br3", 0));
    nsm_kernel_state_view(state, {});
    EXPECT_EQ(state.chosen, 7u) << "a new bridge does not take over";
    nsm_kernel_options named;
    named.bridge = "br9";
    view = nsm_kernel_state_view(state, named);
    EXPECT_EQ(state.chosen, 9u);
    EXPECT_TRUE(view.bridges.contains("br7"));
    EXPECT_FALSE(view.bridges.contains("br9"));
    named.bridge = "missing";
    view = nsm_kernel_state_view(state, named);
    EXPECT_EQ(state.chosen, 0u);
    EXPECT_FALSE(view.bridges.contains("1"));
}

// Another bridge never takes the place of a deleted one; one of its name made again does.
TEST(NsmNetlink, ChosenBridgeGoneIsWaitedForByName) {
    nsm_kernel_state state;
    apply(state, bridge_link(7, "br7", 0));
    apply(state, bridge_link(9, "br9", 0));
    nsm_kernel_state_view(state, {});
    apply(state, Msg(RTM_DELLINK, AF_UNSPEC, 7));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(state.chosen, 0u);
    EXPECT_FALSE(view.bridges.contains("1"));
    apply(state, bridge_link(12, "br7", 0));
    view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(state.chosen, 12u);
    EXPECT_TRUE(view.bridges.contains("1"));
    EXPECT_TRUE(view.bridges.contains("br9"));
}

TEST(NsmNetlink, OtherBridgeNamedOneIsNotConfusedWithTheChosen) {
    nsm_kernel_state state;
    apply(state, bridge_link(3, "br0", 0));
    apply(state, bridge_link(4, "1", 0));
    apply(state, port_link(5, "p1", 4));
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(view.bridges.size(), 1u);
    EXPECT_TRUE(view.ports.empty());
}

TEST(NsmNetlink, PortsReportTheBridgeMacUnlessAskedForTheirOwn) {
    nsm_kernel_state state = filtering_bridge();
    nsm_view view = nsm_kernel_state_view(state, {});
    EXPECT_EQ(view.ifs[5].hw[5], 0x10);
    nsm_kernel_options own;
    own.port_mac_bridge = false;
    view = nsm_kernel_state_view(state, own);
    EXPECT_EQ(view.ifs[5].hw[5], 5);
}

} // namespace
