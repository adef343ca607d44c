// Loop detection from end to end in a real veskd process on the socket backends: the test plays
// the wire (it sees every frame the daemon sends and decides what comes back) and a scripted
// network services module receives the port-state requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>

#include "support/daemon_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using vesk_test::SentFrame;

class FrameLoop : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(d_.start_on_sockets()); }
    SentFrame next() {
        SentFrame f;
        EXPECT_TRUE(d_.wire().next(f)) << "no detection frame";
        return f;
    }
    std::string state() { return vesk_test::read_file(d_.dir() + "/state"); }

    vesk_test::Veskd d_;
};

// Altered frames are refused; the port's own newest frame back is a loop: the port is shut
// down, counted, shown, kept in the state file across a restart, and released by force.
TEST_F(FrameLoop, OwnFrameBackShutsThePortDownAcrossARestart) {
    ASSERT_NO_FATAL_FAILURE(d_.configure({"interface ge1", "loop-detect enable"}));
    ASSERT_EQ(d_.cmd("debug loop-detect packet recv"), "Vesk packet receive debugging is on\n");
    SentFrame f = next();
    EXPECT_EQ(f.addr.ifindex, 5);
    EXPECT_EQ(f.addr.vid, 1);
    ASSERT_EQ(f.payload.size(), 46u);
    SentFrame foreign = f, forged = f;
    foreign.payload[13] ^= 0x01; // another station's sender address
    forged.payload[40] ^= 0x01;  // check values that this port never sent
    d_.reflect(foreign, 5);
    d_.reflect(forged, 5);
    EXPECT_TRUE(d_.logged("receive invalid VESK packet for error mac addr"));
    EXPECT_TRUE(d_.logged("receive invalid VESK packet for error checksum"));
    EXPECT_EQ(d_.nsm().order("wait-request 0.2"), "timeout");
    for (SentFrame newer; d_.wire().next(newer, 0);)
        f = newer;
    ASSERT_TRUE(d_.reflect(f, 5));
    ASSERT_EQ(d_.nsm().order("wait-request 10"), "request 5 1");
    EXPECT_TRUE(d_.logged("Detect a loop on the port ge1, shut down"));
    ASSERT_EQ(d_.nsm().order("link-down 5"), "ok"); // what the port's shutdown does to its link
    ASSERT_TRUE(d_.shows("show loop-detect interface ge1", "Port state: shutdown"));
    EXPECT_THAT(d_.cmd("show loop-detect events"),
                MatchesRegex("Time +Event +Port +Details\n"
                             "[-0-9]{10}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2} +loop +ge1 +"
                             "vlan 1, back on ge1, shutdown\n"));
    const std::string counters = d_.cmd("show loop-detect statistics interface ge1");
    EXPECT_THAT(counters, HasSubstr("Own frames back: 1\n"));
    EXPECT_THAT(counters, HasSubstr("Loops found: 1\n  Shutdowns: 1, blocks: 0, releases: 0"));
    auto shown = nlohmann::json::parse(d_.cmd("show loop-detect json"));
    EXPECT_EQ(shown["ports"][0]["state"], "shutdown");
    EXPECT_GE(shown["ports"][0]["resume_remaining"].get<int>(), 170);
    auto counted = nlohmann::json::parse(d_.cmd("show loop-detect statistics json"));
    EXPECT_EQ(counted["ports"][0]["shutdowns"], 1);
    EXPECT_GE(counted["receive_thread"]["frames_read"].get<int>(), 1);
    auto events = nlohmann::json::parse(d_.cmd("show loop-detect events json"));
    EXPECT_EQ(events["events"][0]["rx_port"], "ge1");

    ASSERT_EQ(d_.stop(), 0);
    EXPECT_THAT(state(), MatchesRegex("veskd-state 1\nshutdown 5 ge1 [0-9]+\n"));
    // As the kernel keeps ge1 after veskd shut it down and stopped: admin down; veskd again.
    for (const char *line : {"if-del 5", "if-add 5 ge1 off 02:00:00:00:00:05", "port-add 5 1"})
        ASSERT_EQ(d_.nsm().order(line), "ok") << line;
    ASSERT_NO_FATAL_FAILURE(d_.start_on_sockets());
    EXPECT_THAT(d_.cmd("show loop-detect interface ge1"),
                HasSubstr("Port state: shutdown\n  up remaining time: 17"));
    EXPECT_EQ(d_.nsm().order("wait-request 10"), "request 5 1")
        << "adopted, it is asked down again";
    ASSERT_NO_FATAL_FAILURE(d_.configure({"interface ge1", "loop-detect force up"}));
    EXPECT_EQ(d_.nsm().order("wait-request 10"), "request 5 2");
    EXPECT_THAT(d_.cmd("show loop-detect events"),
                HasSubstr(" release  ge1              force-up\n"));
    EXPECT_EQ(state(), "veskd-state 1\n");

    // A state file that is not veskd's is ignored whole.
    ASSERT_EQ(d_.stop(), 0);
    std::ofstream(d_.dir() + "/state") << "veskd-state 1\nshutdown 5 ge1 99999999999\nrm -rf /\n";
    ASSERT_NO_FATAL_FAILURE(d_.start_on_sockets());
    EXPECT_TRUE(d_.logged("state file " + d_.dir() + "/state is not veskd's (line 3); ignored"));
    EXPECT_THAT(d_.cmd("show loop-detect interface ge1"), HasSubstr("Port state: down\n"));
}

// The socket backend's peer tells of a MAC moving between ports: the port probes at once, long
// before its next frame (10 s after the start phase).
TEST_F(FrameLoop, ForwardingEntryMoveMakesThePortProbeAtOnce) {
    ASSERT_NO_FATAL_FAILURE(d_.configure({"interface ge1", "loop-detect enable"}));
    SentFrame f;
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(d_.wire().next(f)) << "start-phase frame " << i;
    EXPECT_FALSE(d_.wire().next(f, 1500)) << "a frame outside the start phase";
    ASSERT_EQ(d_.nsm().order("fdb-move 6 5"), "ok");
    ASSERT_TRUE(d_.wire().next(f, 1000)) << "no probe";
    EXPECT_EQ(f.addr.ifindex, 5);
    EXPECT_EQ(d_.nsm().order("fdb-move 6 9"), "error: forwarding-database move between interfaces "
                                              "that are no two ports");
    // The probe comes back on ge2: the loop is cut and kept as found by the probe.
    d_.reflect(f, 6);
    EXPECT_EQ(d_.nsm().order("wait-request 10"), "request 5 1");
    EXPECT_THAT(d_.cmd("show loop-detect events"),
                HasSubstr("vlan 1, back on ge2, shutdown, fast-detect probe\n"));
}

// Block and unblock reach the peer as port-state requests 4 and 8: reflected probes keep the
// port blocked, and two that do not come back lift the block.
TEST_F(FrameLoop, BlockedPortIsUnblockedOnceItsProbesStopComingBack) {
    ASSERT_NO_FATAL_FAILURE(
        d_.configure({"interface ge1", "loop-detect enable", "loop-detect loop block"}));
    d_.reflect(next(), 5);
    EXPECT_EQ(d_.nsm().order("wait-request 10"), "request 5 4");
    for (int probe = 0; probe < 2; probe++) {
        SentFrame f;
        ASSERT_TRUE(d_.wire().next(f)) << "probe " << probe;
        d_.reflect(f, 5);
    }
    EXPECT_EQ(d_.nsm().order("wait-request 0.5"), "timeout") << "still blocked while probes return";
    EXPECT_EQ(d_.nsm().order("wait-request 5"), "request 5 8");
    EXPECT_EQ(d_.log_count("Cancel a loop on the port ge1, unblock"), 1u);
    EXPECT_THAT(d_.cmd("show loop-detect events"),
                MatchesRegex(".*loop +ge1 +vlan 1, back on ge1, block\n"
                             ".* block +ge1 +\n.* unblock +ge1 +loop-gone\n"));
}

} // namespace
