// The socket backend's framing, the view its state frames build, and every check that keeps a
// peer's bad message out (of both backends: tests/zet/data/nsm/refused.txt).
#include "../zet_test.h"

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

// A port-state request cut short is no request.
TEST(NsmUnix, AShortPortStateRequestIsNone) {
    uint16_t flags = 0;
    uint32_t ifindex = 0;
    const nsm_unix_frame cut = frame_of(nsm_unix_encode(NSM_MSG_PORT_STATE, {0, 1}));
    EXPECT_EQ(nsm_unix_read_port_state(cut, &flags, &ifindex), -1);
}

TEST(NsmUnix, StateFramesBuildTheView) {
    nsm_view v = unix_base();
    EXPECT_EQ(v, zet_test::view_of("ge1@5:ur/5 ge2@6:u/5 br:1=1 port@5=1"));
    // Entries: the low 12 bits, and the untagged mark; VLANs are made on the way.
    ASSERT_EQ(
        feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20, 0xe000 | 30})), 0);
    EXPECT_EQ(v, zet_test::view_of("ge1@5:ur/5 ge2@6:u/5 br:1=1,20,30 port@5=1 port@6=20u,30"));
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
    EXPECT_EQ(nsm_unix_if_add(9, "ge9", kUpRunning, full, 3)[hw_len_at + 4], 0) << "nor sent";
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
    const int rows = zet_test::for_each_step("nsm/refused.txt", [](const std::string &line) {
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
            return;
        }
        nsm_view v = unix_base();
        std::string why;
        EXPECT_EQ(feed(v, bytes, &why), -1);
        EXPECT_TRUE(want_why.empty() ? !why.empty() : why == want_why) << why;
        EXPECT_EQ(v, unix_base());
    });
    EXPECT_GT(rows, 40);
    nsm_view v;
    std::string why;
    ASSERT_EQ(feed(v, nsm_unix_if_add(5, "ge1", kUpRunning, kMac, 6)), 0);
    ASSERT_EQ(feed(v, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br0", 0)), 0);
    EXPECT_EQ(feed(v, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 5, {1}), &why), -1);
    EXPECT_EQ(why, "vlan-port message without bridge 1");
}

// The frames a view is sent as rebuild it: untagged VLANs, bridges of each type.
TEST(NsmUnix, ViewFramesRebuildTheView) {
    nsm_view want = unix_base(), got;
    ASSERT_EQ(feed(want, nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, 6, {0x1000 | 20})), 0);
    ASSERT_EQ(feed(want, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, "br9", 1)), 0);
    auto frames = nsm_unix_view_frames(want);
    EXPECT_EQ(frame_of(frames.back()).type, NSM_UNIX_SYNC_END);
    frames.pop_back();
    for (const auto &f : frames)
        ASSERT_EQ(feed(got, f), 0);
    EXPECT_EQ(got, want);
}

} // namespace
