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

#include <gtest/gtest.h>

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
        daemon_ = std::make_unique<DaemonProcess>(dir_);
        ASSERT_TRUE(
            daemon_->start({"-f", config_path_, "-P", "0"},
                           {"VESK_FRAME=" + wire_.spec(), "VESK_NSM=unix:" + dir_ + "/nsm.sock",
                            "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        ASSERT_TRUE(wire_.wait_hello()) << "veskd did not open its frame socket";
        ASSERT_TRUE(vty_.connect(dir_ + "/vty", std::chrono::seconds(10)));
        for (const char *line : {"configure terminal", "interface ge1", "loop-detect enable"})
            EXPECT_EQ(vty_.command(line), "") << line;
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
}

} // namespace
