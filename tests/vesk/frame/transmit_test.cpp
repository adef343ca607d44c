// Sending detection frames through the frame socket to a wire peer.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "support/wire_peer.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::SentFrame;

class TransmitTest : public vesk_test::ModelFixture {
  protected:
    void TearDown() override {
        ModelFixture::TearDown();
        sockfd = -1;
    }
    void open_socket(const std::string &spec) {
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "%s", spec.c_str());
        ASSERT_GE(vesk_sock_init(veskm), 0);
        ASSERT_TRUE(peer_.wait_hello());
    }
    // A port that the machine has not started (not running), protecting protect.
    vesk_port *idle_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> protect,
                         std::initializer_list<uint16_t> member) {
        vesk_port *port = make_port(name, ifindex, member, false);
        for (uint16_t vid : protect)
            EXPECT_EQ(vesk_add_provlan_to_port(nullptr, vid, port,
                                               std::count(member.begin(), member.end(), vid)),
                      0);
        return port;
    }
    vesk_test::WirePeer peer_;
};

TEST_F(TransmitTest, SocketInitFailureIsLoggedAndReturned) {
    std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "unix:/nonexistent/x");
    EXPECT_LT(vesk_sock_init(veskm), 0);
    EXPECT_LT(sockfd, 0);
    EXPECT_TRUE(log().contains("socket create failed."));
}

TEST_F(TransmitTest, OneFramePerActiveVlanInListOrderCarryingTheImageFromItsArpHeader) {
    open_socket(peer_.spec());
    set_debug(0, 0, VESK_DEBUG_PACKET | VESK_DEBUG_SEND);
    vesk_port *port = idle_port("ge3", 3, {20, 30, 10}, {10, 20});
    EXPECT_EQ(vesk_send_pkt(port), 0);
    SentFrame f;
    for (uint16_t vid : {20, 10}) {
        ASSERT_TRUE(peer_.next(f)) << "frame for VLAN " << vid;
        EXPECT_EQ(f.addr.vid, vid);
        EXPECT_EQ(f.addr.ifindex, 3);
        EXPECT_EQ(f.addr.pad, 0);
        EXPECT_EQ(0, std::memcmp(f.addr.dst, vesk_arp_addr, 6));
        EXPECT_EQ(0, std::memcmp(f.addr.src, port->mac_address, 6));
        vesk_provlan copy = *vesk_find_provlan_from_port(vid, port);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &copy, image + 22, image, image);
        EXPECT_EQ(std::vector<uint8_t>(image + 14, image + 60), f.payload);
        EXPECT_EQ(0, std::memcmp(f.payload.data() + 38, copy.tx_check, 8));
        EXPECT_TRUE(
            log().contains("vesk port ge3 start send pkt, pro vlan is " + std::to_string(vid)));
    }
    EXPECT_FALSE(peer_.next(f, 0)) << "VLAN 30 is not active";
    EXPECT_TRUE(log().contains("vesk port 3 pal_sock_sendto ")) << log().text();
    EXPECT_EQ(vesk_send_pkt(idle_port("ge5", 5, {}, {})), -1);
    EXPECT_EQ(vesk_send_pkt(idle_port("ge6", 6, {7, 8}, {})), -1);
    EXPECT_FALSE(peer_.next(f, 0));
}

TEST_F(TransmitTest, ClosedSocketStillStampsEntriesAndTheLastSendDecidesTheResult) {
    set_debug(0, 0, VESK_DEBUG_PACKET | VESK_DEBUG_SEND);
    vesk_port *port = idle_port("ge7", 7, {10}, {10});
    EXPECT_EQ(vesk_send_pkt(port), -1);
    EXPECT_NE(vesk_find_provlan_from_port(10, port)->tx_time, 0u);
    EXPECT_TRUE(log().contains("vesk port ge7 start send pkt, pro vlan is 10")) << log().text();
    EXPECT_FALSE(log().contains("pal_sock_sendto"));
    open_socket(peer_.spec());
    uint8_t data[46] = {};
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, data, 46), 0);
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, nullptr, 46), -1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 4095, data, 46), -1);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[vesk_send:"), std::string::npos) << out;
    EXPECT_NE(out.find("] ifindex = 9,ret = -1 error = "), std::string::npos) << out;
    sockfd = -1;
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, data, 46), -1);
}

TEST_F(TransmitTest, RunningPortSendsOnItsStartPhaseCadence) {
    open_socket(peer_.spec());
    vesk_port *port = make_port("ge2", 2, {1});
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port, 1), 0);
    // Exactly one frame has arrived since the last look.
    auto sent_one = [&] {
        SentFrame f;
        return peer_.next(f, 0) && !peer_.next(f, 0);
    };
    EXPECT_TRUE(sent_one()) << "at once";
    advance(1);
    EXPECT_TRUE(sent_one()) << "after 1 s";
    advance(1);
    EXPECT_TRUE(sent_one()) << "after 2 s";
    advance(9);
    EXPECT_FALSE(sent_one()) << "the steady phase waits 10 s";
    advance(1);
    EXPECT_TRUE(sent_one()) << "at 12 s";
}

} // namespace
