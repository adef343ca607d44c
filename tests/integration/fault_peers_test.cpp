// The daemon's peers fail under it: the network services module is killed and started again
// mid-run, and the wire behind the frame socket goes away. The daemon must keep serving its
// vty, keep its configuration, pick the module up again, and neither spin nor leak.
#include <gtest/gtest.h>

#include "support/daemon_process.h"

namespace {

using namespace std::chrono_literals;
using vesk_test::SentFrame;
using vesk_test::wait_for;

constexpr uint32_t kGe1 = 5;

class FaultPeers : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
        ASSERT_NO_FATAL_FAILURE(
            rig.configure({"interface ge1", "loop-detect enable", "loop-detect protect vlan 10"}));
    }
    vesk_test::Veskd rig;
};

TEST_F(FaultPeers, NsmPeerKilledAndStartedAgainMidRun) {
    SentFrame f;
    ASSERT_TRUE(rig.next_frame(kGe1, 10, f)) << "no frame on ge1 VLAN 10";
    const std::string config = rig.cmd("show running-config");
    const int descriptors = vesk_test::open_descriptors(rig.pid());

    rig.nsm().kill_now();
    std::chrono::milliseconds took{};
    EXPECT_NE(rig.vty().command("show loop-detect", 10s, &took), "");
    EXPECT_LT(took, 1000ms) << "vty slow while the module is gone";
    EXPECT_TRUE(rig.alive());

    ASSERT_NO_FATAL_FAILURE(rig.start_nsm());
    EXPECT_EQ(rig.nsm().order("wait-client 15"), "client") << "veskd did not come back";
    EXPECT_EQ(rig.cmd("show running-config"), config);
    // The peer's state is there again as soon as the daemon says so.
    std::string vlans;
    EXPECT_TRUE(rig.shows("show loop-detect vlan", "10                      ge1", &vlans)) << vlans;
    EXPECT_NE(vlans.find("1                       ge1 ge2"), std::string::npos) << vlans;

    // Detection works as before: a frame sent after the restart comes back, the port goes down.
    rig.drain_wire();
    ASSERT_TRUE(rig.next_frame(kGe1, 10, f)) << "ge1 stopped sending after the restart";
    ASSERT_TRUE(rig.reflect(f, kGe1));
    EXPECT_EQ(rig.nsm().order("wait-request 10"), "request 5 1");
    // The shutdown also rewrites the state file: a descriptor open for a moment is no leak.
    EXPECT_TRUE(
        vesk_test::wait_for([&] { return vesk_test::open_descriptors(rig.pid()) == descriptors; },
                            std::chrono::seconds(2)))
        << "descriptors leaked: " << vesk_test::open_descriptors(rig.pid()) << " for "
        << descriptors;
}

TEST_F(FaultPeers, NsmPeerKilledManyTimesLeaksNothing) {
    const int descriptors = vesk_test::open_descriptors(rig.pid());
    const long rss = vesk_test::proc_status_kib(rig.pid(), "VmRSS");
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        rig.nsm().kill_now();
        ASSERT_NO_FATAL_FAILURE(rig.start_nsm());
        ASSERT_EQ(rig.nsm().order("wait-client 15"), "client");
    }
    EXPECT_TRUE(rig.alive());
    EXPECT_EQ(vesk_test::open_descriptors(rig.pid()), descriptors) << "descriptors leaked";
    if (vesk_test::kMemoryMeasurable) {
        EXPECT_LT(vesk_test::proc_status_kib(rig.pid(), "VmRSS"), rss + 1024) << "memory grew";
    }
}

TEST_F(FaultPeers, WirePeerGoneNeitherStopsNorSpins) {
    SentFrame f;
    ASSERT_TRUE(rig.next_frame(kGe1, 10, f)) << "no frame on ge1 VLAN 10";
    rig.drop_wire();

    // Sends fail from now on; ge1 keeps its 10-second cadence and the receive thread waits.
    const double cpu_before = vesk_test::cpu_seconds(rig.pid());
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_for([&] { return !rig.alive(); }, 3s)) << "veskd ended";
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double cpu = vesk_test::cpu_seconds(rig.pid()) - cpu_before;
    EXPECT_LT(cpu, 0.1 * wall) << "veskd used " << cpu << " s of CPU in " << wall << " s";

    std::chrono::milliseconds took{};
    EXPECT_NE(rig.vty().command("show loop-detect", 10s, &took), "");
    EXPECT_LT(took, 1000ms);
    EXPECT_NO_FATAL_FAILURE(rig.configure({"interface ge2", "loop-detect enable"}));
    EXPECT_TRUE(rig.alive());
}

} // namespace
