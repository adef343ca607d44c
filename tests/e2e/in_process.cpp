// The daemon's services on real Linux bridges, in this process, with this thread in the lab's
// switch namespace (root only): the kernel NSM backend (ports, link changes, port-state
// requests and refusals, and, with a receive buffer far too small for a burst of link changes,
// the resynchronisation that follows lost events); and a real frame socket on bridge port ge1,
// whose peer n1 (on a bridge of its own, hairpin on for a one-port loop) is watched and driven
// by a packet socket, with out0 a port whose peer out1 sits in the switch namespace too. Frames the
// bridge forwards out of ports, the daemon's own frames and the bridge device's copies are left
// to the scenarios (one_port_loop, log_mode).
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <set>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/model_fixture.h"
#include "support/switch_lab.h"
#include "support/wait_until.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using vesk_test::run_until;
using namespace std::chrono_literals;

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

uint32_t index(const std::string &name) {
    return if_nametoindex(name.c_str());
}
const uint8_t kBridgeMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// Types of the link messages for the interface under watch, in arrival order.
std::vector<int> link_messages;
uint32_t watched_ifindex;

int record_link(struct nsm_msg_header *header, void *arg, void *message) {
    if (static_cast<nsm_msg_link *>(message)->ifindex == watched_ifindex)
        link_messages.push_back(header->type);
    return vesk_nsm_recv_interface_state(header, arg, message);
}

// The daemon's world in this process, with this thread in the switch namespace of a lab of
// ports ge1..geN and a veth pair out0-out1 beside br0.
class InLab : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ModelFixture::SetUp();
    }
    void enter(int ports) {
        lab_ = std::make_unique<vesk_test::SwitchLab>(ports);
        ASSERT_TRUE(lab_->ok());
        ASSERT_TRUE(lab_->ip_switch("link add out0 type veth peer name out1") &&
                    lab_->ip_switch("link set out0 up") && lab_->ip_switch("link set out1 up"));
        in_ = std::make_unique<vesk_test::NetnsEntry>(lab_->switch_ns());
        ASSERT_TRUE(in_->ok());
    }
    void TearDown() override {
        if (veskm != nullptr && HasFailure())
            std::fprintf(stderr, "log:\n%s\n", log().text().c_str());
        if (veskm != nullptr)
            ModelFixture::TearDown();
        in_.reset();
        lab_.reset();
    }
    unsigned flags(const std::string &name) const { return lab_->flags(name); }

    std::unique_ptr<vesk_test::SwitchLab> lab_;
    std::unique_ptr<vesk_test::NetnsEntry> in_;
};

class NsmKernel : public InLab {
  protected:
    void SetUp() override {
        InLab::SetUp();
        zet_clock_use_monotonic();
    }
    // The lab, and the kernel client of the daemon started in it (with a receive buffer of
    // rcvbuf bytes when given).
    void start(int ports, int rcvbuf = 0) {
        ASSERT_NO_FATAL_FAILURE(enter(ports));
        for (int i = 1; i <= ports; i++)
            ASSERT_TRUE(vesk_test::wait_for([&] { return (flags(ge(i)) & kUp) == kUp; }));
        watched_ifindex = index("ge1");
        nsm_client_free(veskm->nc);
        nsm_client *nc = nsm_client_create(veskm, 0);
        ASSERT_NE(nc, nullptr);
        ASSERT_TRUE(rcvbuf == 0 || nsm_client_set_rcvbuf(nc, rcvbuf) == 0);
        vesk_nsm_client_setup(veskm, nc);
        nsm_client_set_callback(nc, NSM_MSG_LINK_UP, record_link);
        nsm_client_set_callback(nc, NSM_MSG_LINK_DOWN, record_link);
        ASSERT_EQ(nsm_client_start(nc), 0);
        // The kernel reports the fresh links' last changes a moment late.
        run_until(
            veskm, [] { return false; }, 300ms);
        link_messages.clear();
    }
    static std::string ge(int i) { return "ge" + std::to_string(i); }
    vesk_bridge *bridge_one() const {
        return vesk_find_bridge_from_master(VESK_BRIDGE_NAME, vesk_get_master(veskm));
    }
    vesk_port *port(const std::string &name) const {
        struct interface *ifp = ifg_lookup_by_name(veskm->ifg, name.c_str());
        return ifp != nullptr ? static_cast<vesk_port *>(ifp->info) : nullptr;
    }
    std::set<std::string> vlan_members(uint16_t vid) const {
        std::set<std::string> names;
        vesk_vlan *vlan = bridge_one() ? vesk_find_vlan_from_bridge(vid, bridge_one()) : nullptr;
        for (listnode *n = vlan ? listhead(vlan->vlan_port_list) : nullptr; n; n = listnextnode(n))
            names.insert(static_cast<vesk_port *>(listgetdata(n))->name);
        return names;
    }
    size_t port_count() const { return listcount(bridge_one()->port_list); }
    template <class Done> bool wait(Done done) { return run_until(veskm, done, 5s); }
    static int shut(const std::string &name) {
        return vesk_send_port_state_to_nsm(index(name), VESK_PORT_REQ_SHUTDOWN);
    }
};

TEST_F(NsmKernel, PortsLinksAndRequestsFollowTheKernel) {
    ASSERT_NO_FATAL_FAILURE(start(2));
    // Bridge one with exactly its two ports in VLAN 1, untagged on a plain bridge; ports that
    // were up at start-up run from the start, with the bridge's MAC.
    ASSERT_NE(bridge_one(), nullptr);
    EXPECT_EQ(port_count(), 2u);
    EXPECT_EQ(vlan_members(1), (std::set<std::string>{"ge1", "ge2"}));
    EXPECT_EQ(port("out0"), nullptr);
    EXPECT_NE(ifg_lookup_by_name(veskm->ifg, "out0"), nullptr);
    for (const char *name : {"ge1", "ge2"}) {
        ASSERT_NE(port(name), nullptr) << name;
        EXPECT_EQ(port(name)->pstate, VESK_PORT_UP) << name;
        EXPECT_EQ(std::memcmp(port(name)->mac_address, kBridgeMac, 6), 0) << name;
    }
    struct interface *ge1if = ifg_lookup_by_name(veskm->ifg, "ge1");
    EXPECT_EQ(ge1if->bridge_ifindex, index("br0"));
    EXPECT_EQ(ge1if->untagged[0] & 0x02, 0x02);

    // The cable of ge1 out and in: link down, then up.
    vesk_port *ge1 = port("ge1");
    ASSERT_TRUE(lab_->ip_neighbour("link set n1 down"));
    ASSERT_TRUE(wait([&] { return ge1->pstate == VESK_PORT_DOWN; }));
    ASSERT_TRUE(lab_->ip_neighbour("link set n1 up"));
    ASSERT_TRUE(wait([&] { return ge1->pstate == VESK_PORT_UP; }));
    EXPECT_EQ(link_messages, (std::vector<int>{NSM_MSG_LINK_DOWN, NSM_MSG_LINK_UP}));
    EXPECT_EQ(ge1->flags & kUp, kUp);

    // A shutdown sets ge1 admin down, and the link-down that follows leaves it shut down; the
    // release sets it up.
    link_messages.clear();
    vesk_set_port_state(ge1, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(flags("ge1") & IFF_UP, 0u);
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, shut down"));
    ASSERT_TRUE(wait([&] { return !link_messages.empty(); }));
    EXPECT_EQ(ge1->pstate, VESK_PORT_SHUTDOWN);
    vesk_set_port_state(ge1, VESK_PORT_NOSHUTDOWN);
    EXPECT_NE(flags("ge1") & IFF_UP, 0u);
    ASSERT_TRUE(wait([&] { return ge1->pstate == VESK_PORT_UP; }));
    EXPECT_EQ(link_messages, (std::vector<int>{NSM_MSG_LINK_DOWN, NSM_MSG_LINK_UP}));

    // Requests outside bridge one, and a record with both flags set, change nothing.
    for (const char *name : {"out0", "br0"})
        EXPECT_EQ(shut(name), -1) << name;
    EXPECT_EQ(vesk_send_port_state_to_nsm(999999u, VESK_PORT_REQ_SHUTDOWN), -1);
    vesk_port_state_msg both = {0x0003, 0, index("ge1")};
    EXPECT_EQ(nsm_client_send_vesk_message(veskm->nc, &both, NSM_MSG_VESK_PORT_STATE), -1);
    for (const char *name : {"out0", "br0", "ge1"})
        EXPECT_NE(flags(name) & IFF_UP, 0u) << name;
    EXPECT_TRUE(log().contains("not a port of bridge 1"));
    nsm_client_stats stats{};
    nsm_client_get_stats(veskm->nc, &stats);
    EXPECT_EQ(stats.refused, 4u);

    // A port leaving the bridge leaves its VLANs, stays a port and takes no requests.
    ASSERT_TRUE(lab_->ip_switch("link set ge1 nomaster"));
    ASSERT_TRUE(wait([&] { return vlan_members(1) == std::set<std::string>{"ge2"}; }));
    EXPECT_NE(port("ge1"), nullptr);
    EXPECT_EQ(shut("ge1"), -1);
    ASSERT_TRUE(lab_->ip_switch("link set ge1 master br0"));
    ASSERT_TRUE(wait([&] { return vlan_members(1).size() == 2; }));
    // Another bridge keeps its name, and its ports get no port records nor requests.
    ASSERT_TRUE(lab_->ip_switch("link add br9 type bridge"));
    ASSERT_TRUE(lab_->ip_switch("link set out0 master br9"));
    ASSERT_TRUE(wait([&] { return vesk_find_bridge_from_master("br9", vesk_get_master(veskm)); }));
    ASSERT_TRUE(wait(
        [&] { return ifg_lookup_by_name(veskm->ifg, "out0")->bridge_ifindex == index("br9"); }));
    EXPECT_EQ(port("out0"), nullptr);
    EXPECT_EQ(shut("out0"), -1);
    EXPECT_EQ(port_count(), 2u);

    // A deleted interface loses its port record; one made again under its name is new.
    uint32_t old_index = index("ge2");
    long ports_before = memory_live(MTYPE_VESK_PORT);
    ASSERT_TRUE(lab_->ip_neighbour("link del n2"));
    ASSERT_TRUE(wait([&] { return port_count() == 1; }));
    EXPECT_EQ(ifg_lookup_by_index(veskm->ifg, old_index), nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), ports_before - 1);
    ASSERT_TRUE(lab_->add_port(2));
    ASSERT_TRUE(wait([&] { return port("ge2") != nullptr && port_count() == 2; }));
    EXPECT_NE(port("ge2")->ifindex, old_index);
    EXPECT_EQ(vlan_members(1), (std::set<std::string>{"ge1", "ge2"}));
    ASSERT_TRUE(wait([&] { return port("ge2")->pstate == VESK_PORT_UP; }));
}

TEST_F(NsmKernel, ModelMatchesTheKernelSoonAfterABurstThatOverrunsTheBuffer) {
    constexpr int kPorts = 8;
    ASSERT_NO_FATAL_FAILURE(start(kPorts, 1024));
    // Ports and link states as the daemon has them equal the kernel's now.
    std::string diff;
    auto matches = [&](const std::set<std::string> &ports) {
        if (vlan_members(1) != ports)
            return diff = "port sets differ", false;
        for (const auto &name : ports) {
            struct interface *ifp = ifg_lookup_by_name(veskm->ifg, name.c_str());
            vesk_port *p = port(name);
            bool model_up = p != nullptr && if_is_up(ifp) && (p->flags & kUp) == kUp &&
                            p->pstate == VESK_PORT_UP;
            bool model_down = p != nullptr && !if_is_up(ifp) && p->pstate == VESK_PORT_DOWN;
            if ((flags(name) & kUp) == kUp ? !model_up : !model_down)
                return diff = name + " link state differs", false;
        }
        return true;
    };
    std::set<std::string> ports;
    for (int i = 1; i <= kPorts; i++)
        ports.insert(ge(i));
    ASSERT_TRUE(matches(ports)) << "before the burst: " << diff;
    // The burst: every peer flaps many times, four stay down, three ports leave the bridge and
    // one comes back.
    std::string flaps, moves = "link set ge2 nomaster\nlink set ge6 nomaster\n"
                               "link set ge7 nomaster\nlink set ge7 master br0\n";
    for (int r = 0; r < 50; r++)
        for (int i = 1; i <= kPorts; i++)
            flaps += "link set n" + std::to_string(i) + (r % 2 == 0 ? " down\n" : " up\n");
    for (int i = 1; i <= kPorts / 2; i++)
        flaps += "link set n" + std::to_string(i) + " down\n";
    std::atomic<bool> done{false}, burst_ok{false};
    std::thread burst([&] {
        burst_ok = vesk_test::sh("{ ip -n " + lab_->neighbour_ns() + " -batch - <<'EOF'\n" + flaps +
                                 "EOF\n} && { ip -n " + lab_->switch_ns() + " -batch - <<'EOF'\n" +
                                 moves + "EOF\n}");
        done = true;
    });
    run_until(
        veskm, [&] { return done.load(); }, 60s);
    burst.join();
    ASSERT_TRUE(burst_ok);
    const auto end = std::chrono::steady_clock::now();
    ports = {"ge1", "ge3", "ge4", "ge5", "ge7", "ge8"};
    ASSERT_TRUE(run_until(
        veskm, [&] { return matches(ports); }, 3s))
        << diff;
    const auto took = std::chrono::steady_clock::now() - end;
    std::printf("model matched the kernel %lld ms after the burst\n",
                static_cast<long long>(took / 1ms));
    EXPECT_LE(took, 1s);
    // The kernel settles its link states late; the model follows and stays equal.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(run_until(
        veskm, [&] { return matches(ports); }, 1s))
        << diff;
    nsm_client_stats stats{};
    nsm_client_get_stats(veskm->nc, &stats);
    std::printf("overruns %llu, full syncs %llu\n", (unsigned long long)stats.overruns,
                (unsigned long long)stats.syncs);
    EXPECT_GT(stats.overruns, 0u) << "the buffer never overflowed: the test proves nothing";
    EXPECT_GT(stats.syncs, 1u);
}

const uint8_t kPortMac[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x01};
const uint8_t kOtherMac[6] = {0x02, 0x00, 0x00, 0x00, 0xbb, 0x02};

// The next ARP frame from the port that arrived on fd (which gives up after 10 s), and its VLAN
// tag (-1 untagged).
bool next_frame(int fd, std::vector<uint8_t> &frame, int &vlan) {
    uint8_t buf[2048];
    sockaddr_ll sll{};
    iovec iov{buf, sizeof buf};
    alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
    for (;;) {
        msghdr msg{&sll, sizeof sll, &iov, 1, control, sizeof control, 0};
        const ssize_t n = recvmsg(fd, &msg, 0);
        if (n < 0)
            return false;
        if (sll.sll_pkttype == PACKET_OUTGOING || n < 14 || std::memcmp(buf + 6, kPortMac, 6) ||
            buf[12] != 0x08 || buf[13] != 0x06)
            continue;
        tpacket_auxdata aux{};
        const cmsghdr *c = CMSG_FIRSTHDR(&msg);
        if (c != nullptr && c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA)
            std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
        vlan = (aux.tp_status & TP_STATUS_VLAN_VALID) ? aux.tp_vlan_tci & 0x0fff : -1;
        frame.assign(buf, buf + n);
        return true;
    }
}

// An ARP request from 0.0.0.0 as a station with mac would send it, padded to total bytes.
std::vector<uint8_t> arp_probe(const uint8_t *mac, size_t total, int vlan = -1) {
    std::vector<uint8_t> f(total, 0);
    std::memset(f.data(), 0xff, 6);
    std::memcpy(f.data() + 6, mac, 6);
    size_t off = 12;
    if (vlan >= 0) {
        f[12] = 0x81;
        f[14] = static_cast<uint8_t>(vlan >> 8);
        f[15] = static_cast<uint8_t>(vlan);
        off = 16;
    }
    const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    std::memcpy(f.data() + off, arp, sizeof arp);
    std::memcpy(f.data() + off + 10, mac, 6);
    return f;
}

class FrameLoopTest : public InLab {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(InLab::SetUp());
        if (IsSkipped())
            return;
        ASSERT_NO_FATAL_FAILURE(enter(1));
        ASSERT_TRUE(lab_->ip_switch("link set out0 master br0"));
        sockfd = -1;
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "packet");
        ASSERT_GE(vesk_sock_init(veskm), 0) << std::strerror(errno);
        port_ = make_port("ge1", index("ge1"), {1, 100});
        ASSERT_NE(port_, nullptr);
        std::memcpy(port_->mac_address, kPortMac, 6);
        std::memcpy(port_->ifp->hw_addr, kPortMac, 6);
        port_->ifp->untagged[0] = 0x02; // VLAN 1 untagged, 100 tagged
        port_->ifp->bridge_ifindex = index("br0");
        make_interface("br0", index("br0"));
        set_debug(0, 0, VESK_DEBUG_RECV);
        reader_ = std::thread([] { vesk_recv_pkt_karsto(veskm); });
        peer_ = vesk_test::packet_socket(lab_->neighbour_ns(), "n1");
        ASSERT_GE(peer_, 0);
        const int one = 1;
        const timeval ten_seconds{10, 0};
        setsockopt(peer_, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
        setsockopt(peer_, SOL_SOCKET, SO_RCVTIMEO, &ten_seconds, sizeof ten_seconds);
    }
    void TearDown() override {
        if (reader_.joinable()) {
            frame_sock_close(veskm);
            reader_.join();
        }
        InLab::TearDown();
        sockfd = -1;
        if (peer_ >= 0)
            close(peer_);
    }
    static std::string rx_line(const char *ifname) {
        return "vesk_recv: receive frame on port " + std::to_string(index(ifname));
    }
    size_t received(const char *ifname) { return log().count(rx_line(ifname)); }
    bool send(const std::vector<uint8_t> &frame) {
        return ::send(peer_, frame.data(), frame.size(), 0) == ssize_t(frame.size());
    }
    bool next(std::vector<uint8_t> &frame, int &vlan) { return next_frame(peer_, frame, vlan); }
    bool wait_log(const std::string &text) {
        return run_until(veskm, [&] { return log().contains(text); });
    }

    int peer_ = -1;
    vesk_port *port_ = nullptr;
    std::thread reader_;
};

TEST_F(FrameLoopTest, HairpinLoopIsDetectedOnThePortAndVlan) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 100, port_, 1), 0);
    ASSERT_TRUE(run_until(veskm, [&] {
        vesk_provlan *e = vesk_find_provlan_from_port(100, port_);
        return e->is_loop == 1 && port_->pstate == VESK_PORT_SHUTDOWN;
    }));
    EXPECT_EQ(port_->loop_vlan_count, 1);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, index("ge1"));
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, shut down"));
    EXPECT_TRUE(log().contains("vesk_recv: receive valid VESK packet , shut down port ge1"));
}

TEST_F(FrameLoopTest, UntaggedMemberSendsUntaggedOtherVlansTagged) {
    std::vector<uint8_t> frame;
    int vlan = 0;
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 100, port_, 1), 0);
    ASSERT_TRUE(next(frame, vlan));
    EXPECT_EQ(vlan, 100);
    // The second VLAN restarts the machine, which sends in list order: 100, then 1.
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_TRUE(next(frame, vlan));
    EXPECT_EQ(vlan, 100);
    ASSERT_TRUE(next(frame, vlan));
    EXPECT_EQ(vlan, -1) << "VLAN 1 leaves untagged";
    EXPECT_EQ(frame.size(), 60u);
    EXPECT_EQ(frame[12], 0x08);
    EXPECT_EQ(frame[13], 0x06);
}

TEST_F(FrameLoopTest, BurstsWrapTheReceiveRingWithoutLossOrRepeat) {
    // 3000 different frames, each read on ge1, on br0 and on out1 (where the bridge floods it
    // out of out0): many times the ring's eight blocks. Sent in bursts the reader drains before the
    // next, so every one must arrive exactly once on each.
    const int bursts = 6;
    const int per_burst = 500;
    for (int b = 0; b < bursts; b++) {
        for (int i = 0; i < per_burst; i++) {
            std::vector<uint8_t> f = arp_probe(kOtherMac, 60);
            const int serial = b * per_burst + i;
            f[40] = static_cast<uint8_t>(serial >> 8);
            f[41] = static_cast<uint8_t>(serial);
            ASSERT_TRUE(send(f));
        }
        const size_t want = static_cast<size_t>((b + 1) * per_burst);
        ASSERT_TRUE(
            run_until(veskm, [&] { return received("ge1") >= want && received("br0") >= want; }))
            << "burst " << b << ": " << received("ge1");
    }
    EXPECT_EQ(received("ge1"), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(received("br0"), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(received("out1"), static_cast<size_t>(bursts * per_burst));
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(veskm, &stats), 0);
    EXPECT_EQ(stats.rx_frames, static_cast<uint64_t>(3 * bursts * per_burst));
}

// A frame from another station is no loop; a tagged one padded to 64 bytes is delivered as 46
// bytes, one only 60 never; and sending on a port that is down fails.
TEST_F(FrameLoopTest, ForeignAndShortTaggedFramesAreNoLoopAndADownPortCannotSend) {
    ASSERT_TRUE(send(arp_probe(kOtherMac, 60, 100)));
    ASSERT_TRUE(send(arp_probe(kOtherMac, 64, 100)));
    ASSERT_TRUE(wait_log(rx_line("ge1")));
    ASSERT_TRUE(wait_log("vesk_recv: receive invalid VESK packet for error mac addr"));
    EXPECT_EQ(received("ge1"), 1u);
    EXPECT_EQ(port_->loop_vlan_count, 0);
    EXPECT_TRUE(requests().empty());

    ASSERT_TRUE(lab_->ip_switch("link set ge1 down"));
    frame_send_addr to{};
    std::memset(to.dst, 0xff, 6);
    std::memcpy(to.src, kPortMac, 6);
    to.ifindex = static_cast<int32_t>(index("ge1"));
    to.vid = 1;
    uint8_t data[46] = {};
    errno = 0;
    EXPECT_EQ(pal_sock_sendto(sockfd, data, sizeof data, 0, &to, sizeof to), -1);
    EXPECT_EQ(errno, ENETDOWN);
}

} // namespace
