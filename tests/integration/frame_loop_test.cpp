// Loop detection from end to end in a real veskd process on the socket backends: the test plays
// the wire (it sees every frame the daemon sends and decides what comes back) and a scripted
// network services module receives the port-state requests.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "integration/nsm_peer_process.h"
#include "support/daemon_process.h"
#include "support/wire_peer.h"

namespace {

using vesk_test::DaemonProcess;
using vesk_test::SentFrame;
using vesk_test::VtyClient;

constexpr uint32_t kGe1 = 5;

// The scriptable network services module, ordered line by line through its standard input.
using NsmPeer = nsm_test::PeerProcess;

class FrameLoopProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = vesk_test::make_temp_dir("frm-loop-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        config_path_ = dir_ + "/veskd.conf";
        std::ofstream(config_path_) << "log file " << log_path_ << "\n";
        nsm_ = std::make_unique<NsmPeer>(dir_ + "/nsm.sock");
        for (const char *line :
             {"if-add 5 ge1 up 02:00:00:00:00:05", "bridge-add 1", "vlan-add 1 1", "port-add 5 1"})
            ASSERT_EQ(nsm_->order(line), "ok") << line;
        start_daemon();
        for (const char *line : {"configure terminal", "interface ge1", "loop-detect enable"})
            EXPECT_EQ(vty_.command(line), "") << line;
    }
    void start_daemon() {
        vty_.close();
        daemon_ = std::make_unique<DaemonProcess>(dir_);
        ASSERT_TRUE(
            daemon_->start({"-f", config_path_, "-P", "0"},
                           {"VESK_FRAME=" + wire_.spec(), "VESK_NSM=unix:" + dir_ + "/nsm.sock",
                            "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        ASSERT_TRUE(wire_.wait_hello()) << "veskd did not open its frame socket";
        ASSERT_TRUE(vty_.connect(dir_ + "/vty", std::chrono::seconds(10)));
    }
    void stop_daemon() {
        ASSERT_EQ(daemon_->signal(SIGTERM), 0);
        int status = 0;
        ASSERT_TRUE(daemon_->wait_exit(&status));
    }
    // As the kernel keeps it after veskd shut it down and stopped: admin down.
    void leave_ge1_admin_down() {
        for (const char *line : {"if-del 5", "if-add 5 ge1 off 02:00:00:00:00:05", "port-add 5 1"})
            ASSERT_EQ(nsm_->order(line), "ok") << line;
    }
    bool log_has(const std::string &text) {
        return vesk_test::wait_for(
            [&] { return vesk_test::read_file(log_path_).find(text) != std::string::npos; });
    }
    void TearDown() override {
        if (HasFailure() && daemon_ != nullptr)
            std::cerr << "---- veskd log ----\n"
                      << vesk_test::read_file(log_path_) << "---- stderr ----\n"
                      << daemon_->err() << "-------------------\n";
        daemon_.reset();
        nsm_.reset();
        vesk_test::remove_dir(dir_);
    }
    void reflect(const SentFrame &f, uint32_t ifindex) {
        ASSERT_TRUE(
            wire_.deliver(ifindex, f.addr.dst, f.addr.src, f.payload.data(), f.payload.size()));
    }

    std::string dir_;
    std::string log_path_;
    std::string config_path_;
    vesk_test::WirePeer wire_;
    std::unique_ptr<NsmPeer> nsm_;
    std::unique_ptr<DaemonProcess> daemon_;
    VtyClient vty_;
};

TEST_F(FrameLoopProcessTest, ReflectedFrameShutsThePortDown) {
    SentFrame f;
    ASSERT_TRUE(wire_.next(f)) << "no detection frame on ge1";
    EXPECT_EQ(f.addr.ifindex, static_cast<int32_t>(kGe1));
    EXPECT_EQ(f.addr.vid, 1);
    ASSERT_EQ(f.payload.size(), 46u);
    reflect(f, kGe1);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1");
    EXPECT_TRUE(vesk_test::wait_for([&] {
        return vesk_test::read_file(log_path_).find("Detect a loop on the port ge1, shut down") !=
               std::string::npos;
    }));
}

TEST_F(FrameLoopProcessTest, AlteredFramesAreNoLoop) {
    ASSERT_EQ(vty_.command("end"), "");
    ASSERT_EQ(vty_.command("debug loop-detect packet recv"),
              "Vesk packet receive debugging is on\n");
    SentFrame f;
    ASSERT_TRUE(wire_.next(f));
    SentFrame foreign = f;
    foreign.payload[13] ^= 0x01; // another station's sender address
    SentFrame forged = f;
    forged.payload[40] ^= 0x01; // check values that this port never sent
    reflect(foreign, kGe1);
    reflect(forged, kGe1);
    EXPECT_TRUE(vesk_test::wait_for([&] {
        std::string log = vesk_test::read_file(log_path_);
        return log.find("receive invalid VESK packet for error mac addr") != std::string::npos &&
               log.find("receive invalid VESK packet for error checksum") != std::string::npos;
    }));
    EXPECT_EQ(nsm_->order("wait-request 0.2"), "timeout");
    // The newest frame the port sent is still recognised.
    for (SentFrame newer; wire_.next(newer, 0);)
        f = newer;
    reflect(f, kGe1);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1");
}

TEST_F(FrameLoopProcessTest, ALoopIsRecordedAndItsShutdownOutlivesARestart) {
    SentFrame f;
    ASSERT_TRUE(wire_.next(f));
    reflect(f, kGe1);
    ASSERT_EQ(nsm_->order("wait-request 10"), "request 5 1");
    ASSERT_EQ(nsm_->order("link-down 5"), "ok"); // what the port's shutdown does to its link
    ASSERT_EQ(vty_.command("end"), "");
    ASSERT_TRUE(vesk_test::wait_for([&] {
        return vty_.command("show loop-detect interface ge1").find("Port state: shutdown") !=
               std::string::npos;
    }));
    EXPECT_THAT(vty_.command("show loop-detect events"),
                testing::MatchesRegex("Time +Event +Port +Details\n"
                                      "[-0-9]{10}T[0-9:]{8}[+-][0-9]{2}:[0-9]{2} +loop +ge1 +"
                                      "vlan 1, back on ge1, shutdown\n"));
    const std::string counters = vty_.command("show loop-detect statistics interface ge1");
    EXPECT_THAT(counters, testing::HasSubstr("Own frames back: 1\n"));
    EXPECT_THAT(counters,
                testing::HasSubstr("Loops found: 1\n  Shutdowns: 1, blocks: 0, releases: 0"));
    auto shown = nlohmann::json::parse(vty_.command("show loop-detect json"));
    EXPECT_EQ(shown["ports"][0]["state"], "shutdown");
    EXPECT_GE(shown["ports"][0]["resume_remaining"].get<int>(), 170);
    auto counted = nlohmann::json::parse(vty_.command("show loop-detect statistics json"));
    EXPECT_EQ(counted["ports"][0]["shutdowns"], 1);
    EXPECT_GE(counted["receive_thread"]["frames_read"].get<int>(), 1);
    auto events = nlohmann::json::parse(vty_.command("show loop-detect events json"));
    EXPECT_EQ(events["events"][0]["rx_port"], "ge1");

    stop_daemon();
    EXPECT_THAT(vesk_test::read_file(dir_ + "/state"),
                testing::MatchesRegex("veskd-state 1\nshutdown 5 ge1 [0-9]+\n"));
    leave_ge1_admin_down();
    start_daemon();
    const std::string port = vty_.command("show loop-detect interface ge1");
    EXPECT_THAT(port, testing::HasSubstr("Port state: shutdown\n  up remaining time: 17"));
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1") << "adopted, it is asked down again";
    for (const char *line : {"configure terminal", "interface ge1", "loop-detect force up", "end"})
        ASSERT_EQ(vty_.command(line), "") << line;
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 2");
    EXPECT_THAT(vty_.command("show loop-detect events"),
                testing::HasSubstr(" release  ge1              force-up\n"));
    EXPECT_EQ(vesk_test::read_file(dir_ + "/state"), "veskd-state 1\n");
}

TEST_F(FrameLoopProcessTest, AStateFileThatIsNotVeskdsIsIgnored) {
    stop_daemon();
    std::ofstream(dir_ + "/state") << "veskd-state 1\nshutdown 5 ge1 99999999999\nrm -rf /\n";
    leave_ge1_admin_down();
    start_daemon();
    EXPECT_TRUE(log_has("state file " + dir_ + "/state is not veskd's (line 3); ignored"));
    EXPECT_THAT(vty_.command("show loop-detect interface ge1"),
                testing::HasSubstr("Port state: down\n"));
}

// The socket backend's peer tells of a MAC moving between ports: the port probes at once, long
// before its next frame (10 s after the start phase).
TEST_F(FrameLoopProcessTest, ForwardingEntryMoveMakesThePortProbeAtOnce) {
    for (const char *line : {"if-add 6 ge2 up 02:00:00:00:00:05", "port-add 6 1"})
        ASSERT_EQ(nsm_->order(line), "ok") << line;
    SentFrame f;
    for (int i = 0; i < 3; i++)
        ASSERT_TRUE(wire_.next(f)) << "start-phase frame " << i;
    EXPECT_FALSE(wire_.next(f, 1500)) << "a frame outside the start phase";
    ASSERT_EQ(nsm_->order("fdb-move 6 5"), "ok");
    ASSERT_TRUE(wire_.next(f, 1000)) << "no probe";
    EXPECT_EQ(f.addr.ifindex, static_cast<int32_t>(kGe1));
    EXPECT_EQ(nsm_->order("fdb-move 6 9"), "error: forwarding-database move between interfaces "
                                           "that are no two ports");
    // The probe comes back on ge2: the loop is cut and kept as found by the probe.
    reflect(f, 6);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1");
    ASSERT_EQ(vty_.command("end"), "");
    EXPECT_THAT(vty_.command("show loop-detect events"),
                testing::HasSubstr("vlan 1, back on ge2, shutdown, fast-detect probe\n"));
}

// Block and unblock reach the peer as port-state requests 4 and 8: reflected probes keep the
// port blocked, and two that do not come back lift the block.
TEST_F(FrameLoopProcessTest, BlockedPortIsUnblockedOnceItsProbesStopComingBack) {
    ASSERT_EQ(vty_.command("loop-detect loop block"), "");
    SentFrame f;
    ASSERT_TRUE(wire_.next(f));
    reflect(f, kGe1);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 4");
    for (int probe = 0; probe < 2; probe++) {
        ASSERT_TRUE(wire_.next(f)) << "probe " << probe;
        reflect(f, kGe1);
    }
    EXPECT_EQ(nsm_->order("wait-request 0.5"), "timeout") << "still blocked while probes return";
    EXPECT_EQ(nsm_->order("wait-request 5"), "request 5 8");
    EXPECT_NE(vesk_test::read_file(log_path_).find("Cancel a loop on the port ge1, unblock"),
              std::string::npos);
    ASSERT_EQ(vty_.command("end"), "");
    EXPECT_THAT(vty_.command("show loop-detect events"),
                testing::MatchesRegex(".*loop +ge1 +vlan 1, back on ge1, block\n"
                                      ".* block +ge1 +\n.* unblock +ge1 +loop-gone\n"));
}

} // namespace
