// The framing of the socket backend: frames cut from a byte stream, and every check that keeps
// a peer's bad message from reaching the view.
#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <net/if.h>

#include "zet/nsm/client.h"
#include "zet/nsm/unix.h"

namespace {

constexpr uint32_t kUpRunning = IFF_UP | IFF_RUNNING;
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
nsm_view base() {
    nsm_view v;
    EXPECT_EQ(feed(v, nsm_unix_if_add(5, "ge1", kUpRunning, kMac, 6)), 0);
    EXPECT_EQ(feed(v, nsm_unix_if_add(6, "ge2", IFF_UP, kMac, 6)), 0);
    EXPECT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "1", 0)), 0);
    EXPECT_EQ(feed(v, nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "1", 1)), 0);
    EXPECT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {1})), 0);
    return v;
}

TEST(NsmUnix, FramesAreCutFromAStreamInPieces) {
    std::vector<uint8_t> stream = nsm_unix_if_delete(7);
    std::vector<uint8_t> second = nsm_unix_sync_end();
    stream.insert(stream.end(), second.begin(), second.end());
    std::vector<uint8_t> buf;
    nsm_unix_frame f;
    for (size_t i = 0; i < 11; i++) {
        buf.push_back(stream[i]);
        EXPECT_EQ(nsm_unix_take_frame(buf, &f), 0) << "after " << i + 1 << " bytes";
    }
    buf.push_back(stream[11]);
    ASSERT_EQ(nsm_unix_take_frame(buf, &f), 1);
    EXPECT_EQ(f.type, NSM_UNIX_IF_DELETE);
    EXPECT_EQ(f.payload, (std::vector<uint8_t>{0, 0, 0, 7}));
    buf.insert(buf.end(), stream.begin() + 12, stream.end());
    ASSERT_EQ(nsm_unix_take_frame(buf, &f), 1);
    EXPECT_EQ(f.type, NSM_UNIX_SYNC_END);
    EXPECT_TRUE(f.payload.empty());
}

TEST(NsmUnix, BadHeadersAreGarbage) {
    nsm_unix_frame f;
    std::vector<uint8_t> wrong_version = {2, 0, 0, 4, 0, 0, 0, 8};
    EXPECT_EQ(nsm_unix_take_frame(wrong_version, &f), -1);
    std::vector<uint8_t> too_short = {1, 0, 0, 4, 0, 0, 0, 7};
    EXPECT_EQ(nsm_unix_take_frame(too_short, &f), -1);
    std::vector<uint8_t> too_long = {1, 0, 0, 4, 0, 0, 0x40, 1};
    EXPECT_EQ(nsm_unix_take_frame(too_long, &f), -1);
}

TEST(NsmUnix, StateFramesBuildTheView) {
    nsm_view v = base();
    ASSERT_TRUE(v.ifs.contains(5));
    EXPECT_EQ(v.ifs[5].name, "ge1");
    EXPECT_EQ(v.ifs[5].flags, kUpRunning);
    EXPECT_EQ(v.ifs[5].hw[5], 5);
    EXPECT_EQ(v.bridges["1"].vlans, std::set<uint16_t>{1});
    EXPECT_EQ(v.ports[5].vlans, std::set<uint16_t>{1});
}

TEST(NsmUnix, VlanPortEntriesTakeTheLowBitsAndTheUntaggedMark) {
    nsm_view v = base();
    ASSERT_EQ(
        feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20, 0xe000 | 30})), 0);
    EXPECT_EQ(v.ports[6].vlans, (std::set<uint16_t>{20, 30}));
    EXPECT_EQ(v.ports[6].untagged, std::set<uint16_t>{20});
    EXPECT_TRUE(v.bridges["1"].vlans.contains(30)) << "VLANs are made on the way";
    ASSERT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 6, {20})), 0);
    EXPECT_EQ(v.ports[6].vlans, std::set<uint16_t>{30});
    EXPECT_TRUE(v.ports[6].untagged.empty());
}

TEST(NsmUnix, LinkFramesChangeFlagsAndMustAgreeWithTheirType) {
    nsm_view v = base();
    EXPECT_EQ(feed(v, nsm_unix_link(NSM_MSG_LINK_UP, 6, kUpRunning, nullptr, 0)), 0);
    EXPECT_EQ(v.ifs[6].flags, kUpRunning);
    EXPECT_EQ(v.ifs[6].hw[5], 5) << "no address keeps the known one";
    std::string why;
    EXPECT_EQ(feed(v, nsm_unix_link(NSM_MSG_LINK_UP, 6, IFF_UP, nullptr, 0), &why), -1);
    EXPECT_EQ(why, "link message whose flags contradict its type");
    EXPECT_EQ(feed(v, nsm_unix_link(NSM_MSG_LINK_DOWN, 6, kUpRunning, nullptr, 0)), -1);
    EXPECT_EQ(feed(v, nsm_unix_link(NSM_MSG_LINK_DOWN, 99, 0, nullptr, 0)), -1);
}

// An interface or link frame with a six-byte address field and hw_len bytes of it said to count.
std::vector<uint8_t> with_hw_len(std::vector<uint8_t> frame, uint8_t hw_len) {
    constexpr size_t hw_len_at = NSM_UNIX_HEADER_SIZE + 8;
    frame[hw_len_at] = hw_len;
    return frame;
}

TEST(NsmUnix, AddressBytesPastTheLengthAreCleared) {
    const uint8_t full[6] = {2, 0, 0, 9, 9, 9};
    const std::array<uint8_t, 6> short_hw = {2, 0, 0, 0, 0, 0};
    nsm_view v = base();
    ASSERT_EQ(feed(v, with_hw_len(nsm_unix_if_add(9, "ge9", kUpRunning, full, 6), 3)), 0);
    EXPECT_EQ(v.ifs[9].hw_len, 3);
    EXPECT_EQ(v.ifs[9].hw, short_hw);
    ASSERT_EQ(feed(v, with_hw_len(nsm_unix_link(NSM_MSG_LINK_UP, 6, kUpRunning, full, 6), 3)), 0);
    EXPECT_EQ(v.ifs[6].hw_len, 3);
    EXPECT_EQ(v.ifs[6].hw, short_hw);
}

TEST(NsmUnix, DeletingBridgeOneOrItsVlanTakesPortsOut) {
    nsm_view v = base();
    ASSERT_EQ(feed(v, nsm_unix_vlan(NSM_MSG_BRIDGE_DELETE_VLAN, "1", 1)), 0);
    EXPECT_TRUE(v.ports[5].vlans.empty());
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_DELETE, "1", 0)), 0);
    EXPECT_TRUE(v.ports.empty());
}

struct Bad {
    const char *what;
    std::vector<uint8_t> frame;
};

std::vector<uint8_t> raw(uint16_t type, std::vector<uint8_t> payload) {
    return nsm_unix_encode(type, payload);
}

TEST(NsmUnix, MalformedMessagesLeaveTheViewAlone) {
    std::vector<uint8_t> long_name(21, 'a');
    std::vector<uint8_t> if_add_unterminated = {0, 0, 0, 9, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    if_add_unterminated.insert(if_add_unterminated.end(), long_name.begin(), long_name.end());
    std::vector<uint8_t> spaced(18, 0);
    spaced[0] = 'a';
    spaced[1] = ' ';
    spaced[2] = 'b';
    const Bad cases[] = {
        {"count larger than payload", raw(NSM_MSG_BRIDGE_VLAN_ADD_IF, {0, 0, 0, 5, 0, 3, 0, 1})},
        {"count smaller than payload",
         raw(NSM_MSG_BRIDGE_VLAN_ADD_IF, {0, 0, 0, 5, 0, 1, 0, 1, 0, 2})},
        {"count beyond the limit", raw(NSM_MSG_BRIDGE_VLAN_ADD_IF, {0, 0, 0, 5, 0x10, 0})},
        {"vlan-port without header", raw(NSM_MSG_BRIDGE_VLAN_ADD_IF, {0, 0})},
        {"vlan-port entry 0", nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {0x1000})},
        {"vlan-port entry 4095", nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {4095})},
        {"vlan-port unknown interface", nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 99, {2})},
        {"vlan-port delete of a non-port",
         nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 6, {1})},
        {"unterminated bridge name", raw(NSM_MSG_BRIDGE_ADD, std::vector<uint8_t>(18, 'x'))},
        {"empty bridge name", raw(NSM_MSG_BRIDGE_ADD, std::vector<uint8_t>(18, 0))},
        {"bridge name with a space", raw(NSM_MSG_BRIDGE_ADD, spaced)},
        {"bridge message too long", raw(NSM_MSG_BRIDGE_ADD, std::vector<uint8_t>(19, 0))},
        {"unknown bridge delete", nsm_unix_bridge(NSM_MSG_BRIDGE_DELETE, "br9", 0)},
        {"vlan of unknown bridge", nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "br9", 5)},
        {"vlan 0", nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "1", 0)},
        {"vlan 4095", nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "1", 4095)},
        {"unterminated interface name", raw(NSM_UNIX_IF_ADD, if_add_unterminated)},
        {"interface name too long for the kernel",
         nsm_unix_if_add(9, "abcdefghijklmnopq", 0, kMac, 6)},
        {"interface index 0", nsm_unix_if_add(0, "ge9", 0, kMac, 6)},
        {"hardware address too long", nsm_unix_if_add(9, "ge9", 0, kMac, 7)},
        {"name of another index", nsm_unix_if_add(9, "ge1", 0, kMac, 6)},
        {"unknown interface delete", nsm_unix_if_delete(99)},
        {"interface delete too long", raw(NSM_UNIX_IF_DELETE, {0, 0, 0, 5, 0})},
        {"unknown type", raw(77, {})},
    };
    for (const auto &c : cases) {
        nsm_view v = base();
        std::string why;
        EXPECT_EQ(feed(v, c.frame, &why), -1) << c.what;
        EXPECT_FALSE(why.empty()) << c.what;
        EXPECT_EQ(v, base()) << c.what;
    }
}

TEST(NsmUnix, VlanPortNeedsBridgeOne) {
    nsm_view v;
    ASSERT_EQ(feed(v, nsm_unix_if_add(5, "ge1", kUpRunning, kMac, 6)), 0);
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br0", 0)), 0);
    std::string why;
    EXPECT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {1}), &why), -1);
    EXPECT_EQ(why, "vlan-port message without bridge 1");
}

TEST(NsmUnix, ViewFramesRebuildTheSameView) {
    nsm_view v = base();
    ASSERT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20})), 0);
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br9", 1)), 0);
    ASSERT_EQ(feed(v, nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, "br9", 7)), 0);
    auto frames = nsm_unix_view_frames(v);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frame_of(frames.back()).type, NSM_UNIX_SYNC_END);
    frames.pop_back();
    nsm_view copy;
    for (const auto &f : frames)
        ASSERT_EQ(feed(copy, f), 0);
    EXPECT_EQ(copy, v);
}

// A start-up synchronisation of every VLAN on 48 ports, the first untagged, frame by frame.
TEST(NsmUnix, SyncOfEveryVlanOnEveryPortBuildsTheWholeView) {
    nsm_view want;
    nsm_view_bridge &bridge = want.bridges["1"];
    bridge.type = NSM_BRIDGE_TYPE_VLAN_AWARE;
    for (uint16_t vid = 1; vid <= 4094; vid++)
        bridge.vlans.insert(vid);
    for (uint32_t ifindex = 5; ifindex < 5 + 48; ifindex++) {
        nsm_view_if &ifv = want.ifs[ifindex];
        ifv.name = "ge" + std::to_string(ifindex);
        ifv.flags = kUpRunning;
        ifv.hw = {2, 0, 0, 0, 0, static_cast<uint8_t>(ifindex)};
        ifv.hw_len = 6;
        want.ports[ifindex] = nsm_view_port{bridge.vlans, {1}};
    }
    auto frames = nsm_unix_view_frames(want);
    frames.pop_back();
    ASSERT_GT(frames.size(), 4094u + 48u);
    nsm_view got;
    for (const auto &f : frames)
        ASSERT_EQ(feed(got, f), 0);
    EXPECT_EQ(got, want);
}

TEST(NsmUnix, HelloAndPortStateReadBack) {
    uint16_t protocol = 0;
    uint64_t services = 0;
    ASSERT_EQ(
        nsm_unix_read_hello(frame_of(nsm_unix_hello(29, (1ull << 22) | 1)), &protocol, &services),
        0);
    EXPECT_EQ(protocol, 29);
    EXPECT_EQ(services, (1ull << 22) | 1);
    uint16_t flags = 0;
    uint32_t ifindex = 0;
    ASSERT_EQ(
        nsm_unix_read_port_state(frame_of(nsm_unix_port_state(1, 0x01020304)), &flags, &ifindex),
        0);
    EXPECT_EQ(flags, 1);
    EXPECT_EQ(ifindex, 0x01020304u);
    EXPECT_EQ(frame_of(nsm_unix_port_state(2, 5)).payload,
              (std::vector<uint8_t>{0, 2, 0, 0, 0, 0, 0, 5}));
    EXPECT_EQ(nsm_unix_read_port_state(frame_of(raw(168, {0, 1})), &flags, &ifindex), -1);
}

} // namespace
