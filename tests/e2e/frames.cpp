// A real frame socket on a real Linux bridge port, in this process (root only): the lab's switch
// namespace holds br0 with port ge1, whose peer n1 (on a bridge of its own, hairpin on for a
// one-port loop) is watched and driven by a packet socket; vc is a port whose peer vd sits in
// the switch namespace too. Frames the bridge forwards out of ports, the daemon's own frames and
// the bridge device's copies are left to the scenarios (one_port_loop, log_mode).
#include <cerrno>
#include <cstring>
#include <linux/if_packet.h>
#include <net/if.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

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

namespace {

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

class FrameLoopTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ASSERT_TRUE(lab_.ok());
        ASSERT_TRUE(lab_.ip_switch("link add vc type veth peer name vd") &&
                    lab_.ip_switch("link set vc master br0") && lab_.ip_switch("link set vc up") &&
                    lab_.ip_switch("link set vd up"));
        in_ = std::make_unique<vesk_test::NetnsEntry>(lab_.switch_ns());
        ASSERT_TRUE(in_->ok());
        ModelFixture::SetUp();
        sockfd = -1;
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "packet");
        ASSERT_GE(vesk_sock_init(veskm), 0) << std::strerror(errno);
        port_ = make_port("ge1", ifindex("ge1"), {1, 100});
        ASSERT_NE(port_, nullptr);
        std::memcpy(port_->mac_address, kPortMac, 6);
        std::memcpy(port_->ifp->hw_addr, kPortMac, 6);
        port_->ifp->untagged[0] = 0x02; // VLAN 1 untagged, 100 tagged
        port_->ifp->bridge_ifindex = ifindex("br0");
        make_interface("br0", ifindex("br0"));
        set_debug(0, 0, VESK_DEBUG_RECV);
        reader_ = std::thread([] { vesk_recv_pkt_karsto(veskm); });
        peer_ = vesk_test::packet_socket(lab_.neighbour_ns(), "n1");
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
        if (veskm != nullptr) {
            if (HasFailure())
                std::fprintf(stderr, "log:\n%s\n", log().text().c_str());
            ModelFixture::TearDown();
        }
        sockfd = -1;
        if (peer_ >= 0)
            close(peer_);
        in_.reset();
    }
    static uint32_t ifindex(const char *name) { return if_nametoindex(name); }
    static std::string rx_line(const char *ifname) {
        return "vesk_recv: receive frame on port " + std::to_string(ifindex(ifname));
    }
    size_t received(const char *ifname) { return log().count(rx_line(ifname)); }
    bool send(const std::vector<uint8_t> &frame) {
        return ::send(peer_, frame.data(), frame.size(), 0) == ssize_t(frame.size());
    }
    bool next(std::vector<uint8_t> &frame, int &vlan) { return next_frame(peer_, frame, vlan); }
    bool wait_log(const std::string &text) {
        return vesk_test::run_until(veskm, [&] { return log().contains(text); });
    }

    vesk_test::SwitchLab lab_{1};
    std::unique_ptr<vesk_test::NetnsEntry> in_;
    int peer_ = -1;
    vesk_port *port_ = nullptr;
    std::thread reader_;
};

TEST_F(FrameLoopTest, HairpinLoopIsDetectedOnThePortAndVlan) {
    ASSERT_TRUE(lab_.hairpin(1));
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 100, port_, 1), 0);
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
        vesk_provlan *e = vesk_find_provlan_from_port(100, port_);
        return e->is_loop == 1 && port_->pstate == VESK_PORT_SHUTDOWN;
    }));
    EXPECT_EQ(port_->loop_vlan_count, 1);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, ifindex("ge1"));
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
    // 3000 different frames, each read on ge1, on br0 and on vd (where the bridge floods it out
    // of vc): many times the ring's eight blocks. Sent in bursts the reader drains before the
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
        ASSERT_TRUE(vesk_test::run_until(
            veskm, [&] { return received("ge1") >= want && received("br0") >= want; }))
            << "burst " << b << ": " << received("ge1");
    }
    EXPECT_EQ(received("ge1"), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(received("br0"), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(received("vd"), static_cast<size_t>(bursts * per_burst));
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

    ASSERT_TRUE(lab_.ip_switch("link set ge1 down"));
    frame_send_addr to{};
    std::memset(to.dst, 0xff, 6);
    std::memcpy(to.src, kPortMac, 6);
    to.ifindex = static_cast<int32_t>(ifindex("ge1"));
    to.vid = 1;
    uint8_t data[46] = {};
    errno = 0;
    EXPECT_EQ(pal_sock_sendto(sockfd, data, sizeof data, 0, &to, sizeof to), -1);
    EXPECT_EQ(errno, ENETDOWN);
}

} // namespace
