// rtnetlink messages read into records and folded into the kernel state, and the view of the
// chosen bridge the kernel backend gives the client.
#include "../zet_test.h"

namespace {

using vesk_test::nl_bridge;
using vesk_test::nl_bridge_family;
using vesk_test::nl_port;
using vesk_test::NlMsg;
constexpr uint16_t B = BRIDGE_VLAN_INFO_RANGE_BEGIN, E = BRIDGE_VLAN_INFO_RANGE_END,
                   P = BRIDGE_VLAN_INFO_PVID, U = BRIDGE_VLAN_INFO_UNTAGGED;
constexpr uint32_t kUpRunning = IFF_UP | IFF_RUNNING;

nsm_nl_msg parsed(const NlMsg &m, int want = 0) {
    nsm_nl_msg out;
    EXPECT_EQ(nsm_netlink_parse(m.hdr(), m.size(), &out), want);
    return out;
}

TEST(NsmNetlink, LinkAndVlanListsAreReadWithRangesExpanded) {
    nsm_nl_msg br = parsed(nl_bridge(3, "br0", 1, 0x33));
    EXPECT_EQ(std::tuple(br.type, br.family, br.link.ifindex, br.link.name, br.link.is_bridge),
              std::tuple(RTM_NEWLINK, AF_UNSPEC, 3u, "br0", 1));
    EXPECT_EQ(std::tuple(br.link.vlan_filtering, br.link.flags, br.link.hw_len, br.link.hw[5]),
              std::tuple(1, kUpRunning, 6, 0x33));
    EXPECT_FALSE(br.has_master);
    EXPECT_EQ(parsed(NlMsg(RTM_NEWLINK, AF_UNSPEC, 2).str(IFLA_IFNAME, "e")).link.is_bridge, 0);
    nsm_nl_msg port = parsed(nl_bridge_family(RTM_NEWLINK, 5, "p1", 3)
                                 .vlans({{P | U, 1}, {B | U, 10}, {E, 12}, {0, 4094}}));
    EXPECT_TRUE(port.has_vlans);
    EXPECT_EQ(port.link.master, 3u);
    std::vector<std::pair<int, int>> got;
    for (auto v : port.vlans)
        got.emplace_back(v.vid, v.flags);
    EXPECT_EQ(got,
              (std::vector<std::pair<int, int>>{{1, P | U}, {10, U}, {11, U}, {12, U}, {4094, 0}}));
    nsm_nl_msg unspec = parsed(nl_port(5, "p1", 3).begin(IFLA_AF_SPEC).begin(AF_INET).end().end());
    EXPECT_FALSE(unspec.has_vlans);
    parsed(NlMsg(RTM_NEWADDR, AF_UNSPEC, 5), 1); // another type: nothing to read
}

TEST(NsmNetlink, AnAttributeSaidToRunPastTheMessageIsNeverRead) {
    const nlattr past{200, IFLA_MTU};
    EXPECT_EQ(parsed(nl_port(5, "p1", 3).raw(&past, sizeof past)).link.name, "p1");
}

// Two link messages, then a header claiming len bytes with 32 bytes after it (fewer if cut).
std::vector<uint8_t> two_messages_then(uint32_t len, size_t cut = 0) {
    std::vector<uint8_t> buf = nl_port(5, "p", 3).bytes();
    const NlMsg second = nl_port(6, "p", 3);
    buf.insert(buf.end(), second.bytes().begin(), second.bytes().end());
    nlmsghdr h{len, RTM_NEWLINK, 0, 0, 0};
    buf.insert(buf.end(), reinterpret_cast<uint8_t *>(&h), reinterpret_cast<uint8_t *>(&h + 1));
    buf.resize(buf.size() + 32 - cut, 0);
    return buf;
}

// Walks a receive buffer as the kernel backend does, stopping at a bound well past any real
// walk so that one that would never end fails here: messages seen and bytes left.
std::pair<int, size_t> walk(const std::vector<uint8_t> &buf) {
    size_t left = buf.size();
    int seen = 0;
    for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf.data());
         nsm_netlink_msg_ok(nlh, left) && seen < 100; nlh = nsm_netlink_next(nlh, &left))
        seen++;
    return {seen, left};
}

TEST(NsmNetlink, BufferWalkStopsAtALengthOutsideTheBytesLeft) {
    for (uint32_t len : {0u, 15u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFCu, 0xFFFFFFFDu, 0xFFFFFFFEu,
                         0xFFFFFFFFu, 1000u}) {
        std::vector<uint8_t> buf = two_messages_then(len);
        EXPECT_EQ(walk(buf), std::pair(2, sizeof(nlmsghdr) + 32)) << "length " << len;
        nsm_nl_msg out;
        auto *last = reinterpret_cast<const nlmsghdr *>(buf.data() + buf.size() - 48);
        EXPECT_EQ(nsm_netlink_parse(last, 48, &out), -1) << "length " << len;
    }
    EXPECT_EQ(walk(two_messages_then(sizeof(nlmsghdr) + 30, 2)), std::pair(3, size_t{0}))
        << "an unpadded last message is taken whole";
}

// What the protocol is shown: the chosen bridge, then each interface (name, bridge, last byte
// of its address), bridge (type, VLANs) and port (VLANs / untagged).
std::string vids(const std::set<uint16_t> &s) {
    std::string out;
    for (auto it = s.begin(); it != s.end();) {
        unsigned lo = *it, hi = lo;
        while (++it != s.end() && *it == hi + 1)
            hi = *it;
        out += (out.empty() ? "" : ",") + std::to_string(lo);
        out += hi > lo ? "-" + std::to_string(hi) : "";
    }
    return out;
}

std::string shown(nsm_kernel_state &state, const nsm_kernel_options &options = {}) {
    nsm_view v = nsm_kernel_state_view(state, options);
    std::string out = "chosen " + std::to_string(state.chosen);
    for (const auto &[i, f] : v.ifs)
        out += " if" + std::to_string(i) + ":" + f.name + ":" + std::to_string(f.bridge_ifindex) +
               ":" + std::to_string(f.hw[5]);
    for (const auto &[name, b] : v.bridges)
        out += " br" + name + (b.type == NSM_BRIDGE_TYPE_PLAIN ? ":plain:" : ":aware:") +
               vids(b.vlans);
    for (const auto &[i, p] : v.ports)
        out += " port" + std::to_string(i) + ":" + vids(p.vlans) + "/" + vids(p.untagged);
    for (const auto &[i, l] : state.links)
        EXPECT_EQ(nsm_kernel_state_is_port(state, i), v.ports.contains(i)) << i;
    return out;
}

void apply(nsm_kernel_state &state, const std::vector<NlMsg> &msgs) {
    for (const auto &m : msgs)
        nsm_kernel_state_apply(state, parsed(m));
}

// A VLAN-filtering bridge br0 (3) with ports p1 (5) and p2 (6), and its own VLAN list.
const std::vector<NlMsg> kFilteringBridge = {
    nl_bridge(3, "br0", 1),
    nl_port(5, "p1", 3),
    nl_port(6, "p2", 3),
    nl_bridge_family(RTM_NEWLINK, 3, "br0", 3)
        .vlans({{P | U | BRIDGE_VLAN_INFO_BRENTRY, 1}, {BRIDGE_VLAN_INFO_BRENTRY, 200}}),
    nl_bridge_family(RTM_NEWLINK, 5, "p1", 3).vlans({{P | U, 1}, {B, 10}, {E, 20}}),
    nl_bridge_family(RTM_NEWLINK, 6, "p2", 3).vlans({{U, 100}}),
};
const std::string kBridgeIfs = "chosen 3 if3:br0:0:16 if5:p1:3:16 if6:p2:3:16";

TEST(NsmNetlink, KernelStateGivesTheViewOfTheChosenBridge) {
    const struct {
        const char *what;
        std::vector<NlMsg> after;
        std::string want;
    } cases[] = {
        {"filtering bridge",
         {},
         kBridgeIfs + " br1:aware:1,10-20,100,200 port5:1,10-20/1 port6:100/100"},
        {"duplicates change nothing",
         {nl_port(5, "p1", 3),
          nl_bridge_family(RTM_NEWLINK, 5, "p1", 3).vlans({{P | U, 1}, {B, 10}, {E, 20}})},
         kBridgeIfs + " br1:aware:1,10-20,100,200 port5:1,10-20/1 port6:100/100"},
        {"VLAN 15 removed",
         {nl_bridge_family(RTM_NEWLINK, 5, "p1", 3)
              .vlans({{P | U, 1}, {B, 10}, {E, 14}, {B, 16}, {E, 20}})},
         kBridgeIfs + " br1:aware:1,10-14,16-20,100,200 port5:1,10-14,16-20/1 port6:100/100"},
        {"bridge-family delete: left the bridge",
         {nl_bridge_family(RTM_DELLINK, 5, "p1", 3)},
         "chosen 3 if3:br0:0:16 if5:p1:0:5 if6:p2:3:16 br1:aware:1,100,200 port6:100/100"},
        {"plain delete: gone",
         {NlMsg(RTM_DELLINK, AF_UNSPEC, 6)},
         "chosen 3 if3:br0:0:16 if5:p1:3:16 br1:aware:1,10-20,200 port5:1,10-20/1"},
        {"a new master drops the old VLANs",
         {nl_bridge(4, "br1", 1, 4), nl_port(5, "p1", 4)},
         "chosen 3 if3:br0:0:16 if4:br1:0:4 if5:p1:4:5 if6:p2:3:16 br1:aware:1,100,200 "
         "brbr1:aware: port6:100/100"},
        {"another bridge named 1 is not shown",
         {nl_bridge(4, "1", 0, 4), nl_port(7, "p7", 4)},
         "chosen 3 if3:br0:0:16 if4:1:0:4 if5:p1:3:16 if6:p2:3:16 if7:p7:4:7 "
         "br1:aware:1,10-20,100,200 port5:1,10-20/1 port6:100/100"},
        {"plain bridge: every port in untagged VLAN 1",
         {nl_bridge(3, "br0", 0)},
         kBridgeIfs + " br1:plain:1 port5:1/1 port6:1/1"},
    };
    for (const auto &c : cases) {
        nsm_kernel_state state;
        apply(state, kFilteringBridge);
        apply(state, c.after);
        EXPECT_EQ(shown(state), c.want) << c.what;
    }
    nsm_kernel_state state;
    apply(state, kFilteringBridge);
    nsm_kernel_options own;
    own.port_mac_bridge = false;
    EXPECT_EQ(shown(state, own), "chosen 3 if3:br0:0:16 if5:p1:3:5 if6:p2:3:6 "
                                 "br1:aware:1,10-20,100,200 port5:1,10-20/1 port6:100/100");
    for (const char *name : {"p\x1b[2J", "p\xc3\xa9", "p 1", "p\t1"}) {
        apply(state, {nl_port(6, name, 3)});
        EXPECT_EQ(shown(state),
                  "chosen 3 if3:br0:0:16 if5:p1:3:16 br1:aware:1,10-20,100,200 port5:1,10-20/1")
            << nsm_name_escaped(name);
    }
    EXPECT_TRUE(nsm_name_printable("q\"),x\\"));
    EXPECT_EQ(nsm_name_escaped("a\x1b\"\\\xff"), "a\\x1b\\x22\\x5c\\xff");
}

// The first bridge found is chosen and stays so; one named is chosen instead; when the chosen
// one goes, no other takes its place, but one of its name made again does.
TEST(NsmNetlink, ChosenBridgeIsNamedOrTheFirstAndIsWaitedForByName) {
    nsm_kernel_state state;
    apply(state, {nl_bridge(7, "br7", 0, 7), nl_bridge(9, "br9", 0, 9)});
    EXPECT_EQ(shown(state), "chosen 7 if7:br7:0:7 if9:br9:0:9 br1:plain:1 brbr9:plain:1");
    apply(state, {nl_bridge(3, "br3", 0, 3)});
    EXPECT_EQ(shown(state).substr(0, 8), "chosen 7") << "a new bridge does not take over";
    nsm_kernel_options named;
    named.bridge = "br9";
    EXPECT_EQ(
        shown(state, named),
        "chosen 9 if3:br3:0:3 if7:br7:0:7 if9:br9:0:9 br1:plain:1 brbr3:plain:1 brbr7:plain:1");
    named.bridge = "missing";
    EXPECT_EQ(
        shown(state, named),
        "chosen 0 if3:br3:0:3 if7:br7:0:7 if9:br9:0:9 brbr3:plain:1 brbr7:plain:1 brbr9:plain:1");
    nsm_kernel_state again;
    apply(again, {nl_bridge(7, "br7", 0, 7), nl_bridge(9, "br9", 0, 9)});
    shown(again);
    apply(again, {NlMsg(RTM_DELLINK, AF_UNSPEC, 7)});
    EXPECT_EQ(shown(again), "chosen 0 if9:br9:0:9 brbr9:plain:1");
    apply(again, {nl_bridge(12, "br7", 0, 12)});
    EXPECT_EQ(shown(again), "chosen 12 if9:br9:0:9 if12:br7:0:12 br1:plain:1 brbr9:plain:1");
}

} // namespace
