// Root only, on a Linux bridge in namespaces: the scenario files, and in process what a real veskd
// cannot show there (a tiny event buffer; tagged VLANs, since this kernel's bridges cannot filter).
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <future>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "support/daemon_process.h"
#include "support/model_fixture.h"
#include "support/switch_lab.h"
#include "support/wait_until.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/transmit.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using namespace std::chrono_literals;
using vesk_test::run_until;

VESK_SCENARIOS(Lab, VESK_SOURCE_DIR "/tests/e2e/scenarios", "(?!storm_).*");
VESK_SCENARIOS(StormTest, VESK_SOURCE_DIR "/tests/e2e/scenarios", "storm_.*");

class InLab : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ModelFixture::SetUp();
    }
    void TearDown() override {
        if (reader_.joinable()) {
            frame_sock_close(handle());
            reader_.join();
        }
        ModelFixture::TearDown();
    }
    std::thread reader_;
};
using NsmKernel = InLab;
using FrameSocket = InLab;

// The events lost to the burst are made good by reading the links again, at most every so often,
// soon after it; and the requests it then refuses are those for what is not a port of bridge 1.
TEST_F(NsmKernel, ModelMatchesTheKernelSoonAfterABurstThatOverrunsTheBuffer) {
    constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
    vesk_test::SwitchLab lab(8);
    ASSERT_TRUE(lab.ok());
    vesk_test::NetnsEntry in(lab.switch_ns());
    ASSERT_TRUE(in.ok());
    zet_clock_use_monotonic();
    nsm_client_free(handle()->nc);
    nsm_client *nc = nsm_client_create(handle(), 0);
    ASSERT_NE(nc, nullptr);
    ASSERT_EQ(nsm_client_set_rcvbuf(nc, 1024), 0);
    vesk_nsm_client_setup(handle(), nc);
    ASSERT_EQ(nsm_client_start(nc), 0);

    // Ports and link states as the daemon has them equal the kernel's.
    std::string diff;
    std::set<std::string> ports = {"ge1", "ge2", "ge3", "ge4", "ge5", "ge6", "ge7", "ge8"};
    auto matches = [&] {
        std::set<std::string> members;
        for (vesk_port *p : vesk_bridge_vlan_members(bridge(), 1))
            members.insert(p->name);
        if (members != ports)
            return diff = "port sets differ", false;
        for (const auto &name : ports) {
            struct interface *ifp = ifg_lookup_by_name(handle()->ifg, name.c_str());
            auto *p = static_cast<vesk_port *>(ifp->info);
            bool model_up = if_is_up(ifp) && (p->flags & kUp) == kUp && p->pstate == VESK_PORT_UP;
            bool model_down = !if_is_up(ifp) && p->pstate == VESK_PORT_DOWN;
            if ((lab.flags(name) & kUp) == kUp ? !model_up : !model_down)
                return diff = name + " link state differs", false;
        }
        return true;
    };
    ASSERT_TRUE(run_until(handle(), matches, 1s)) << "before: " << diff;
    // Every peer flaps 25 times, four stay down, three ports leave the bridge and one comes back.
    auto burst = std::async(std::launch::async, [&] {
        return vesk_test::sh(
            "n='ip -n " + lab.neighbour_ns() + "' s='ip -n " + lab.switch_ns() +
            "'; for r in $(seq 25); do for v in down up; do for i in $(seq 8); "
            "do echo link set n$i $v; done; done; done | $n -batch - && "
            "for i in 1 2 3 4; do $n link set n$i down; done && "
            "for i in 2 6 7; do $s link set ge$i nomaster; done && $s link set ge7 master br0");
    });
    run_until(
        handle(), [&] { return burst.wait_for(0s) == std::future_status::ready; }, 60s);
    ASSERT_TRUE(burst.get());
    const auto end = std::chrono::steady_clock::now();
    ports = {"ge1", "ge3", "ge4", "ge5", "ge7", "ge8"};
    ASSERT_TRUE(run_until(handle(), matches, 3s)) << diff;
    const auto took = std::chrono::steady_clock::now() - end;
    EXPECT_LE(took, 1s) << "the model matched the kernel " << took / 1ms << " ms after the burst";
    // The kernel settles its link states late; the model follows and stays equal.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(run_until(handle(), matches, 1s)) << diff;
    nsm_client_stats stats{};
    nsm_client_get_stats(handle()->nc, &stats);
    EXPECT_GT(stats.overruns, 0u) << "the buffer never overflowed: the test proves nothing";
    EXPECT_GT(stats.syncs, 1u);

    // A port that left, the bridge and no interface: nothing changes.
    for (unsigned ifindex : {if_nametoindex("ge2"), if_nametoindex("br0"), 999999u})
        EXPECT_EQ(vesk_send_port_state_to_nsm(handle(), ifindex, VESK_PORT_REQ_SHUTDOWN), -1);
    for (const char *name : {"ge1", "ge2", "br0"})
        EXPECT_NE(lab.flags(name) & IFF_UP, 0u) << name;
    EXPECT_TRUE(log().contains("not a port of bridge 1"));
    const uint64_t refused = stats.refused;
    nsm_client_get_stats(handle()->nc, &stats);
    EXPECT_EQ(stats.refused - refused, 3u);
}

// ge2, in VLAN 1 untagged and VLAN 100 tagged, sends each so; and ge1, in VLAN 100 alone, finds
// the hairpin loop behind it that sends its tagged frames back.
TEST_F(FrameSocket, TaggedFramesOnTheWireAndALoopFoundInTheirVlan) {
    vesk_test::SwitchLab lab(2);
    ASSERT_TRUE(lab.ok());
    const std::string ip = "ip -n " + lab.neighbour_ns() + " link ";
    ASSERT_TRUE(vesk_test::sh(ip + "add hp1 type bridge && " + ip + "set hp1 up && " + ip +
                              "set n1 master hp1 && " + ip +
                              "set n1 type bridge_slave hairpin on"));
    // A socket on n2 with the kernel's aux data, which gives up after 10 s.
    int peer = -1;
    {
        vesk_test::NetnsEntry there(lab.neighbour_ns());
        sockaddr_ll at{AF_PACKET, htons(ETH_P_ALL), int(if_nametoindex("n2")), 0, 0, 0, {}};
        peer = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        ASSERT_EQ(bind(peer, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
    }
    const int one = 1;
    const timeval ten_seconds{10, 0};
    setsockopt(peer, SOL_PACKET, PACKET_AUXDATA, &one, sizeof one);
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &ten_seconds, sizeof ten_seconds);
    // The VLAN of the next minimum-size ARP frame n2 receives: -1 untagged, -2 none.
    auto next_vlan = [&] {
        uint8_t frame[2048];
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(tpacket_auxdata))];
        for (;;) {
            sockaddr_ll from{};
            iovec iov{frame, sizeof frame};
            msghdr msg{&from, sizeof from, &iov, 1, control, sizeof control, 0};
            const ssize_t n = recvmsg(peer, &msg, 0);
            if (n < 0)
                return -2;
            const auto *aux = reinterpret_cast<tpacket_auxdata *>(CMSG_DATA(CMSG_FIRSTHDR(&msg)));
            if (from.sll_pkttype != PACKET_OUTGOING && n == 60 && frame[12] == 0x08 &&
                frame[13] == 0x06)
                return (aux->tp_status & TP_STATUS_VLAN_VALID) ? aux->tp_vlan_tci & 0x0fff : -1;
        }
    };
    vesk_test::NetnsEntry in(lab.switch_ns());
    ASSERT_TRUE(in.ok());
    std::snprintf(handle()->platform.frame, sizeof handle()->platform.frame, "packet");
    ASSERT_GE(vesk_sock_init(daemon()), 0) << std::strerror(errno);
    vesk_port *looped = make_port("ge1", if_nametoindex("ge1"), {100});
    vesk_port *plain = make_port("ge2", if_nametoindex("ge2"), {1, 100});
    plain->ifp->untagged[0] = 0x02;
    for (vesk_port *p : {looped, plain})
        p->ifp->bridge_ifindex = if_nametoindex("br0");
    make_interface("br0", if_nametoindex("br0"));
    reader_ = std::thread([zg = handle()] { vesk_recv_pkt_karsto(zg); });

    ASSERT_EQ(vesk_add_provlan_to_port(100, plain), 0);
    EXPECT_EQ(next_vlan(), 100);
    // The second VLAN starts on its own: its frame alone goes out, untagged.
    ASSERT_EQ(vesk_add_provlan_to_port(1, plain), 0);
    EXPECT_EQ(next_vlan(), -1);
    close(peer);

    ASSERT_EQ(vesk_add_provlan_to_port(100, looped), 0);
    ASSERT_TRUE(run_until(handle(), [&] {
        return vesk_find_provlan_from_port(100, looped)->is_loop == 1 &&
               looped->pstate == VESK_PORT_SHUTDOWN;
    }));
    EXPECT_EQ(vesk_port_loop_vlan_count(plain), 0u);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, if_nametoindex("ge1"));
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, shut down"));
}

} // namespace
