// The daemon's peers fail under it: the network services module is killed and started again
// mid-run, and the wire behind the frame socket goes away. The daemon must keep serving its
// vty, keep its configuration, pick the module up again, and neither spin nor leak.
#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "integration/fault_rig.h"

namespace {

using namespace std::chrono_literals;
using vesk_fault::Rig;
using vesk_test::SentFrame;
using vesk_test::wait_for;

constexpr uint32_t kGe1 = 5;

void enable_ge1(Rig &rig) {
    for (const char *line : {"configure terminal", "interface ge1", "loop-detect enable",
                             "loop-detect protect vlan 10", "end"})
        ASSERT_EQ(rig.vty().command(line), "") << line;
}

// The next frame the daemon sends on ge1 for vid, skipping older ones.
bool next_frame(Rig &rig, uint16_t vid, SentFrame &out, int timeout_ms = 15000) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < until) {
        if (!rig.wire().next(out, 1000))
            continue;
        if (out.addr.ifindex == static_cast<int32_t>(kGe1) && out.addr.vid == vid)
            return true;
    }
    return false;
}

void drain(Rig &rig) {
    for (SentFrame old; rig.wire().next(old, 0);) {
    }
}

TEST(FaultPeers, NsmPeerKilledAndStartedAgainMidRun) {
    Rig rig("flt-nsm-");
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_NO_FATAL_FAILURE(enable_ge1(rig));
    SentFrame f;
    ASSERT_TRUE(next_frame(rig, 10, f)) << "no frame on ge1 VLAN 10";
    const std::string config = rig.vty().command("show running-config");
    const int descriptors = vesk_fault::open_descriptors(rig.pid());

    rig.nsm().kill_now();
    std::chrono::milliseconds took{};
    EXPECT_NE(vesk_fault::timed_command(rig.vty(), "show loop-detect", &took), "");
    EXPECT_LT(took, 1000ms) << "vty slow while the module is gone";
    EXPECT_TRUE(rig.alive());

    ASSERT_NO_FATAL_FAILURE(rig.start_nsm());
    EXPECT_EQ(rig.nsm().order("wait-client 15"), "client") << "veskd did not come back";
    EXPECT_EQ(rig.vty().command("show running-config"), config);

    // Detection works as before: a frame sent after the restart comes back, the port goes down.
    drain(rig);
    ASSERT_TRUE(next_frame(rig, 10, f)) << "ge1 stopped sending after the restart";
    ASSERT_TRUE(
        rig.wire().deliver(kGe1, f.addr.dst, f.addr.src, f.payload.data(), f.payload.size()));
    EXPECT_EQ(rig.nsm().order("wait-request 10"), "request 5 1");
    // The shutdown also rewrites the state file: a descriptor open for a moment is no leak.
    EXPECT_TRUE(vesk_test::wait_for(
        [&] { return vesk_fault::open_descriptors(rig.pid()) == descriptors; },
        std::chrono::seconds(2)))
        << "descriptors leaked: " << vesk_fault::open_descriptors(rig.pid()) << " for "
        << descriptors;
}

TEST(FaultPeers, NsmPeerKilledManyTimesLeaksNothing) {
    Rig rig("flt-nsm-");
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_NO_FATAL_FAILURE(enable_ge1(rig));
    const int descriptors = vesk_fault::open_descriptors(rig.pid());
    const long rss = vesk_fault::proc_status_kib(rig.pid(), "VmRSS");
    for (int round = 0; round < 10; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        rig.nsm().kill_now();
        ASSERT_NO_FATAL_FAILURE(rig.start_nsm());
        ASSERT_EQ(rig.nsm().order("wait-client 15"), "client");
    }
    EXPECT_TRUE(rig.alive());
    EXPECT_EQ(vesk_fault::open_descriptors(rig.pid()), descriptors) << "descriptors leaked";
    if (vesk_fault::kMemoryMeasurable) {
        EXPECT_LT(vesk_fault::proc_status_kib(rig.pid(), "VmRSS"), rss + 1024) << "memory grew";
    }
}

TEST(FaultPeers, WirePeerGoneNeitherStopsNorSpins) {
    Rig rig("flt-wire-");
    ASSERT_NO_FATAL_FAILURE(rig.start());
    ASSERT_NO_FATAL_FAILURE(enable_ge1(rig));
    SentFrame f;
    ASSERT_TRUE(next_frame(rig, 10, f)) << "no frame on ge1 VLAN 10";
    rig.drop_wire();

    // Sends fail from now on; ge1 keeps its 10-second cadence and the receive thread waits.
    const double cpu_before = vesk_fault::cpu_seconds(rig.pid());
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_FALSE(wait_for([&] { return !rig.alive(); }, 3s)) << "veskd ended";
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double cpu = vesk_fault::cpu_seconds(rig.pid()) - cpu_before;
    EXPECT_LT(cpu, 0.1 * wall) << "veskd used " << cpu << " s of CPU in " << wall << " s";

    std::chrono::milliseconds took{};
    EXPECT_NE(vesk_fault::timed_command(rig.vty(), "show loop-detect", &took), "");
    EXPECT_LT(took, 1000ms);
    EXPECT_EQ(rig.vty().command("configure terminal"), "");
    EXPECT_EQ(rig.vty().command("interface ge2"), "");
    EXPECT_EQ(rig.vty().command("loop-detect enable"), "");
    EXPECT_TRUE(rig.alive());
}

} // namespace
