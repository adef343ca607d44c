// A real veskd on the socket backend, with the scriptable peer as its network services module:
// what the operator sees survives malformed messages and a restart of the peer.
#include <fstream>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "integration/nsm_peer_process.h"
#include "support/daemon_process.h"
#include "support/wire_peer.h"
#include "zet/nsm/client.h"
#include "zet/nsm/unix.h"

namespace {

using nsm_test::hex;
using nsm_test::PeerProcess;
using vesk_test::read_file;
using vesk_test::wait_for;

class NsmVeskdPeer : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = vesk_test::make_temp_dir("nsm-veskd-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        std::ofstream(dir_ + "/veskd.conf") << "log file " << log_path_ << "\n";
        peer_ = std::make_unique<PeerProcess>(dir_ + "/nsm.sock");
        for (const char *line :
             {"if-add 5 ge1 up", "if-add 6 ge2 up", "bridge-add 1", "vlan-add 1 1", "vlan-add 1 10",
              "port-add 5 1 10", "port-add 6 1"})
            ASSERT_EQ(peer_->order(line), "ok") << line;
        daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
        ASSERT_TRUE(
            daemon_->start({"-f", dir_ + "/veskd.conf", "-P", "0"},
                           {"VESK_NSM=unix:" + dir_ + "/nsm.sock", "VESK_FRAME=" + wire_.spec(),
                            "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        ASSERT_TRUE(wire_.wait_hello()) << "the frame socket did not connect";
        vty_ = std::make_unique<vesk_test::VtyClient>();
        ASSERT_TRUE(vty_->connect(dir_ + "/vty", std::chrono::seconds(10)));
    }

    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- veskd log ----\n" << read_file(log_path_) << "----\n";
        vty_.reset();
        daemon_.reset();
        peer_.reset();
        vesk_test::remove_dir(dir_);
    }

    std::string cmd(const std::string &line) { return vty_->command(line); }
    bool log_has(const std::string &text) const {
        return read_file(log_path_).find(text) != std::string::npos;
    }

    vesk_test::WirePeer wire_;
    std::string dir_;
    std::string log_path_;
    std::unique_ptr<PeerProcess> peer_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    std::unique_ptr<vesk_test::VtyClient> vty_;
};

TEST_F(NsmVeskdPeer, PeerStateIsThereWhenTheVtyAnswers) {
    std::string vlans = cmd("show loop-detect vlan");
    EXPECT_NE(vlans.find("1                       ge1 ge2"), std::string::npos) << vlans;
    EXPECT_NE(vlans.find("10                      ge1"), std::string::npos) << vlans;
    EXPECT_NE(cmd("show loop-detect interface ge1").find("Port state: up"), std::string::npos);
}

TEST_F(NsmVeskdPeer, MalformedMessagesAndAPeerRestartKeepProtectVlans) {
    ASSERT_EQ(cmd("configure terminal"), "");
    ASSERT_EQ(cmd("interface ge1"), "");
    ASSERT_EQ(cmd("loop-detect protect vlan 10"), "");
    ASSERT_EQ(cmd("end"), "");
    ASSERT_NE(cmd("show loop-detect interface ge1").find("ProtectVlan list: 10 "),
              std::string::npos);

    // A count larger than the payload, and a bridge name without terminator.
    ASSERT_EQ(peer_->order("raw " + hex(nsm_unix_encode(NSM_MSG_BRIDGE_VLAN_ADD_IF,
                                                        {0, 0, 0, 6, 0, 9, 0, 10}))),
              "ok");
    ASSERT_EQ(peer_->order("raw " +
                           hex(nsm_unix_encode(NSM_MSG_BRIDGE_ADD, std::vector<uint8_t>(18, 'x')))),
              "ok");
    ASSERT_TRUE(wait_for([&] { return log_has("bridge name not terminated"); }));
    EXPECT_TRUE(log_has("vlan-port count does not match the payload"));
    ASSERT_EQ(peer_->order("link-down 6"), "ok");
    ASSERT_TRUE(wait_for([&] {
        return cmd("show loop-detect interface ge2").find("Port state: down") != std::string::npos;
    })) << "the link kept working after the malformed messages";

    ASSERT_EQ(peer_->order("restart"), "ok");
    ASSERT_EQ(peer_->order("port-del 6 1"), "ok");
    EXPECT_EQ(peer_->order("wait-client 10"), "client");
    ASSERT_TRUE(wait_for([&] {
        return cmd("show loop-detect vlan").find("1                       ge1 \n") !=
               std::string::npos;
    })) << cmd("show loop-detect vlan");
    std::string ge1 = cmd("show loop-detect interface ge1");
    EXPECT_NE(ge1.find("ProtectVlan list: 10 "), std::string::npos) << ge1;
    EXPECT_NE(ge1.find("Port state: up"), std::string::npos) << ge1;
    EXPECT_TRUE(daemon_->running());
}

TEST_F(NsmVeskdPeer, LoopShutdownAndReleaseReachThePeerAsRequests) {
    ASSERT_EQ(cmd("configure terminal"), "");
    ASSERT_EQ(cmd("interface ge1"), "");
    ASSERT_EQ(cmd("loop-detect enable"), "");
    ASSERT_EQ(cmd("loop-detect force up"), "");
    ASSERT_EQ(cmd("end"), "");
    // The daemon's own frame comes back on ge1, as a loop behind it would bring it.
    vesk_test::SentFrame frame;
    ASSERT_TRUE(wire_.next(frame));
    ASSERT_EQ(frame.addr.ifindex, 5);
    ASSERT_TRUE(wire_.deliver(5, frame.addr.dst, frame.addr.src, frame.payload.data(),
                              frame.payload.size()));
    EXPECT_EQ(peer_->order("wait-request 3"), "request 5 1");
    ASSERT_EQ(cmd("configure terminal"), "");
    ASSERT_EQ(cmd("interface ge1"), "");
    ASSERT_EQ(cmd("loop-detect force up"), "");
    ASSERT_EQ(cmd("end"), "");
    EXPECT_EQ(peer_->order("wait-request 3"), "request 5 2");
}

} // namespace
