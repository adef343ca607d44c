// Root only, on a Linux bridge in namespaces: the scenario files, and in process what a real veskd
// cannot show there (a tiny event buffer). Tagged VLANs need a filtering bridge: vlan_*.scn run
// in a qemu guest (vlan_guest.sh).
#include <future>
#include <net/if.h>
#include <set>
#include <thread>
#include <unistd.h>

#include "support/daemon_process.h"
#include "support/model_fixture.h"
#include "support/switch_lab.h"
#include "support/wait_until.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using namespace std::chrono_literals;
using vesk_test::run_until;

VESK_SCENARIOS(Lab, VESK_SOURCE_DIR "/tests/e2e/scenarios", "(?!storm_).*");
VESK_SCENARIOS(StormTest, VESK_SOURCE_DIR "/tests/e2e/scenarios", "storm_.*");

using NsmKernel = vesk_test::ModelFixture;

// The events lost to the burst are made good by reading the links again, at most every so often,
// soon after it; and the requests it then refuses are those for what is not a port of bridge 1.
TEST_F(NsmKernel, ModelMatchesTheKernelSoonAfterABurstThatOverrunsTheBuffer) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for network namespaces";
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

} // namespace
