// The running configuration survives a restart: a real veskd on the socket backends is
// configured through its vty with every interface command, writes its configuration with
// "write", is stopped and started again on the same file, and shows the same running
// configuration and the same port states.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "integration/nsm_peer_process.h"
#include "support/daemon_process.h"
#include "support/wire_peer.h"

namespace {

using vesk_test::DaemonProcess;
using vesk_test::read_file;
using vesk_test::VtyClient;

using NsmPeer = nsm_test::PeerProcess;

// What an operator and the management interface see of the daemon's state.
struct Views {
    std::string running;
    std::string show;
    std::string ports;
    std::string states;
};

class RunningConfigTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = vesk_test::make_temp_dir("dmn-rcfg-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        config_path_ = dir_ + "/veskd.conf";
        std::ofstream(config_path_) << "log file " << log_path_ << "\n";
        peer_ = std::make_unique<NsmPeer>(dir_ + "/nsm.sock");
        for (const char *line :
             {"if-add 5 ge1 up", "if-add 6 ge2 up", "if-add 7 ge3 up", "if-add 8 ge4 up",
              "if-add 9 xe1 up", "if-add 10 lo up", "bridge-add 1", "vlan-add 1 1", "vlan-add 1 5",
              "vlan-add 1 7", "vlan-add 1 8", "port-add 5 1 5 7", "port-add 6 1 5", "port-add 7 5",
              "port-add 8 1 8", "port-add 9 1"})
            ASSERT_EQ(peer_->order(line), "ok") << line;
    }

    void TearDown() override {
        if (HasFailure() && daemon_ != nullptr)
            std::cerr << "---- veskd log ----\n"
                      << read_file(log_path_) << "---- stderr ----\n"
                      << daemon_->err() << "-------------------\n";
        vty_.reset();
        daemon_.reset();
        peer_.reset();
        vesk_test::remove_dir(dir_);
    }

    // Starts veskd on the configuration file and connects to its vty.
    void start() {
        daemon_ = std::make_unique<DaemonProcess>(dir_);
        std::vector<std::string> env = {"VESK_FRAME=" + wire_.spec(),
                                        "VESK_NSM=unix:" + dir_ + "/nsm.sock",
                                        "VESK_VTY_SOCKET=" + dir_ + "/vty"};
        ASSERT_TRUE(daemon_->start({"-f", config_path_, "-P", "0"}, env));
        vty_ = std::make_unique<VtyClient>();
        if (!vty_->connect(dir_ + "/vty", std::chrono::seconds(10))) {
            int status = 0;
            bool ended = daemon_->wait_exit(&status, std::chrono::seconds(1));
            FAIL() << "the vty of veskd did not answer; ended " << ended << " status " << status;
        }
    }

    void stop() {
        vty_.reset();
        ASSERT_EQ(daemon_->signal(SIGTERM), 0);
        int status = 0;
        ASSERT_TRUE(daemon_->wait_exit(&status)) << "veskd did not stop";
        // The frames the daemon sent would fill the wire's queue and refuse the next hello.
        vesk_test::SentFrame frame;
        while (wire_.next(frame, 0)) {
        }
    }

    std::string command(const std::string &line) { return vty_->command(line); }

    // Starts veskd again, from the file it wrote, and compares every view with before.
    void expect_same_views_after_restart(const Views &before) {
        ASSERT_NO_FATAL_FAILURE(start());
        Views after = views();
        EXPECT_EQ(after.running, before.running);
        EXPECT_EQ(after.show, before.show);
        EXPECT_EQ(after.ports, before.ports);
        EXPECT_EQ(after.states, before.states);
        ASSERT_NO_FATAL_FAILURE(stop());
    }
    Views views() {
        return {command("show running-config"), command("show loop-detect"),
                command("show wmi port loopback infomation"), command("show wmi loop-detect")};
    }

    std::string dir_;
    std::string log_path_;
    std::string config_path_;
    vesk_test::WirePeer wire_;
    std::unique_ptr<NsmPeer> peer_;
    std::unique_ptr<DaemonProcess> daemon_;
    std::unique_ptr<VtyClient> vty_;
};

TEST_F(RunningConfigTest, WriteRestartAndShowGiveTheSameConfigurationAndPortStates) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char *line : {"configure terminal",
                             "interface ge1",
                             "loop-detect tx-interval time 20",
                             "loop-detect resume time 300",
                             "loop-detect loop log",
                             "loop-detect enable",
                             "loop-detect protect vlan 5",
                             "loop-detect protect vlan 7",
                             "interface ge2",
                             "loop-detect protect vlan 5",
                             "loop-detect protect vlan 1",
                             "loop-detect protect vlan 99",
                             "interface ge4",
                             "loop-detect enable",
                             "loop-detect protect vlan 8",
                             "no loop-detect protect vlan 1",
                             "interface xe1",
                             "loop-detect tx-interval time 300",
                             "loop-detect resume time 600",
                             "end"})
        EXPECT_EQ(command(line), "") << line;

    Views before = views();
    EXPECT_NE(before.running.find("interface ge1\n"
                                  " loop-detect tx-interval time 20\n"
                                  " loop-detect resume time 300\n"
                                  " loop-detect loop log\n"
                                  " loop-detect enable\n"
                                  " loop-detect protect vlan 5\n"
                                  " loop-detect protect vlan 7\n"
                                  "!\n"
                                  "interface ge2\n"
                                  " loop-detect protect vlan 5\n"
                                  " loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 99\n"
                                  "!\n"
                                  "interface ge3\n"
                                  "!\n"
                                  "interface ge4\n"
                                  " loop-detect enable\n"
                                  " no loop-detect protect vlan 1\n"
                                  " loop-detect protect vlan 8\n"
                                  "!\n"
                                  "interface lo\n"
                                  "!\n"
                                  "interface xe1\n"
                                  " loop-detect tx-interval time 300\n"
                                  " loop-detect resume time 600\n"),
              std::string::npos)
        << before.running;
    EXPECT_EQ(before.ports, "loopback( \"ge1\", \"1\", \"300\", \"20\", \"1,5,7,\");\n"
                            "loopback( \"ge2\", \"2\", \"180\", \"10\", \"5,1,99,\");\n"
                            "loopback( \"ge3\", \"2\", \"180\", \"10\", \"\");\n"
                            "loopback( \"ge4\", \"1\", \"180\", \"10\", \"8,\");\n"
                            "loopback( \"xe1\", \"2\", \"600\", \"300\", \"\");\n");

    command("write");
    EXPECT_NE(read_file(config_path_).find(" loop-detect protect vlan 99\n"), std::string::npos)
        << read_file(config_path_);
    ASSERT_NO_FATAL_FAILURE(stop());

    ASSERT_NO_FATAL_FAILURE(expect_same_views_after_restart(before));
}

TEST_F(RunningConfigTest, EnabledBridgeSurvivesARestart) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char *line : {"configure terminal", "loop-detect enable", "interface ge2",
                             "no loop-detect protect vlan 1", "loop-detect protect vlan 5", "end"})
        EXPECT_EQ(command(line), "") << line;
    Views before = views();
    EXPECT_NE(before.running.find("loop-detect enable\n"), std::string::npos) << before.running;

    command("write");
    ASSERT_NO_FATAL_FAILURE(stop());
    ASSERT_NO_FATAL_FAILURE(expect_same_views_after_restart(before));
}

// The bridge-wide enable is written first and gives every port VLAN 1 on replay, ahead of the
// port's own protect lines; a port that protected VLAN 1 later in its order keeps that order.
TEST_F(RunningConfigTest, ProtectOrderSurvivesARestartWhenTheBridgeIsEnabledLater) {
    ASSERT_NO_FATAL_FAILURE(start());
    for (const char *line :
         {"configure terminal", "interface ge1", "loop-detect protect vlan 5", "exit",
          "loop-detect enable", "interface ge1", "loop-detect protect vlan 7", "end"})
        EXPECT_EQ(command(line), "") << line;
    Views before = views();
    EXPECT_NE(before.ports.find("loopback( \"ge1\", \"1\", \"180\", \"10\", \"5,1,7,\");\n"),
              std::string::npos)
        << before.ports;

    command("write");
    ASSERT_NO_FATAL_FAILURE(stop());
    ASSERT_NO_FATAL_FAILURE(expect_same_views_after_restart(before));
}

} // namespace
