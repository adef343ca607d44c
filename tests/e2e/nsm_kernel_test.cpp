// The daemon's network services link against a real Linux bridge in a network namespace.
#include <chrono>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "e2e/nsm_daemon_model.h"
#include "e2e/nsm_netns.h"
#include "support/log_capture.h"
#include "support/wait_until.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using nsm_test::NetNs;
using vesk_test::run_until;

constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING;
const uint8_t kBridgeMac[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};

// Types of the link messages for the interface under watch, in arrival order.
std::vector<int> link_messages;
uint32_t watched_ifindex;

int record_link(struct nsm_msg_header *header, void *arg, void *message) {
    if (static_cast<nsm_msg_link *>(message)->ifindex == watched_ifindex)
        link_messages.push_back(header->type);
    return vesk_nsm_recv_interface_state(header, arg, message);
}

class NsmKernel : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ns_ = std::make_unique<NetNs>();
        ASSERT_TRUE(ns_->ok()) << "cannot enter namespace " << ns_->name();
        ASSERT_TRUE(ns_->ip("link add br0 type bridge"));
        ASSERT_TRUE(ns_->ip("link set br0 address 02:00:00:00:01:00"));
        for (int i = 1; i <= 2; i++)
            ASSERT_TRUE(add_port("vp" + std::to_string(i), "vq" + std::to_string(i), i));
        ASSERT_TRUE(ns_->ip("link add out0 type veth peer name out1"));
        for (const char *name : {"br0", "out0", "out1"})
            ASSERT_TRUE(ns_->ip(std::string("link set ") + name + " up"));
        ASSERT_TRUE(wait_kernel_running("vp1") && wait_kernel_running("vp2"));

        link_messages.clear();
        watched_ifindex = NetNs::index("vp1");
        ASSERT_NO_FATAL_FAILURE(nsm_test::start_daemon_model(ZLOG_DEST_STDERR, log_));
        ASSERT_EQ(vesk_nsm_init(veskm), 0);
        nsm_client_set_callback(veskm->nc, NSM_MSG_LINK_UP, record_link);
        nsm_client_set_callback(veskm->nc, NSM_MSG_LINK_DOWN, record_link);
    }

    void TearDown() override {
        if (HasFailure() && log_ != nullptr)
            std::fprintf(stderr, "daemon log:\n%s\n", log_->text().c_str());
        log_.reset();
        if (veskm != nullptr) {
            nsm_test::free_daemon_model(veskm);
            lib_stop(veskm);
            for (int type = MTYPE_VESK_MASTER; type <= MTYPE_VESK_PROVLAN; type++)
                EXPECT_EQ(memory_live(type), 0) << "live records of allocation type " << type;
        }
        veskm = nullptr;
        ns_.reset();
    }

    bool add_port(const std::string &port, const std::string &peer, int n) {
        std::string mac = "02:00:00:00:00:0" + std::to_string(n);
        return ns_->ip("link add " + port + " type veth peer name " + peer) &&
               ns_->ip("link set " + port + " address " + mac) &&
               ns_->ip("link set " + port + " master br0") && ns_->ip("link set " + port + " up") &&
               ns_->ip("link set " + peer + " up");
    }

    static bool wait_kernel_running(const std::string &name) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while ((NetNs::flags(name) & kUpRunning) != kUpRunning)
            if (std::chrono::steady_clock::now() > deadline)
                return false;
        return true;
    }

    vesk_bridge *bridge_one() const {
        return vesk_find_bridge_from_master(VESK_BRIDGE_NAME, vesk_get_master(veskm));
    }

    vesk_port *port(const std::string &name) const {
        struct interface *ifp = ifg_lookup_by_name(veskm->ifg, name.c_str());
        return ifp != nullptr ? static_cast<vesk_port *>(ifp->info) : nullptr;
    }

    std::set<std::string> vlan_members(uint16_t vid) const {
        std::set<std::string> names;
        vesk_vlan *vlan = vesk_find_vlan_from_bridge(vid, bridge_one());
        if (vlan == nullptr)
            return names;
        for (listnode *n = listhead(vlan->vlan_port_list); n != nullptr; n = listnextnode(n))
            names.insert(static_cast<vesk_port *>(listgetdata(n))->name);
        return names;
    }

    size_t port_count() const { return listcount(bridge_one()->port_list); }

    template <class Done> bool wait(Done done) {
        return run_until(veskm, done, std::chrono::seconds(5));
    }

    std::unique_ptr<NetNs> ns_;
    std::unique_ptr<vesk_test::LogCapture> log_;
};

TEST_F(NsmKernel, StartupFindsBridgeOneWithExactlyItsTwoPortsInVlanOne) {
    ASSERT_NE(bridge_one(), nullptr);
    EXPECT_EQ(port_count(), 2u);
    EXPECT_EQ(vlan_members(1), (std::set<std::string>{"vp1", "vp2"}));
    ASSERT_NE(port("vp1"), nullptr);
    ASSERT_NE(port("vp2"), nullptr);
    EXPECT_EQ(port("out0"), nullptr);
    EXPECT_NE(ifg_lookup_by_name(veskm->ifg, "out0"), nullptr);
    // Ports that were up at start-up run from the start, with the bridge's MAC.
    for (const char *name : {"vp1", "vp2"}) {
        EXPECT_EQ(port(name)->pstate, VESK_PORT_UP) << name;
        EXPECT_EQ(std::memcmp(port(name)->mac_address, kBridgeMac, 6), 0) << name;
    }
    struct interface *vp1 = ifg_lookup_by_name(veskm->ifg, "vp1");
    EXPECT_EQ(vp1->bridge_ifindex, NetNs::index("br0"));
    EXPECT_EQ(vp1->untagged[0] & 0x02, 0x02) << "VLAN 1 is untagged on a plain bridge";
}

TEST_F(NsmKernel, LinkDownAndUpArriveAsThirtyAndTwentyNine) {
    vesk_port *vp1 = port("vp1");
    ASSERT_NE(vp1, nullptr);
    ASSERT_TRUE(ns_->ip("link set vq1 down"));
    ASSERT_TRUE(wait([&] { return vp1->pstate == VESK_PORT_DOWN; }));
    EXPECT_EQ(link_messages, std::vector<int>{NSM_MSG_LINK_DOWN});
    ASSERT_TRUE(ns_->ip("link set vq1 up"));
    ASSERT_TRUE(wait([&] { return vp1->pstate == VESK_PORT_UP; }));
    EXPECT_EQ(link_messages, (std::vector<int>{NSM_MSG_LINK_DOWN, NSM_MSG_LINK_UP}));
    EXPECT_EQ(vp1->flags & kUpRunning, kUpRunning);
}

TEST_F(NsmKernel, ShutdownRequestSetsThePortAdminDownAndTheReleaseSetsItUp) {
    vesk_port *vp1 = port("vp1");
    ASSERT_NE(vp1, nullptr);
    vesk_set_port_state(vp1, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(NetNs::flags("vp1") & IFF_UP, 0u);
    EXPECT_TRUE(log_->contains("Detect a loop on the port vp1, shut down"));
    // The link-down that follows leaves the port shut down.
    ASSERT_TRUE(wait([&] { return !link_messages.empty(); }));
    EXPECT_EQ(vp1->pstate, VESK_PORT_SHUTDOWN);

    vesk_set_port_state(vp1, VESK_PORT_NOSHUTDOWN);
    EXPECT_NE(NetNs::flags("vp1") & IFF_UP, 0u);
    ASSERT_TRUE(wait([&] { return vp1->pstate == VESK_PORT_UP; }));
    EXPECT_EQ(link_messages, (std::vector<int>{NSM_MSG_LINK_DOWN, NSM_MSG_LINK_UP}));
}

TEST_F(NsmKernel, RequestsOutsideBridgeOneChangeNothing) {
    uint32_t out0 = NetNs::index("out0");
    uint32_t br0 = NetNs::index("br0");
    EXPECT_EQ(vesk_send_port_state_to_nsm(out0, VESK_PORT_REQ_SHUTDOWN), -1);
    EXPECT_EQ(vesk_send_port_state_to_nsm(br0, VESK_PORT_REQ_SHUTDOWN), -1);
    EXPECT_EQ(vesk_send_port_state_to_nsm(999999, VESK_PORT_REQ_SHUTDOWN), -1);
    EXPECT_NE(NetNs::flags("out0") & IFF_UP, 0u);
    EXPECT_NE(NetNs::flags("br0") & IFF_UP, 0u);
    EXPECT_TRUE(log_->contains("not a port of bridge 1"));
    // A record with both flags set is refused as well.
    vesk_port_state_msg both = {0x0003, 0, NetNs::index("vp1")};
    EXPECT_EQ(nsm_client_send_vesk_message(veskm->nc, &both, NSM_MSG_VESK_PORT_STATE), -1);
    EXPECT_NE(NetNs::flags("vp1") & IFF_UP, 0u);
    nsm_client_stats stats{};
    nsm_client_get_stats(veskm->nc, &stats);
    EXPECT_EQ(stats.refused, 4u);
}

TEST_F(NsmKernel, PortLeavingTheBridgeLeavesItsVlansAndStaysAPort) {
    ASSERT_TRUE(ns_->ip("link set vp1 nomaster"));
    ASSERT_TRUE(wait([&] { return vlan_members(1) == std::set<std::string>{"vp2"}; }));
    EXPECT_NE(port("vp1"), nullptr);
    EXPECT_EQ(vesk_send_port_state_to_nsm(NetNs::index("vp1"), VESK_PORT_REQ_SHUTDOWN), -1);
    ASSERT_TRUE(ns_->ip("link set vp1 master br0"));
    ASSERT_TRUE(wait([&] { return vlan_members(1).size() == 2; }));
}

TEST_F(NsmKernel, DeletedInterfaceLosesItsPortAndARecreatedOneIsNew) {
    uint32_t old_index = NetNs::index("vp2");
    long ports_before = memory_live(MTYPE_VESK_PORT);
    ASSERT_TRUE(ns_->ip("link del vq2"));
    ASSERT_TRUE(wait([&] { return port_count() == 1; }));
    EXPECT_EQ(ifg_lookup_by_index(veskm->ifg, old_index), nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), ports_before - 1);
    ASSERT_TRUE(add_port("vp2", "vq2", 2));
    ASSERT_TRUE(wait([&] { return port("vp2") != nullptr && port_count() == 2; }));
    EXPECT_NE(port("vp2")->ifindex, old_index);
    EXPECT_EQ(vlan_members(1), (std::set<std::string>{"vp1", "vp2"}));
    ASSERT_TRUE(wait([&] { return port("vp2")->pstate == VESK_PORT_UP; }));
}

TEST_F(NsmKernel, OtherBridgesKeepTheirNamesAndGetNoPortMessages) {
    ASSERT_TRUE(ns_->ip("link add br9 type bridge"));
    ASSERT_TRUE(ns_->ip("link set out0 master br9"));
    vesk_master *master = vesk_get_master(veskm);
    ASSERT_TRUE(wait([&] { return vesk_find_bridge_from_master("br9", master) != nullptr; }));
    ASSERT_TRUE(wait([&] {
        return ifg_lookup_by_name(veskm->ifg, "out0")->bridge_ifindex == NetNs::index("br9");
    }));
    EXPECT_EQ(port("out0"), nullptr);
    EXPECT_EQ(vesk_send_port_state_to_nsm(NetNs::index("out0"), VESK_PORT_REQ_SHUTDOWN), -1);
    EXPECT_EQ(port_count(), 2u);
}

} // namespace
