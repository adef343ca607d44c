// The receive thread and the event loop together: reads of the wrong size never reach the
// verdict, the right one is judged on the main thread, storm copies are shed, and closing the
// socket ends the thread (each tear-down joins it).
#include <array>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "support/wait_until.h"
#include "support/wire_peer.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/shed.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

const uint8_t kBroadcast[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

class ReceiveThreadTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        record_vesk = {};
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "%s",
                      peer_.spec().c_str());
        ASSERT_GE(vesk_sock_init(veskm), 0);
        ASSERT_TRUE(peer_.wait_hello());
        set_debug(0, 0, VESK_DEBUG_RECV);
        port_ = make_port("ge1", 1, {10});
        ASSERT_NE(port_, nullptr);
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 10, port_, 1), 0);
        ASSERT_TRUE(peer_.next(sent_));
        ASSERT_EQ(sent_.payload.size(), 46u);
        reader_ = std::thread([] { loop_result_ = vesk_recv_pkt_karsto(veskm); });
    }
    // Closing the socket must end the reader's loop, without an error.
    void TearDown() override {
        if (reader_.joinable()) {
            frame_sock_close(veskm);
            reader_.join();
            EXPECT_EQ(loop_result_, 0);
        }
        ModelFixture::TearDown();
        sockfd = -1;
    }
    void deliver(const std::vector<uint8_t> &bytes, uint32_t ifindex = 1) {
        ASSERT_TRUE(
            peer_.deliver(ifindex, kBroadcast, port_->mac_address, bytes.data(), bytes.size()));
    }

    static inline int loop_result_ = 99;
    vesk_test::WirePeer peer_;
    vesk_port *port_ = nullptr;
    vesk_test::SentFrame sent_;
    std::thread reader_;
};

TEST_F(ReceiveThreadTest, OnlyTheOwnFrameOfTheRightSizeShutsThePortDown) {
    for (size_t size : {45u, 47u, 1500u, 1600u, 0u}) {
        std::vector<uint8_t> bytes(size, 0);
        std::copy_n(sent_.payload.begin(), std::min<size_t>(size, 46), bytes.begin());
        deliver(bytes);
    }
    const uint8_t runt[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(peer_.deliver_raw(runt, sizeof runt));
    deliver(sent_.payload);
    ASSERT_TRUE(vesk_test::run_until(veskm, [&] { return port_->pstate == VESK_PORT_SHUTDOWN; }))
        << log().text();
    EXPECT_EQ(log().count("vesk_recv: receive frame on port 1"), 1u) << log().text();
    EXPECT_EQ(vesk_find_provlan_from_port(10, port_)->is_loop, 1);
    EXPECT_EQ(requests().size(), 1u);
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(veskm, &stats), 0);
    EXPECT_EQ(stats.rx_frames, 6u);
    EXPECT_EQ(stats.rx_ignored, 1u) << "the malformed datagram";
}

TEST_F(ReceiveThreadTest, StormCopiesAreJudgedOncePerWindow) {
    // Copies of one frame, as a loop storm brings them, while timers, sends and verdicts go on:
    // one copy per window reaches the verdict. After each burst a frame from another port
    // shows the reader has read and weighed every copy before the clock moves on.
    port_->loop_process = VESK_LOOP_LOG;
    const std::string warning = "port ge1 connection device exits a loop in vlan 10";
    const int windows = 5, copies = 40;
    for (int w = 1; w <= windows; w++) {
        for (int i = 0; i < copies; i++)
            deliver(sent_.payload);
        deliver(sent_.payload, 2);
        ASSERT_TRUE(vesk_test::run_until(veskm, [&] {
            return log().count("vesk_recv: receive frame on port 2") == static_cast<size_t>(w) &&
                   log().count(warning) == static_cast<size_t>(w);
        })) << log().text();
        zet_clock_advance_usec(VESK_SHED_WINDOW_USEC);
    }
    EXPECT_EQ(log().count("vesk_recv: receive frame on port 1"), static_cast<size_t>(windows));
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(veskm, &stats), 0);
    EXPECT_EQ(stats.rx_frames, static_cast<uint64_t>(windows * (copies + 1)));
    EXPECT_NE(port_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(requests().size(), 0u);
}

// Shedding repeated frames: only true copies, only within the window, never a frame that was
// not handed on just before.
TEST(Shed, OnlyTheSameBytesOnTheSamePortWithinTheWindowOncePerWindow) {
    using Pdu = std::array<uint8_t, VESK_PDU_LEN>;
    auto shed = std::make_unique<vesk_recv_shed>();
    auto repeat = [&](uint32_t ifindex, const Pdu &p, long long usec) {
        return vesk_recv_shed_repeat(shed.get(), ifindex, p.data(), usec);
    };
    Pdu a{};
    a[1] = 7;
    Pdu last_byte = a, first_byte = a;
    last_byte[VESK_PDU_LEN - 1] ^= 1;
    first_byte[0] ^= 0x80;
    EXPECT_FALSE(repeat(0, Pdu{}, 0)) << "port 0 is never taken for an empty slot";
    EXPECT_FALSE(repeat(0, Pdu{}, 0));
    EXPECT_FALSE(repeat(3, a, 1000));
    EXPECT_TRUE(repeat(3, a, 1000));
    EXPECT_TRUE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC - 1));
    EXPECT_FALSE(repeat(4, a, 1000)) << "the same frame on another port is news";
    EXPECT_FALSE(repeat(3, last_byte, 1000));
    EXPECT_FALSE(repeat(3, first_byte, 1000));
    EXPECT_EQ(shed->shed_count, 2u);
    EXPECT_FALSE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC)) << "the window has passed";
    EXPECT_TRUE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC + 1));
    int handed = 0;
    for (long long t = 2 * VESK_SHED_WINDOW_USEC; t < 12 * VESK_SHED_WINDOW_USEC; t += 1000)
        handed += repeat(7, a, t) ? 0 : 1;
    EXPECT_EQ(handed, 10) << "a continuing storm is handed on once per window";
    EXPECT_EQ(shed->shed_count, 993u);
}

} // namespace
