// A real frame socket on a real Linux bridge port, in network namespaces (needs root).
//
// Namespace A holds bridge br0 with port va; va's veth peer vb sits in namespace B on bridge
// brb. With hairpin on vb, every frame va sends comes straight back: a one-port loop.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "support/wait_until.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

const uint8_t kPortMac[6] = {0x02, 0x00, 0x00, 0x00, 0xaa, 0x01};
const uint8_t kOtherMac[6] = {0x02, 0x00, 0x00, 0x00, 0xbb, 0x02};

int sh(const std::string &cmd) {
    int rc = std::system((cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

// Two namespaces wired as above, always deleted.
class Topology {
  public:
    Topology() {
        const std::string id = std::to_string(getpid());
        a_ = "frm" + id + "a";
        b_ = "frm" + id + "b";
    }
    ~Topology() {
        sh("ip netns del " + a_);
        sh("ip netns del " + b_);
    }
    bool build() {
        const std::string ia = "ip netns exec " + a_ + " ";
        const std::string ib = "ip netns exec " + b_ + " ";
        const char *no_v6 = "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 "
                            "net.ipv6.conf.default.disable_ipv6=1";
        const std::vector<std::string> steps = {
            "ip netns add " + a_,
            "ip netns add " + b_,
            ia + no_v6,
            ib + no_v6,
            ia + "ip link add br0 type bridge",
            ia + "ip link add va type veth peer name vb",
            ia + "ip link set vb netns " + b_,
            ia + "ip link set va address 02:00:00:00:aa:01",
            ia + "ip link set va master br0",
            ia + "ip link set br0 up",
            ia + "ip link set va up",
            ia + "ip link add vc type veth peer name vd",
            ia + "ip link set vc master br0",
            ia + "ip link set vc up",
            ia + "ip link set vd up",
            ib + "ip link add brb type bridge",
            ib + "ip link set vb master brb",
            ib + "ip link set brb up",
            ib + "ip link set vb up",
        };
        for (const auto &s : steps)
            if (sh(s) != 0) {
                ADD_FAILURE() << "failed: " << s;
                return false;
            }
        return true;
    }
    bool hairpin(bool on) {
        return sh("ip netns exec " + b_ + " ip link set dev vb type bridge_slave hairpin " +
                  (on ? "on" : "off")) == 0;
    }
    bool link(const char *ifname, bool up) {
        return sh("ip netns exec " + a_ + " ip link set " + ifname + (up ? " up" : " down")) == 0;
    }
    const std::string &a() const { return a_; }
    const std::string &b() const { return b_; }

  private:
    std::string a_;
    std::string b_;
};

// Moves the calling thread into a namespace; gives the fd of the one it left, or -1.
int enter_netns(const std::string &name) {
    int self = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    int rc = target < 0 ? -1 : setns(target, CLONE_NEWNET);
    if (target >= 0)
        close(target);
    if (rc != 0 && self >= 0) {
        close(self);
        return -1;
    }
    return self;
}

void leave_netns(int saved) {
    if (saved < 0)
        return;
    EXPECT_EQ(setns(saved, CLONE_NEWNET), 0);
    close(saved);
}

// A packet socket on vb in namespace B: sees what va put on the wire, and sends frames to va.
class PeerSocket {
  public:
    bool open_in(const std::string &ns) {
        int saved = enter_netns(ns);
        if (saved < 0)
            return false;
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
        ifindex_ = static_cast<int>(if_nametoindex("vb"));
        leave_netns(saved);
        if (fd_ < 0 || ifindex_ == 0)
            return false;
        int one = 1;
        setsockopt(fd_, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = ifindex_;
        return bind(fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) == 0;
    }
    ~PeerSocket() {
        if (fd_ >= 0)
            close(fd_);
    }
    // The next ARP frame that arrived on vb from src, and its VLAN tag (-1 untagged).
    bool next_from(const uint8_t *src, std::vector<uint8_t> &frame, int &vlan) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline) {
            uint8_t buf[2048];
            sockaddr_ll sll{};
            iovec iov{buf, sizeof buf};
            alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
            msghdr msg{};
            msg.msg_name = &sll;
            msg.msg_namelen = sizeof sll;
            msg.msg_iov = &iov;
            msg.msg_iovlen = 1;
            msg.msg_control = control;
            msg.msg_controllen = sizeof control;
            ssize_t n = recvmsg(fd_, &msg, MSG_DONTWAIT);
            if (n < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                continue;
            }
            if (sll.sll_pkttype == PACKET_OUTGOING || n < 14 || std::memcmp(buf + 6, src, 6))
                continue;
            vlan = -1;
            for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
                if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA)
                    continue;
                tpacket_auxdata aux{};
                std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
                if (aux.tp_status & TP_STATUS_VLAN_VALID)
                    vlan = aux.tp_vlan_tci & 0x0fff;
            }
            frame.assign(buf, buf + n);
            return true;
        }
        return false;
    }
    bool send(const std::vector<uint8_t> &frame) {
        sockaddr_ll sll{};
        sll.sll_family = AF_PACKET;
        sll.sll_ifindex = ifindex_;
        sll.sll_halen = 6;
        std::memset(sll.sll_addr, 0xff, 6);
        return sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr *>(&sll),
                      sizeof sll) == static_cast<ssize_t>(frame.size());
    }

  private:
    int fd_ = -1;
    int ifindex_ = 0;
};

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
        ASSERT_TRUE(topo_.build());
        saved_ns_ = enter_netns(topo_.a());
        ASSERT_GE(saved_ns_, 0);
        ModelFixture::SetUp();
        sockfd = -1;
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "packet");
        ASSERT_GE(vesk_sock_init(veskm), 0) << std::strerror(errno);
        va_index_ = if_nametoindex("va");
        br_index_ = if_nametoindex("br0");
        vc_index_ = if_nametoindex("vc");
        ASSERT_NE(va_index_, 0u);
        port_ = make_port("va", va_index_, {1, 100});
        ASSERT_NE(port_, nullptr);
        std::memcpy(port_->mac_address, kPortMac, 6);
        std::memcpy(port_->ifp->hw_addr, kPortMac, 6);
        port_->ifp->untagged[0] = 0x02; // VLAN 1 untagged, 100 tagged
        port_->ifp->bridge_ifindex = br_index_;
        make_interface("br0", br_index_);
        set_debug(0, 0, VESK_DEBUG_RECV);
        reader_ = std::thread([] { vesk_recv_pkt_karsto(veskm); });
        ASSERT_TRUE(peer_.open_in(topo_.b()));
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
        leave_netns(saved_ns_);
    }
    std::string rx_line(uint32_t ifindex) {
        return "vesk_recv: receive frame on port " + std::to_string(ifindex);
    }

    Topology topo_;
    PeerSocket peer_;
    int saved_ns_ = -1;
    uint32_t va_index_ = 0;
    uint32_t br_index_ = 0;
    uint32_t vc_index_ = 0;
    vesk_port *port_ = nullptr;
    std::thread reader_;
};

TEST_F(FrameLoopTest, HairpinLoopIsDetectedOnThePortAndVlan) {
    ASSERT_TRUE(topo_.hairpin(true));
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 100, port_, 1), 0);
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
        vesk_provlan *e = vesk_find_provlan_from_port(100, port_);
        return e->is_loop == 1 && port_->pstate == VESK_PORT_SHUTDOWN;
    }));
    EXPECT_EQ(port_->loop_vlan_count, 1);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, va_index_);
    EXPECT_TRUE(log().contains("Detect a loop on the port va, shut down"));
    EXPECT_TRUE(log().contains("vesk_recv: receive valid VESK packet , shut down port va"));
}

TEST_F(FrameLoopTest, UntaggedMemberSendsUntaggedOtherVlansTagged) {
    std::vector<uint8_t> frame;
    int vlan = 0;
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 100, port_, 1), 0);
    ASSERT_TRUE(peer_.next_from(kPortMac, frame, vlan));
    EXPECT_EQ(vlan, 100);
    // The second VLAN restarts the machine, which sends in list order: 100, then 1.
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_TRUE(peer_.next_from(kPortMac, frame, vlan));
    EXPECT_EQ(vlan, 100);
    ASSERT_TRUE(peer_.next_from(kPortMac, frame, vlan));
    EXPECT_EQ(vlan, -1) << "VLAN 1 leaves untagged";
    EXPECT_EQ(frame.size(), 60u);
    EXPECT_EQ(frame[12], 0x08);
    EXPECT_EQ(frame[13], 0x06);
}

TEST_F(FrameLoopTest, FrameFromAnotherMacIsNoLoop) {
    ASSERT_TRUE(peer_.send(arp_probe(kOtherMac, 60)));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
        return log().contains("vesk_recv: receive invalid VESK packet for error mac addr");
    }));
    EXPECT_EQ(port_->loop_vlan_count, 0);
    EXPECT_TRUE(requests().empty());
}

TEST_F(FrameLoopTest, OwnTransmissionsAreNeverReceived) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    std::vector<uint8_t> frame;
    int vlan = 0;
    ASSERT_TRUE(peer_.next_from(kPortMac, frame, vlan)) << "the frame was on the wire";
    // Frames on one socket arrive in order: once the marker is in, our own would be too.
    ASSERT_TRUE(peer_.send(arp_probe(kOtherMac, 60)));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return log().contains(rx_line(va_index_)); }));
    EXPECT_EQ(log().count(rx_line(va_index_)), 1u);
    EXPECT_EQ(port_->loop_vlan_count, 0);
    EXPECT_TRUE(requests().empty());
}

TEST_F(FrameLoopTest, FramesTheBridgeForwardsOutOfPortsAreNeverReceived) {
    vesk_port *vc = make_port("vc", vc_index_, {1});
    ASSERT_NE(vc, nullptr);
    ASSERT_TRUE(peer_.send(arp_probe(kOtherMac, 60)));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return log().contains(rx_line(br_index_)); }));
    // A second frame behind the first (another target address: a copy would be shed): once it
    // is in, any copy of the first is too.
    std::vector<uint8_t> second = arp_probe(kOtherMac, 60);
    second[41] = 2;
    ASSERT_TRUE(peer_.send(second));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return log().count(rx_line(va_index_)) == 2; }));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return log().count(rx_line(br_index_)) == 2; }));
    EXPECT_EQ(log().count(rx_line(vc_index_)), 0u) << "flooded out of vc, not received there";
}

TEST_F(FrameLoopTest, BurstsWrapTheReceiveRingWithoutLossOrRepeat) {
    // 3000 different frames, each read on va, on br0 and on vd (where the bridge floods it out
    // of vc): many times the ring's eight blocks. Sent in bursts the reader drains before the
    // next, so every one must arrive exactly once on each.
    const uint32_t vd_index = if_nametoindex("vd");
    ASSERT_NE(vd_index, 0u);
    const int bursts = 6;
    const int per_burst = 500;
    for (int b = 0; b < bursts; b++) {
        for (int i = 0; i < per_burst; i++) {
            std::vector<uint8_t> f = arp_probe(kOtherMac, 60);
            const int serial = b * per_burst + i;
            f[40] = static_cast<uint8_t>(serial >> 8);
            f[41] = static_cast<uint8_t>(serial);
            ASSERT_TRUE(peer_.send(f));
        }
        const size_t want = static_cast<size_t>((b + 1) * per_burst);
        ASSERT_TRUE(vesk_test::run_until(veskm,
                                         [&] {
                                             return log().count(rx_line(va_index_)) >= want &&
                                                    log().count(rx_line(br_index_)) >= want;
                                         }))
            << "burst " << b << ": " << log().count(rx_line(va_index_));
    }
    EXPECT_EQ(log().count(rx_line(va_index_)), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(log().count(rx_line(br_index_)), static_cast<size_t>(bursts * per_burst));
    EXPECT_EQ(log().count(rx_line(vd_index)), static_cast<size_t>(bursts * per_burst));
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(veskm, &stats), 0);
    EXPECT_EQ(stats.rx_frames, static_cast<uint64_t>(3 * bursts * per_burst));
}

TEST_F(FrameLoopTest, TagsAreRemovedAndShortTaggedFramesDropped) {
    // Tagged and padded to 64 bytes: delivered as 46 bytes. Tagged but only 60: never.
    ASSERT_TRUE(peer_.send(arp_probe(kOtherMac, 60, 100)));
    ASSERT_TRUE(peer_.send(arp_probe(kOtherMac, 64, 100)));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return log().contains(rx_line(va_index_)); }));
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
        return log().contains("vesk_recv: receive invalid VESK packet for error mac addr");
    }));
    EXPECT_EQ(log().count(rx_line(va_index_)), 1u);
}

TEST_F(FrameLoopTest, BridgeDeviceCopiesNeverActAsPorts) {
    ASSERT_TRUE(topo_.hairpin(true));
    port_->loop_process = VESK_LOOP_LOG;
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
        return log().contains("port va connection device exits a loop in vlan 1") &&
               log().contains(rx_line(br_index_));
    }));
    EXPECT_EQ(log().count("port va connection device exits a loop in vlan 1"), 1u);
}

TEST_F(FrameLoopTest, SendingOnADownPortFails) {
    ASSERT_TRUE(topo_.link("va", false));
    frame_send_addr to{};
    std::memset(to.dst, 0xff, 6);
    std::memcpy(to.src, kPortMac, 6);
    to.ifindex = static_cast<int32_t>(va_index_);
    to.vid = 1;
    uint8_t data[46] = {};
    errno = 0;
    EXPECT_EQ(pal_sock_sendto(sockfd, data, sizeof data, 0, &to, sizeof to), -1);
    EXPECT_EQ(errno, ENETDOWN);
}

} // namespace
