// Sending detection frames through the frame socket to a wire peer.
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

long fake_seconds = 1700000000;

int fake_time(struct timeval *tv, void *) {
    tv->tv_sec = fake_seconds;
    tv->tv_usec = 0;
    return 0;
}

class TransmitTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        vesk_frame_set_time_source(fake_time);
        sockfd = -1;
    }
    void TearDown() override {
        ModelFixture::TearDown();
        sockfd = -1;
        vesk_frame_set_time_source(nullptr);
    }

    void open_socket() {
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "%s",
                      peer_.spec().c_str());
        ASSERT_GE(vesk_sock_init(veskm), 0);
        ASSERT_NE(veskm->fsock, nullptr);
        ASSERT_TRUE(peer_.wait_hello());
    }

    // A port with protect entries that the machine has not started (not running).
    vesk_port *idle_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> protect,
                         std::initializer_list<uint16_t> member) {
        vesk_port *port = make_port(name, ifindex, member, false);
        for (uint16_t vid : protect) {
            int m = 0;
            for (uint16_t v : member)
                m |= v == vid;
            EXPECT_EQ(vesk_add_provlan_to_port(nullptr, vid, port, m), 0);
        }
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

TEST_F(TransmitTest, OneFramePerActiveVlanInListOrder) {
    open_socket();
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
        ASSERT_EQ(f.payload.size(), 46u);
        EXPECT_EQ(decode_pkt_element(f.payload.data() + 32, 2), vid);
        EXPECT_EQ(decode_pkt_element(f.payload.data() + 28, 4), 3u);
        vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
        EXPECT_EQ(0, std::memcmp(f.payload.data() + 38, entry->tx_check, 8));
    }
    EXPECT_FALSE(peer_.next(f, 0)) << "VLAN 30 is not active";
}

TEST_F(TransmitTest, PayloadIsTheImageFromItsArpHeader) {
    open_socket();
    vesk_port *port = idle_port("ge4", 4, {100}, {100});
    ASSERT_EQ(vesk_send_pkt(port), 0);
    SentFrame f;
    ASSERT_TRUE(peer_.next(f));
    vesk_provlan copy{};
    copy.vid = 100;
    uint8_t image[VESK_FRAME_BUF_LEN] = {};
    vesk_encode_pkt(port, &copy, image + 22, image, image);
    EXPECT_EQ(std::vector<uint8_t>(image + 14, image + 60), f.payload);
}

TEST_F(TransmitTest, NothingActiveSendsNothing) {
    open_socket();
    vesk_port *bare = idle_port("ge5", 5, {}, {});
    vesk_port *inactive = idle_port("ge6", 6, {7, 8}, {});
    EXPECT_EQ(vesk_send_pkt(bare), -1);
    EXPECT_EQ(vesk_send_pkt(inactive), -1);
    EXPECT_EQ(vesk_send_pkt(nullptr), -1);
    SentFrame f;
    EXPECT_FALSE(peer_.next(f, 0));
}

TEST_F(TransmitTest, ClosedSocketStillStampsEntries) {
    set_debug(0, 0, VESK_DEBUG_PACKET | VESK_DEBUG_SEND);
    vesk_port *port = idle_port("ge7", 7, {10, 20}, {10, 20});
    EXPECT_EQ(vesk_send_pkt(port), -1);
    for (uint16_t vid : {10, 20}) {
        vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
        EXPECT_EQ(entry->tx_time, static_cast<uint32_t>(fake_seconds));
        EXPECT_NE(0, std::memcmp(entry->tx_check, "\0\0\0\0\0\0\0\0", 8));
    }
    EXPECT_EQ(log().count("vesk port ge7 start send pkt, pro vlan is 10"), 1u) << log().text();
    EXPECT_EQ(log().count("vesk port ge7 start send pkt, pro vlan is 20"), 1u);
    EXPECT_FALSE(log().contains("pal_sock_sendto"));
}

TEST_F(TransmitTest, SendDebugLines) {
    open_socket();
    set_debug(0, 0, VESK_DEBUG_PACKET | VESK_DEBUG_SEND);
    vesk_port *port = idle_port("ge8", 8, {10}, {10});
    EXPECT_EQ(vesk_send_pkt(port), 0);
    EXPECT_TRUE(log().contains("vesk port 8 pal_sock_sendto ")) << log().text();
    EXPECT_TRUE(log().contains("vesk port ge8 start send pkt, pro vlan is 10"));
}

TEST_F(TransmitTest, FailedSendIsReportedOnStandardOutput) {
    open_socket();
    uint8_t data[46] = {};
    testing::internal::CaptureStdout();
    int r = vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 4095, data, 46);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(r, -1);
    EXPECT_NE(out.find("[vesk_send:"), std::string::npos) << out;
    EXPECT_NE(out.find("] ifindex = 9,ret = -1 error = "), std::string::npos) << out;
}

TEST_F(TransmitTest, LastSendDecidesTheResult) {
    open_socket();
    uint8_t data[46] = {};
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, data, 46), 0);
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, nullptr, 46), -1);
    sockfd = -1;
    EXPECT_EQ(vesk_send(vesk_arp_addr, vesk_arp_addr, 9, 10, data, 46), -1);
}

TEST_F(TransmitTest, RunningPortSendsOnItsStartPhaseCadence) {
    open_socket();
    vesk_port *port = make_port("ge2", 2, {1});
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port, 1), 0);
    SentFrame f;
    ASSERT_TRUE(peer_.next(f, 0)) << "sent at once";
    EXPECT_FALSE(peer_.next(f, 0));
    advance(1);
    EXPECT_TRUE(peer_.next(f, 0)) << "after 1 s";
    advance(1);
    EXPECT_TRUE(peer_.next(f, 0)) << "after 2 s";
    advance(9);
    EXPECT_FALSE(peer_.next(f, 0)) << "steady phase waits 10 s";
    advance(1);
    EXPECT_TRUE(peer_.next(f, 0)) << "at 12 s";
}

} // namespace
