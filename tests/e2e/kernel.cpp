// The daemon's network services on the kernel backend, in this process, against a real Linux
// bridge in the lab's switch namespace; and, with a receive buffer far too small for a burst of
// link changes, the resynchronisation that follows lost events. Root only.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/model_fixture.h"
#include "support/switch_lab.h"
#include "support/wait_until.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using vesk_test::run_until;
using namespace std::chrono_literals;

constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
const uint8_t kBridgeMac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

// Types of the link messages for the interface under watch, in arrival order.
std::vector<int> link_messages;
uint32_t watched_ifindex;

int record_link(struct nsm_msg_header *header, void *arg, void *message) {
    if (static_cast<nsm_msg_link *>(message)->ifindex == watched_ifindex)
        link_messages.push_back(header->type);
    return vesk_nsm_recv_interface_state(header, arg, message);
}

class NsmKernel : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ModelFixture::SetUp();
        zet_clock_use_monotonic();
    }
    void TearDown() override {
        if (veskm != nullptr)
            ModelFixture::TearDown();
        in_.reset();
        lab_.reset();
    }
    // A lab of ports ge1..geN and a veth out0-out1 beside, this thread in its switch
    // namespace, and the kernel client of the daemon started there (with a receive buffer of
    // rcvbuf bytes when given).
    void start(int ports, int rcvbuf = 0) {
        lab_ = std::make_unique<vesk_test::SwitchLab>(ports);
        ASSERT_TRUE(lab_->ok());
        in_ = std::make_unique<vesk_test::NetnsEntry>(lab_->switch_ns());
        ASSERT_TRUE(in_->ok());
        ASSERT_TRUE(lab_->ip_switch("link add out0 type veth peer name out1") &&
                    lab_->ip_switch("link set out0 up") && lab_->ip_switch("link set out1 up"));
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
        run_until(veskm, [] { return false; }, 300ms);
        link_messages.clear();
    }
    static std::string ge(int i) { return "ge" + std::to_string(i); }
    static uint32_t index(const std::string &name) { return if_nametoindex(name.c_str()); }
    unsigned flags(const std::string &name) const { return lab_->flags(name); }
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

    std::unique_ptr<vesk_test::SwitchLab> lab_;
    std::unique_ptr<vesk_test::NetnsEntry> in_;
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
    auto kernel_ports = [&] {
        std::set<std::string> names;
        for (int i = 1; i <= kPorts; i++)
            if (vesk_test::run_shell("ip -n " + lab_->switch_ns() + " -o link show " + ge(i))
                    .out.find("master br0") != std::string::npos)
                names.insert(ge(i));
        return names;
    };
    ASSERT_TRUE(matches(kernel_ports())) << "before the burst: " << diff;
    // The burst: every peer flaps many times, four stay down, three ports leave the bridge and
    // one comes back.
    const std::string flaps = "/tmp/" + lab_->switch_ns() + ".flaps";
    const std::string moves = "/tmp/" + lab_->switch_ns() + ".moves";
    {
        std::ofstream out(flaps), move(moves);
        for (int r = 0; r < 50; r++)
            for (int i = 1; i <= kPorts; i++)
                out << "link set n" << i << (r % 2 == 0 ? " down" : " up") << "\n";
        for (int i = 1; i <= kPorts / 2; i++)
            out << "link set n" << i << " down\n";
        move << "link set ge2 nomaster\nlink set ge6 nomaster\nlink set ge7 nomaster\n"
             << "link set ge7 master br0\n";
    }
    std::atomic<bool> done{false};
    std::thread burst([&] {
        vesk_test::sh("ip -n " + lab_->neighbour_ns() + " -batch " + flaps + " && ip -n " +
                      lab_->switch_ns() + " -batch " + moves);
        done = true;
    });
    run_until(veskm, [&] { return done.load(); }, 60s);
    burst.join();
    const auto end = std::chrono::steady_clock::now();
    std::remove(flaps.c_str());
    std::remove(moves.c_str());
    const std::set<std::string> ports = kernel_ports();
    ASSERT_EQ(ports.size(), static_cast<size_t>(kPorts - 2));
    ASSERT_TRUE(run_until(veskm, [&] { return matches(ports); }, 3s)) << diff;
    const auto took = std::chrono::steady_clock::now() - end;
    std::printf("model matched the kernel %lld ms after the burst\n",
                static_cast<long long>(took / 1ms));
    EXPECT_LE(took, 1s);
    // The kernel settles its link states late; the model follows and stays equal.
    std::this_thread::sleep_for(1500ms);
    EXPECT_TRUE(run_until(veskm, [&] { return matches(ports); }, 1s)) << diff;
    nsm_client_stats stats{};
    nsm_client_get_stats(veskm->nc, &stats);
    std::printf("overruns %llu, full syncs %llu\n", (unsigned long long)stats.overruns,
                (unsigned long long)stats.syncs);
    EXPECT_GT(stats.overruns, 0u) << "the buffer never overflowed: the test proves nothing";
    EXPECT_GT(stats.syncs, 1u);
}

} // namespace
