// The network services module as the daemon meets it: rtnetlink messages read into the kernel
// state, the socket backend's frames, and the client that turns either's view into interfaces
// and protocol messages, reporting only differences.
#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <grp.h>
#include <gtest/gtest.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/log_capture.h"
#include "support/netlink_msg.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/frame/sock.h"
#include "zet/nsm/client.h"
#include "zet/nsm/netlink.h"
#include "zet/nsm/unix.h"
#include "zet/nsm/view.h"

namespace {

constexpr uint32_t kUpRunning = IFF_UP | IFF_RUNNING;

// ---- rtnetlink messages read into records and folded into the kernel state ------------------

using vesk_test::nl_bridge;
using vesk_test::nl_bridge_family;
using vesk_test::nl_port;
using vesk_test::NlMsg;
constexpr uint16_t B = BRIDGE_VLAN_INFO_RANGE_BEGIN, E = BRIDGE_VLAN_INFO_RANGE_END,
                   P = BRIDGE_VLAN_INFO_PVID, U = BRIDGE_VLAN_INFO_UNTAGGED;

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
// ---- the socket backend's framing, and every check that keeps a peer's bad message out -----

const uint8_t kMac[6] = {2, 0, 0, 0, 0, 5};

nsm_unix_frame frame_of(std::vector<uint8_t> bytes) {
    nsm_unix_frame f;
    EXPECT_EQ(nsm_unix_take_frame(bytes, &f), 1);
    EXPECT_TRUE(bytes.empty());
    return f;
}

int feed(nsm_view &view, const std::vector<uint8_t> &bytes, std::string *why = nullptr) {
    std::string ignored;
    return nsm_unix_apply_frame(view, frame_of(bytes), why != nullptr ? why : &ignored);
}

// ge1 (5) and ge2 (6), bridge "1" with VLAN 1, ge1 a port in VLAN 1.
nsm_view unix_base() {
    nsm_view v;
    for (const auto &f :
         {nsm_unix_if_add(5, "ge1", kUpRunning, kMac, 6),
          nsm_unix_if_add(6, "ge2", IFF_UP, kMac, 6), nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "1", 0),
          nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "1", 1),
          nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {1})})
        EXPECT_EQ(feed(v, f), 0);
    return v;
}

std::vector<uint8_t> raw(uint16_t type, std::vector<uint8_t> payload) {
    return nsm_unix_encode(type, payload);
}

TEST(NsmUnix, FramesAreCutFromAStreamInPiecesAndBadHeadersAreGarbage) {
    std::vector<uint8_t> stream = nsm_unix_if_delete(7), buf;
    const std::vector<uint8_t> end = nsm_unix_sync_end();
    stream.insert(stream.end(), end.begin(), end.end());
    nsm_unix_frame f;
    for (size_t i = 0; i < 11; i++) {
        buf.push_back(stream[i]);
        EXPECT_EQ(nsm_unix_take_frame(buf, &f), 0) << "after " << i + 1 << " bytes";
    }
    buf.push_back(stream[11]);
    ASSERT_EQ(nsm_unix_take_frame(buf, &f), 1);
    EXPECT_EQ(std::tuple(f.type, f.payload),
              std::tuple(uint16_t{NSM_UNIX_IF_DELETE}, std::vector<uint8_t>{0, 0, 0, 7}));
    buf.insert(buf.end(), stream.begin() + 12, stream.end());
    ASSERT_EQ(nsm_unix_take_frame(buf, &f), 1);
    EXPECT_EQ(std::tuple(f.type, f.payload.size()),
              std::tuple(uint16_t{NSM_UNIX_SYNC_END}, size_t{0}));
    // Wrong version, length below the header, length above the largest frame.
    for (std::vector<uint8_t> bad : {std::vector<uint8_t>{2, 0, 0, 4, 0, 0, 0, 8},
                                     {1, 0, 0, 4, 0, 0, 0, 7},
                                     {1, 0, 0, 4, 0, 0, 0x40, 1}})
        EXPECT_EQ(nsm_unix_take_frame(bad, &f), -1);
}

TEST(NsmUnix, StateFramesBuildTheView) {
    nsm_view v = unix_base();
    nsm_view want;
    want.ifs[5] = {"ge1", kUpRunning, {2, 0, 0, 0, 0, 5}, 6};
    want.ifs[6] = {"ge2", IFF_UP, {2, 0, 0, 0, 0, 5}, 6};
    want.bridges["1"].vlans = {1};
    want.ports[5].vlans = {1};
    EXPECT_EQ(v, want);
    // Entries: the low 12 bits, and the untagged mark; VLANs are made on the way.
    ASSERT_EQ(
        feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20, 0xe000 | 30})), 0);
    EXPECT_EQ(v.ports[6], (nsm_view_port{{20, 30}, {20}}));
    EXPECT_EQ(v.bridges["1"].vlans, (std::set<uint16_t>{1, 20, 30}));
    ASSERT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 6, {20})), 0);
    EXPECT_EQ(v.ports[6], (nsm_view_port{{30}, {}}));
    // A link frame sets the flags; without an address it keeps the known one.
    EXPECT_EQ(feed(v, nsm_unix_link(NSM_MSG_LINK_UP, 6, kUpRunning, nullptr, 0)), 0);
    EXPECT_EQ(v.ifs[6], (nsm_view_if{"ge2", kUpRunning, {2, 0, 0, 0, 0, 5}, 6}));
    // Address bytes past the length given are cleared.
    const uint8_t full[6] = {2, 0, 0, 9, 9, 9};
    constexpr size_t hw_len_at = NSM_UNIX_HEADER_SIZE + 8;
    auto f = nsm_unix_if_add(9, "ge9", kUpRunning, full, 6);
    f[hw_len_at] = 3;
    ASSERT_EQ(feed(v, f), 0);
    f = nsm_unix_link(NSM_MSG_LINK_UP, 6, kUpRunning, full, 6);
    f[hw_len_at] = 3;
    ASSERT_EQ(feed(v, f), 0);
    for (uint32_t i : {6u, 9u})
        EXPECT_EQ(std::tuple(v.ifs[i].hw, v.ifs[i].hw_len),
                  std::tuple(std::array<uint8_t, 6>{2}, uint16_t{3}));
    // Deleting VLAN 1 or bridge 1 takes ports out.
    ASSERT_EQ(feed(v, nsm_unix_vlan(NSM_MSG_BRIDGE_DELETE_VLAN, "1", 1)), 0);
    EXPECT_TRUE(v.ports[5].vlans.empty());
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_DELETE, "1", 0)), 0);
    EXPECT_TRUE(v.ports.empty());
}

// Hostile input of both backends, one message a line: see the file for its form.
TEST(NsmUnix, HostileMessagesAreRefusedWholeAndChangeNothing) {
    std::ifstream in(VESK_SOURCE_DIR "/tests/zet/data/nsm_refused.txt");
    ASSERT_TRUE(in.is_open());
    int line_no = 0;
    for (std::string line; std::getline(in, line);) {
        line_no++;
        if (line.empty() || line[0] == '#')
            continue;
        SCOPED_TRACE("nsm_refused.txt:" + std::to_string(line_no) + ": " + line);
        std::istringstream words(line.substr(0, line.find(" #")));
        std::string kind, word, want_why;
        std::vector<uint8_t> bytes;
        for (words >> kind; words >> word && word != "=";)
            for (size_t i = 0; i + 1 < word.size(); i += 2)
                bytes.push_back(uint8_t(std::stoi(word.substr(i, 2), nullptr, 16)));
        std::getline(words >> std::ws, want_why);
        nsm_nl_msg out;
        if (kind == "netlink") {
            EXPECT_EQ(
                nsm_netlink_parse(reinterpret_cast<nlmsghdr *>(bytes.data()), bytes.size(), &out),
                -1);
            continue;
        }
        nsm_view v = unix_base();
        std::string why;
        EXPECT_EQ(feed(v, bytes, &why), -1);
        EXPECT_TRUE(want_why.empty() ? !why.empty() : why == want_why) << why;
        EXPECT_EQ(v, unix_base());
    }
    EXPECT_GT(line_no, 40);
    nsm_view v;
    std::string why;
    ASSERT_EQ(feed(v, nsm_unix_if_add(5, "ge1", kUpRunning, kMac, 6)), 0);
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br0", 0)), 0);
    EXPECT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {1}), &why), -1);
    EXPECT_EQ(why, "vlan-port message without bridge 1");
}

// Small views, and a start-up synchronisation of every VLAN on 48 ports, frame by frame.
TEST(NsmUnix, ViewFramesRebuildTheSameView) {
    nsm_view small = unix_base(), every;
    ASSERT_EQ(feed(small, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20})), 0);
    ASSERT_EQ(feed(small, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br9", 1)), 0);
    ASSERT_EQ(feed(small, nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "br9", 7)), 0);
    nsm_view_bridge &bridge = every.bridges["1"];
    bridge.type = NSM_BRIDGE_TYPE_VLAN_AWARE;
    for (uint16_t vid = 1; vid <= 4094; vid++)
        bridge.vlans.insert(vid);
    for (uint32_t i = 5; i < 5 + 48; i++) {
        every.ifs[i] = {"ge" + std::to_string(i), kUpRunning, {2, 0, 0, 0, 0, uint8_t(i)}, 6};
        every.ports[i] = nsm_view_port{bridge.vlans, {1}};
    }
    for (const nsm_view &want : {small, every}) {
        auto frames = nsm_unix_view_frames(want);
        EXPECT_EQ(frame_of(frames.back()).type, NSM_UNIX_SYNC_END);
        frames.pop_back();
        nsm_view got;
        for (const auto &f : frames)
            ASSERT_EQ(feed(got, f), 0);
        EXPECT_EQ(got, want);
    }
}

TEST(NsmUnix, HelloAndPortStateReadBack) {
    uint16_t protocol = 0, flags = 0;
    uint64_t services = 0;
    uint32_t ifindex = 0;
    ASSERT_EQ(
        nsm_unix_read_hello(frame_of(nsm_unix_hello(29, (1ull << 22) | 1)), &protocol, &services),
        0);
    EXPECT_EQ(std::tuple(protocol, services), std::tuple(uint16_t{29}, (1ull << 22) | 1));
    ASSERT_EQ(
        nsm_unix_read_port_state(frame_of(nsm_unix_port_state(1, 0x01020304)), &flags, &ifindex),
        0);
    EXPECT_EQ(std::tuple(flags, ifindex), std::tuple(uint16_t{1}, 0x01020304u));
    EXPECT_EQ(frame_of(nsm_unix_port_state(2, 5)).payload,
              (std::vector<uint8_t>{0, 2, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(nsm_unix_read_port_state(frame_of(raw(168, {0, 1})), &flags, &ifindex), -1);
}
// ---- the client: views of the module's state turned into interfaces and messages ----------

std::vector<std::string> seen, unbound;
lib_globals *globals;

// Each message as "type subject [entries]"; a link message also says whether the record was
// up when its callback ran.
int record(nsm_msg_header *h, void *arg, void *msg) {
    EXPECT_EQ(nsm_client_globals(static_cast<nsm_client *>(arg)), globals);
    std::string s = std::to_string(h->type) + " ";
    if (h->type == NSM_MSG_LINK_UP || h->type == NSM_MSG_LINK_DOWN) {
        auto *m = static_cast<nsm_msg_link *>(msg);
        s += std::to_string(m->ifindex) +
             (if_is_up(ifg_lookup_by_index(globals->ifg, m->ifindex)) ? " up" : " down");
    } else if (h->type == NSM_MSG_BRIDGE_ADD || h->type == NSM_MSG_BRIDGE_DELETE) {
        s += static_cast<nsm_msg_bridge *>(msg)->bridge_name;
    } else if (h->type == NSM_MSG_BRIDGE_ADD_VLAN || h->type == NSM_MSG_BRIDGE_DELETE_VLAN) {
        auto *m = static_cast<nsm_msg_vlan *>(msg);
        s += std::string(m->bridge_name) + " " + std::to_string(m->vid);
    } else {
        auto *m = static_cast<nsm_msg_vlan_port *>(msg);
        s += std::to_string(m->ifindex);
        for (uint16_t i = 0; i < m->num; i++)
            s += " " + std::to_string(m->vid_info[i] & ~NSM_VLAN_PORT_UNTAGGED) +
                 (m->vid_info[i] & NSM_VLAN_PORT_UNTAGGED ? "u" : "");
    }
    seen.push_back(s);
    return 0;
}

class NsmClient : public ::testing::Test {
  protected:
    void SetUp() override {
        globals = zg_ = lib_start();
        ASSERT_NE(zg_, nullptr);
        nc_ = nsm_client_create(zg_, 0);
        ASSERT_NE(nc_, nullptr);
        for (int type : {29, 30, 115, 116, 121, 122, 123, 124})
            ASSERT_EQ(nsm_client_set_callback(nc_, type, record), 0);
        ASSERT_EQ(if_add_hook(zg_->ifg, IF_HOOK_VR_UNBIND,
                              [](interface *ifp) {
                                  unbound.push_back(ifp->name);
                                  return 0;
                              }),
                  0);
    }
    void TearDown() override { lib_stop(zg_); }
    // Applies next; the interfaces then match what the client says it applied, which is next
    // without the interfaces that could not be made.
    void apply(const nsm_view &next) {
        nsm_client_apply_view(nc_, next);
        nsm_view want = next;
        std::erase_if(want.ifs,
                      [&](auto &e) { return ifg_lookup_by_index(zg_->ifg, e.first) == nullptr; });
        std::erase_if(want.ports, [&](auto &e) { return !want.ifs.contains(e.first); });
        EXPECT_EQ(nsm_client_view(nc_), want);
        size_t count = 0;
        ifg_foreach(
            zg_->ifg, [](void *n, interface *) { ++*static_cast<size_t *>(n); }, &count);
        EXPECT_EQ(count, want.ifs.size());
        for (const auto &[i, v] : want.ifs) {
            interface *ifp = ifg_lookup_by_index(zg_->ifg, i);
            EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, v.name.c_str()), ifp) << v.name;
            EXPECT_EQ(std::tuple(ifp->flags, ifp->hw_addr[5], ifp->hw_addr_len),
                      std::tuple(v.flags, v.hw[5], 6));
            for (uint16_t vid = 0; vid < 4096; vid++)
                EXPECT_EQ(ifp->untagged[vid / 8] >> vid % 8 & 1,
                          want.ports[i].untagged.contains(vid))
                    << i << " " << vid;
        }
    }
    lib_globals *zg_ = nullptr;
    nsm_client *nc_ = nullptr;
};

// A view as the data file writes it (see the file).
nsm_view view_of(const std::string &text) {
    nsm_view v;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        size_t at = w.find('@'), eq = w.find('='), colon = w.find(':'), slash = w.find('/');
        std::string list = eq == std::string::npos ? "" : w.substr(eq + 1);
        std::replace(list.begin(), list.end(), ',', ' ');
        std::istringstream items(list);
        std::set<uint16_t> vids, untagged;
        for (std::string vid; items >> vid;)
            (vid.ends_with('u') ? untagged : vids).insert(uint16_t(std::stoi(vid)));
        vids.insert(untagged.begin(), untagged.end());
        if (w.starts_with("br:")) {
            v.bridges[w.substr(3, eq - 3)].vlans = vids;
        } else if (w.starts_with("port@")) {
            v.ports[std::stoul(w.substr(5))] = {vids, untagged};
        } else {
            uint32_t flags = 0;
            for (char f : w.substr(colon + 1, slash - colon - 1))
                flags |= f == 'u' ? IFF_UP : f == 'r' ? IFF_RUNNING : IFF_PROMISC;
            auto mac = uint8_t(slash == std::string::npos ? 1 : std::stoi(w.substr(slash + 1)));
            v.ifs[std::stoul(w.substr(at + 1))] = {w.substr(0, at), flags, {2, 0, 0, 0, 0, mac}, 6};
        }
    }
    return v;
}

TEST_F(NsmClient, ViewsAreReportedAsTheirDifferencesInAnOrderTheProtocolCanBuildOn) {
    std::ifstream in(VESK_SOURCE_DIR "/tests/zet/data/nsm_client.txt");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    lines.emplace_back();
    std::map<std::string, std::string> c; // the case being read: "case", "before", ...
    int cases = 0;
    for (const std::string &line : lines) {
        std::string key = line.substr(0, line.find(' '));
        if (!line.empty() && line[0] != '#')
            c[key] = line.size() > key.size() ? line.substr(line.find_first_not_of(' ', key.size()))
                                              : "";
        if (!line.empty() || !c.contains("after"))
            continue;
        SCOPED_TRACE("nsm_client.txt: " + c["case"]);
        TearDown();
        SetUp();
        apply(view_of(c["before"]));
        seen.clear();
        unbound.clear();
        apply(view_of(c["after"]));
        std::string sent, gone;
        for (const auto &s : seen)
            sent += (sent.empty() ? "" : " | ") + s;
        for (const auto &u : unbound)
            gone += (gone.empty() ? "" : " ") + u;
        EXPECT_EQ(std::pair(sent, gone), std::pair(c["sends"], c["unbinds"]));
        c.clear();
        cases++;
    }
    EXPECT_EQ(cases, 15);
}

// A client never started only keeps what it is asked to send (the latest 4096); one whose start
// failed reports failure.
TEST_F(NsmClient, RequestsAreRecordedAndBadArgumentsRefused) {
    uint8_t rec[8] = {1, 0, 0, 0, 7, 0, 0, 0}, buf[8];
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, rec, 99), -1);
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, nullptr, NSM_MSG_VESK_PORT_STATE), -1);
    for (uint32_t i = 0; i < 5000; i++) {
        std::memcpy(rec + 4, &i, sizeof i);
        ASSERT_EQ(nsm_client_send_vesk_message(nc_, rec, NSM_MSG_VESK_PORT_STATE), 0);
    }
    ASSERT_EQ(nsm_client_sent_count(nc_), 4096u);
    int type = 0;
    size_t len = 0;
    ASSERT_EQ(nsm_client_sent_get(nc_, 0, &type, buf, sizeof buf, &len), 0);
    const uint32_t oldest = 5000 - 4096;
    std::memcpy(rec + 4, &oldest, sizeof oldest);
    EXPECT_EQ(std::tuple(type, len, std::memcmp(buf, rec, 8)),
              std::tuple(NSM_MSG_VESK_PORT_STATE, 8u, 0));
    EXPECT_EQ(nsm_client_set_callback(nc_, -1, record), -1);
    EXPECT_EQ(nsm_client_set_callback(nc_, NSM_MSG_TYPE_MAX, record), -1);
    EXPECT_EQ(nsm_client_set_service(nc_, 64), -1);
    std::strcpy(zg_->platform.nsm, "carrier-pigeon");
    ASSERT_EQ(nsm_client_start(nc_), -1);
    rec[4] = 0x55;
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, rec, NSM_MSG_VESK_PORT_STATE), -1);
    ASSERT_EQ(nsm_client_sent_get(nc_, 4095, &type, buf, sizeof buf, &len), 0) << "still kept";
    EXPECT_EQ(buf[4], 0x55);
}

// The peers tell the daemon which ports exist and what arrives on them: one run by another user
// is never taken, whatever the mode of its socket.
TEST_F(NsmClient, NsmAndWirePeersOfAnotherUserAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a peer of another user needs root";
    char dir[] = "/tmp/zet-peer-user-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0777), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t peer = fork();
    if (peer == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        for (int type : {SOCK_STREAM, SOCK_DGRAM}) {
            sockaddr_un sun{AF_UNIX, {}};
            std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s/%s", dir,
                          type == SOCK_DGRAM ? "wire" : "nsm");
            int fd = socket(AF_UNIX, type, 0);
            if (bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0 ||
                (type == SOCK_STREAM && listen(fd, 8) != 0))
                _exit(2);
        }
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    vesk_test::LogCapture cap(zg_);
    std::snprintf(zg_->platform.nsm, sizeof zg_->platform.nsm, "unix:%s/nsm", dir);
    EXPECT_EQ(nsm_client_start(nc_), 0); // it keeps trying in the background
    EXPECT_EQ(cap.count("nsm: peer at " + std::string(dir) + "/nsm runs as user 65534"), 1u)
        << cap.text();
    EXPECT_TRUE(seen.empty());
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "unix:%s/wire", dir);
    EXPECT_LT(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), 0);
    EXPECT_EQ(cap.count("the wire peer at " + std::string(dir) + "/wire runs as user 65534"), 1u)
        << cap.text();
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    std::filesystem::remove_all(dir);
}

} // namespace
