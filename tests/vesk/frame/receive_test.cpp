// The loop verdict: each check in order, the stale-frame count, and what an accepted frame does
// to the sending port.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

constexpr long kNow = 1700000000;
long fake_seconds = kNow;

int fake_time(struct timeval *tv, void *) {
    tv->tv_sec = fake_seconds;
    tv->tv_usec = 0;
    return 0;
}

using Frame = std::vector<uint8_t>;

const char *const kMsgMac = "vesk_recv: receive invalid VESK packet for error mac addr";
const char *const kMsgVlan = "vesk_recv: receive invalid VESK packet for error pro_vlan";
const char *const kMsgChecksum = "vesk_recv: receive invalid VESK packet for error checksum";
const char *const kMsgMd5 = "vesk_recv: receive invalid VESK packet for error md5";

// What a verdict may change, to show that a rejected frame changed nothing.
struct Snapshot {
    uint8_t is_loop;
    uint8_t loop_vlan_count;
    uint32_t mstate;
    uint32_t pstate;
    bool tx_timer;
    bool resume_timer;
    size_t requests;
    bool operator==(const Snapshot &) const = default;
};

class ReceiveTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        fake_seconds = kNow;
        vesk_frame_set_time_source(fake_time);
        record_vesk = {};
        sockfd = -1;
        // A running port protecting VLAN 10: the machine has built a frame and waits to send
        // the next one, so a loop report shuts it down.
        tx_ = make_port("ge1", 1, {10});
        ASSERT_NE(tx_, nullptr);
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 10, tx_, 1), 0);
        ASSERT_EQ(tx_->mstate, SMS_WAIT_TX);
        ASSERT_NE(tx_->tx_timer, nullptr);
        log().clear();
    }
    void TearDown() override {
        ModelFixture::TearDown();
        vesk_frame_set_time_source(nullptr);
        record_vesk = {};
    }

    // The 46 bytes that port last sent on vid (the same second encodes the same frame).
    Frame sent_frame(vesk_port *port, uint16_t vid) {
        vesk_provlan copy = *vesk_find_provlan_from_port(vid, port);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &copy, image + 22, image, image);
        return Frame(image + 14, image + 60);
    }
    // A frame built now with a scratch entry: the port's entry keeps its own check values.
    Frame foreign_frame(vesk_port *port, uint16_t vid) {
        vesk_provlan scratch{};
        scratch.vid = vid;
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &scratch, image + 22, image, image);
        return Frame(image + 14, image + 60);
    }

    void arrive(const Frame &frame, uint32_t rx_ifindex) {
        uint8_t address[VESK_RECV_ADDR_LEN] = {};
        std::memset(address, 0xff, 6);
        std::memcpy(address + 12, &rx_ifindex, 4);
        vesk_recv_verdict(veskm, address, frame.data(), static_cast<int>(frame.size()));
    }

    int decode(const Frame &frame, vesk_port *rx, uint32_t *vid = nullptr,
               uint32_t *ifindex = nullptr) {
        uint32_t v = 0;
        uint32_t i = 0;
        int r = karsto_vesk_decode_pkt(veskm, rx, frame.data(), 46, &v, &i);
        if (vid != nullptr)
            *vid = v;
        if (ifindex != nullptr)
            *ifindex = i;
        return r;
    }

    Snapshot snapshot(vesk_port *port, uint16_t vid = 10) {
        vesk_provlan *e = vesk_find_provlan_from_port(vid, port);
        return {e->is_loop,       port->loop_vlan_count,     port->mstate,
                port->pstate,     port->tx_timer != nullptr, port->resume_timer != nullptr,
                requests().size()};
    }

    void expect_rejected(const Frame &frame, const char *message) {
        Snapshot before = snapshot(tx_);
        vesk_stale_record stale = record_vesk;
        log().clear();
        arrive(frame, 1);
        EXPECT_EQ(snapshot(tx_), before);
        EXPECT_EQ(record_vesk.stale_time, stale.stale_time);
        EXPECT_EQ(record_vesk.stale_count, stale.stale_count);
        if (message == nullptr) {
            EXPECT_TRUE(log().lines().empty()) << log().text();
            return;
        }
        EXPECT_EQ(log().lines(), std::vector<std::string>{message});
    }

    vesk_port *tx_ = nullptr;
};

TEST_F(ReceiveTest, OwnFrameBackOnItsPortShutsThePortDown) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    arrive(sent_frame(tx_, 10), 1);
    vesk_provlan *e = vesk_find_provlan_from_port(10, tx_);
    EXPECT_EQ(e->is_loop, 1);
    EXPECT_EQ(tx_->loop_vlan_count, 1);
    EXPECT_EQ(tx_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(tx_->mstate, SMS_RESUME);
    EXPECT_EQ(tx_->tx_timer, nullptr);
    EXPECT_NE(tx_->resume_timer, nullptr);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, 1u);
    EXPECT_TRUE(log().contains("vesk_recv: receive valid VESK packet , shut down port ge1"))
        << log().text();
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, shut down"));
}

TEST_F(ReceiveTest, DecodeReportsFieldsAndProvesTheLoop) {
    uint32_t vid = 0;
    uint32_t ifindex = 0;
    EXPECT_EQ(decode(sent_frame(tx_, 10), tx_, &vid, &ifindex), 0);
    EXPECT_EQ(vid, 10u);
    EXPECT_EQ(ifindex, 1u);
}

TEST_F(ReceiveTest, ArpReplyFailsSilently) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    f[7] = 2;
    expect_rejected(f, nullptr);
}

TEST_F(ReceiveTest, AnotherStationsArpFailsOnItsSenderAddress) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    f[13] ^= 0x01;
    expect_rejected(f, kMsgMac);
}

TEST_F(ReceiveTest, UnknownSendingPortFailsSilently) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    make_interface("eth9", 9);
    Frame f = sent_frame(tx_, 10);
    f[31] = 99;
    expect_rejected(f, nullptr);
    f[31] = 9; // an interface, but not a port
    expect_rejected(f, nullptr);
    uint32_t ifindex = 0;
    EXPECT_EQ(decode(f, tx_, nullptr, &ifindex), -1);
    EXPECT_EQ(ifindex, 9u) << "written before the look-up fails";
}

TEST_F(ReceiveTest, VlanWithoutProtectEntryFails) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    f[33] = 11;
    expect_rejected(f, kMsgVlan);
    uint32_t vid = 0;
    EXPECT_EQ(decode(f, tx_, &vid), -1);
    EXPECT_EQ(vid, 11u);
}

TEST_F(ReceiveTest, InactiveProtectEntryStillJudges) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 20, tx_, 0), 0);
    vesk_provlan *e = vesk_find_provlan_from_port(20, tx_);
    Frame f = foreign_frame(tx_, 20);
    std::memcpy(e->tx_check, f.data() + 38, 8);
    EXPECT_EQ(decode(f, tx_), 0);
    EXPECT_EQ(e->is_loop, 1);
}

TEST_F(ReceiveTest, AlteredCheckValuesFail) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    f[41] ^= 0x80;
    expect_rejected(f, kMsgChecksum);
    f = sent_frame(tx_, 10);
    f[42] ^= 0x01;
    expect_rejected(f, kMsgMd5);
    f = sent_frame(tx_, 10);
    f[45] ^= 0x01;
    expect_rejected(f, kMsgMd5);
}

TEST_F(ReceiveTest, NoMessagesWithoutReceiveDebugging) {
    set_debug(0xff, 0xff, VESK_DEBUG_PACKET | VESK_DEBUG_SEND | VESK_DEBUG_DETAIL);
    Frame f = sent_frame(tx_, 10);
    f[13] ^= 0x01;
    expect_rejected(f, nullptr);
}

TEST_F(ReceiveTest, UnknownReceivingPortIsIgnored) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Snapshot before = snapshot(tx_);
    arrive(sent_frame(tx_, 10), 42);
    EXPECT_EQ(snapshot(tx_), before);
    EXPECT_TRUE(log().lines().empty()) << log().text();
}

// The frame last built is judged by the monotonic clock: a step of the time of day, either way,
// neither makes it stale nor keeps it recent.
TEST_F(ReceiveTest, LatestFrameAgeIsMonotonicAcrossStepsOfTheTimeOfDay) {
    const struct {
        long wall_step;
        long seconds;
        int verdict;
    } cases[] = {{0, 4, 0}, {0, 5, -1}, {3600, 1, 0}, {-3600, 1, 0}, {-5, 5, -1}, {5, 0, 0}};
    for (const auto &c : cases) {
        fake_seconds = kNow;
        record_vesk = {};
        vesk_find_provlan_from_port(10, tx_)->is_loop = 0;
        tx_->loop_vlan_count = 0;
        vesk_send_pkt(tx_);
        Frame f = sent_frame(tx_, 10);
        fake_seconds += c.wall_step;
        zet_clock_advance_usec(c.seconds * 1000000);
        EXPECT_EQ(decode(f, tx_), c.verdict)
            << "step " << c.wall_step << " s, " << c.seconds << " s later";
    }
}

// Any other frame can only fail on its check values; it is judged by the time it carries.
TEST_F(ReceiveTest, OtherFramesAgeLimitIsFourSecondsEitherWayUnsigned) {
    fake_seconds = kNow + 1;
    Frame f = foreign_frame(tx_, 10);
    fake_seconds = kNow + 5;
    decode(f, tx_);
    EXPECT_EQ(record_vesk.stale_count, 0) << "4 s behind is recent";
    fake_seconds = kNow + 6;
    decode(f, tx_);
    EXPECT_EQ(record_vesk.stale_time, static_cast<uint32_t>(kNow + 1)) << "5 s behind is stale";
    fake_seconds = kNow;
    decode(f, tx_);
    EXPECT_EQ(record_vesk.stale_count, 2) << "ahead of the clock is stale";
}

TEST_F(ReceiveTest, StaleFrameCountingSequence) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    fake_seconds = kNow + 10;
    zet_clock_advance_usec(10 * 1000000);
    const int expected_count[] = {1, 2, 3, 4, 1, 2, 3, 4, 1};
    for (int arrival = 1; arrival <= 9; arrival++) {
        vesk_find_provlan_from_port(10, tx_)->is_loop = 0;
        tx_->loop_vlan_count = 0;
        int r = decode(f, tx_);
        bool passes = arrival == 5 || arrival == 9;
        EXPECT_EQ(r, passes ? 0 : -1) << "arrival " << arrival;
        EXPECT_EQ(record_vesk.stale_count, expected_count[arrival - 1]) << "arrival " << arrival;
        EXPECT_EQ(record_vesk.stale_time, static_cast<uint32_t>(kNow));
    }
    EXPECT_TRUE(
        log().contains("vesk_recv: VESK packet for tx_time 0 current_time 1700000000 recv_count:0"))
        << log().text();
    EXPECT_TRUE(log().contains(
        "vesk_recv: receive invalid VESK packet for timeout 1700000010 1700000000 recv_count:1"));
    EXPECT_TRUE(log().contains(
        "vesk_recv: VESK packet for tx_time 1700000000 current_time 1700000000 recv_count:4"));
}

TEST_F(ReceiveTest, StaleFrameOfAnotherTimeRestartsTheCount) {
    Frame older = foreign_frame(tx_, 10);
    fake_seconds = kNow + 1;
    Frame newer = foreign_frame(tx_, 10);
    fake_seconds = kNow + 20;
    zet_clock_advance_usec(20 * 1000000);
    decode(older, tx_);
    decode(older, tx_);
    decode(older, tx_);
    EXPECT_EQ(record_vesk.stale_count, 3);
    decode(newer, tx_);
    EXPECT_EQ(record_vesk.stale_time, static_cast<uint32_t>(kNow + 1));
    EXPECT_EQ(record_vesk.stale_count, 1);
}

TEST_F(ReceiveTest, FrameOfAnEarlierSecondFailsOnceANewerOneIsBuilt) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame old = sent_frame(tx_, 10);
    fake_seconds = kNow + 1;
    advance(1); // the start phase sends again, one second later
    ASSERT_EQ(vesk_find_provlan_from_port(10, tx_)->tx_time, static_cast<uint32_t>(kNow + 1));
    expect_rejected(old, kMsgChecksum);
    arrive(sent_frame(tx_, 10), 1);
    EXPECT_EQ(tx_->pstate, VESK_PORT_SHUTDOWN);
}

TEST_F(ReceiveTest, FrameOnAnotherPortActsOnTheSendingPort) {
    vesk_port *rx = make_port("ge2", 2, {10});
    ASSERT_NE(rx, nullptr);
    std::memcpy(rx->mac_address, tx_->mac_address, 6);
    Snapshot rx_before{0,          rx->loop_vlan_count,     rx->mstate,
                       rx->pstate, rx->tx_timer != nullptr, rx->resume_timer != nullptr,
                       0};
    arrive(sent_frame(tx_, 10), 2);
    EXPECT_EQ(vesk_find_provlan_from_port(10, tx_)->is_loop, 1);
    EXPECT_EQ(tx_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(rx->loop_vlan_count, rx_before.loop_vlan_count);
    EXPECT_EQ(rx->mstate, rx_before.mstate);
    EXPECT_EQ(rx->pstate, rx_before.pstate);
    ASSERT_EQ(requests().size(), 1u);
    EXPECT_EQ(requests()[0].ifindex, 1u);
}

TEST_F(ReceiveTest, FrameOnAnotherPortWithItsOwnMacFails) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    vesk_port *rx = make_port("ge2", 2, {});
    ASSERT_NE(rx, nullptr);
    ASSERT_NE(0, std::memcmp(rx->mac_address, tx_->mac_address, 6));
    Snapshot before = snapshot(tx_);
    arrive(sent_frame(tx_, 10), 2);
    EXPECT_EQ(snapshot(tx_), before);
    EXPECT_TRUE(log().contains(kMsgMac));
}

TEST_F(ReceiveTest, LogOnlyPortWarnsAndKeepsItsState) {
    tx_->loop_process = VESK_LOOP_LOG;
    uint32_t mstate = tx_->mstate;
    uint32_t pstate = tx_->pstate;
    arrive(sent_frame(tx_, 10), 1);
    arrive(sent_frame(tx_, 10), 1);
    EXPECT_EQ(log().count("port ge1 connection device exits a loop in vlan 10"), 2u)
        << log().text();
    EXPECT_EQ(log().priorities().front(), ZLOG_WARNING);
    EXPECT_EQ(tx_->mstate, mstate);
    EXPECT_EQ(tx_->pstate, pstate);
    EXPECT_NE(tx_->tx_timer, nullptr);
    EXPECT_TRUE(requests().empty());
    EXPECT_EQ(vesk_find_provlan_from_port(10, tx_)->is_loop, 1);
    EXPECT_EQ(tx_->loop_vlan_count, 1);
}

TEST_F(ReceiveTest, SecondAcceptedFrameKeepsTheLoopCount) {
    arrive(sent_frame(tx_, 10), 1);
    ASSERT_EQ(tx_->mstate, SMS_RESUME);
    arrive(sent_frame(tx_, 10), 1);
    EXPECT_EQ(tx_->loop_vlan_count, 1);
    EXPECT_EQ(tx_->mstate, SMS_RESUME);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(ReceiveTest, ReceiveHandsTheVerdictToTheEventLoop) {
    set_debug(0, 0, VESK_DEBUG_RECV);
    Frame f = sent_frame(tx_, 10);
    uint8_t address[VESK_RECV_ADDR_LEN] = {};
    uint32_t ifindex = 1;
    std::memcpy(address + 12, &ifindex, 4);
    vesk_recv(veskm, address, f.data(), 46);
    EXPECT_TRUE(log().contains("vesk_recv: receive frame on port 1"));
    EXPECT_NE(tx_->pstate, VESK_PORT_SHUTDOWN) << "nothing judged before the loop runs";
    EXPECT_EQ(thread_post_pending(veskm->master), 1u);
    thread_run_due(veskm);
    EXPECT_EQ(tx_->pstate, VESK_PORT_SHUTDOWN);
}

TEST_F(ReceiveTest, NullAddressOrWrongLengthIsNeverPosted) {
    Frame f = sent_frame(tx_, 10);
    uint8_t address[VESK_RECV_ADDR_LEN] = {};
    vesk_recv(veskm, nullptr, f.data(), 46);
    vesk_recv(veskm, address, f.data(), 45);
    vesk_recv(veskm, address, nullptr, 46);
    EXPECT_EQ(thread_post_pending(veskm->master), 0u);
}

TEST_F(ReceiveTest, StormIsBoundedAndCounted) {
    Frame f = sent_frame(tx_, 10);
    f[13] ^= 0x01;
    uint8_t address[VESK_RECV_ADDR_LEN] = {};
    const uint64_t dropped = thread_post_dropped(veskm->master);
    for (size_t i = 0; i < THREAD_POST_QUEUE_MAX + 100; i++)
        vesk_recv(veskm, address, f.data(), 46);
    EXPECT_EQ(thread_post_pending(veskm->master), static_cast<size_t>(THREAD_POST_QUEUE_MAX));
    EXPECT_EQ(thread_post_dropped(veskm->master) - dropped, 100u);
    thread_run_due(veskm);
    EXPECT_EQ(thread_post_pending(veskm->master), 0u);
}

TEST_F(ReceiveTest, LoopCannotStartWithoutHandleOrSocket) {
    EXPECT_EQ(vesk_recv_pkt_karsto(nullptr), -1);
    EXPECT_TRUE(log().lines().empty());
    EXPECT_EQ(vesk_recv_pkt_karsto(veskm), -1);
    EXPECT_TRUE(log().contains("PDU[RECV]: socket is not open (-1)")) << log().text();
}

} // namespace
