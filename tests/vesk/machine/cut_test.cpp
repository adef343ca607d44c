// Which port a returned frame cuts: one cut per loop, uplinks never, and the probes of fast
// detection and of a blocked port.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"

namespace {

constexpr long kNow = 1700000000;

int fake_time(struct timeval *tv, void *) {
    tv->tv_sec = kNow;
    tv->tv_usec = 0;
    return 0;
}

using Frame = std::vector<uint8_t>;

class CutTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        vesk_frame_set_time_source(fake_time);
        sockfd = -1;
        // Two sending ports with the bridge's MAC, as on a Linux bridge.
        ge1_ = make_port("ge1", 1, {10});
        ge2_ = make_port("ge2", 2, {10});
        ASSERT_TRUE(ge1_ != nullptr && ge2_ != nullptr);
        std::memcpy(ge2_->mac_address, ge1_->mac_address, 6);
        for (vesk_port *p : {ge1_, ge2_}) {
            ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 10, p, 1), 0);
            ASSERT_EQ(p->mstate, SMS_WAIT_TX);
        }
        log().clear();
    }
    void TearDown() override {
        ModelFixture::TearDown();
        vesk_frame_set_time_source(nullptr);
        vesk_fast_detect = 1;
    }

    // The 46 bytes port last sent (the same second encodes the same frame).
    static Frame sent_frame(vesk_port *port) {
        vesk_provlan copy = *vesk_find_provlan_from_port(10, port);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &copy, image + 22, image, image);
        return Frame(image + 14, image + 60);
    }
    static void address_of(uint32_t rx, uint8_t *address) {
        std::memset(address, 0xff, 6);
        std::memcpy(address + 12, &rx, 4);
    }
    void arrive(vesk_port *from, uint32_t rx) {
        uint8_t address[VESK_RECV_ADDR_LEN] = {};
        address_of(rx, address);
        vesk_recv_verdict(veskm, address, sent_frame(from).data(), VESK_PDU_LEN);
    }
    // Posts the frame as the receive thread does: judged when the loop runs.
    void post(vesk_port *from, uint32_t rx) {
        uint8_t address[VESK_RECV_ADDR_LEN] = {};
        address_of(rx, address);
        vesk_recv(veskm, address, sent_frame(from).data(), VESK_PDU_LEN);
    }
    std::vector<uint32_t> requested(uint16_t flags) const {
        std::vector<uint32_t> out;
        for (const auto &r : requests())
            if (r.flags == flags)
                out.push_back(r.ifindex);
        return out;
    }
    void step_msec(long msec) {
        zet_clock_advance_usec(msec * 1000);
        thread_run_due(veskm);
    }

    vesk_port *ge1_ = nullptr;
    vesk_port *ge2_ = nullptr;
};

struct CutCase {
    const char *name;
    bool tx_uplink;
    bool rx_uplink;
    uint32_t rx;      // the port ge1's frame comes back on
    int rx_cut;       // ge2: 0 never cut, -1 cut before the frame was sent, 1 since, 2 blocked now
    uint32_t shut;    // the port shut down, 0 for none
    const char *line; // the log holds it
};

class CutRules : public CutTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutRules, CutTheRightPortOrNone) {
    const CutCase &c = GetParam();
    ge1_->uplink = c.tx_uplink;
    ge2_->uplink = c.rx_uplink;
    if (c.rx_cut == 2)
        ge2_->pstate = VESK_PORT_BLOCKED;
    else if (c.rx_cut != 0)
        ge2_->cut_usec = ge1_->tx_usec + c.rx_cut;
    arrive(ge1_, c.rx);
    EXPECT_EQ(requested(0x0001),
              c.shut != 0 ? std::vector<uint32_t>{c.shut} : std::vector<uint32_t>{});
    EXPECT_TRUE(log().contains(c.line)) << log().text();
}

INSTANTIATE_TEST_SUITE_P(
    Verdicts, CutRules,
    ::testing::Values(
        CutCase{"Plain", false, false, 2, 0, 1, "Detect a loop on the port ge1, shut down"},
        CutCase{"ReceiverCutBeforeTheFrameWasSent", false, false, 2, -1, 1,
                "Detect a loop on the port ge1, shut down"},
        CutCase{"ReceiverCutSinceTheFrameWasSent", false, false, 2, 1, 0,
                "Loop on the port ge1 in vlan 10 not cut: the port ge2 it came back on was cut "
                "since the frame was sent"},
        CutCase{"ReceiverBlocked", false, false, 2, 2, 0,
                "Loop on the port ge1 in vlan 10 not cut: the port ge2 it came back on is cut"},
        CutCase{"UplinksFrameOnAnotherPort", true, false, 2, 0, 2,
                "Detect a loop on the port ge2, shut down"},
        CutCase{"BetweenTwoUplinks", true, true, 2, 0, 0,
                "Uplinks ge1 and ge2 exit a loop in vlan 10 between them, not cut"},
        CutCase{"BehindAnUplink", true, false, 1, 0, 0,
                "Uplink ge1 exits a loop in vlan 10 behind itself, not cut"}),
    [](const auto &info) { return std::string(info.param.name); });

// Each port's frame comes back on the other in one batch: in either order, one port is cut and
// it is the one with the higher interface index.
TEST_F(CutTest, BothEndsOfOneLoopInOneBatchCutTheHigherIndexOnly) {
    for (bool ge1_first : {true, false}) {
        SCOPED_TRACE(ge1_first ? "ge1's frame first" : "ge2's frame first");
        clear_requests();
        if (ge1_first)
            post(ge1_, 2);
        post(ge2_, 1);
        if (!ge1_first)
            post(ge1_, 2);
        thread_run_due(veskm);
        EXPECT_EQ(requested(0x0001), std::vector<uint32_t>{2});
        EXPECT_EQ(ge1_->mstate, SMS_WAIT_TX) << "ge1 is not cut";
        EXPECT_TRUE(log().contains("Loop on the port ge1 in vlan 10 not cut: the port ge2 it "
                                   "came back on is cut"));
        vesk_disable_port(ge2_);
        vesk_enable_port(ge2_);
    }
}

TEST_F(CutTest, FastDetectionProbesOncePerTenthOfASecondOutsideTheCadence) {
    const thread *tx_timer = ge1_->tx_timer;
    const long long sent = ge1_->tx_usec;
    zet_clock_advance_usec(1000);
    nsm_msg_fdb_move move{2, 1, 0, {2, 0, 0, 0, 0x0a, 1}};
    nsm_msg_header header{static_cast<uint16_t>(NSM_MSG_FDB_MOVE), sizeof move, 1};
    vesk_nsm_recv_fdb_move(&header, veskm->nc, &move);
    EXPECT_GT(ge1_->tx_usec, sent) << "probed";
    EXPECT_EQ(ge1_->tx_timer, tx_timer) << "the transmit timer keeps its schedule";
    EXPECT_EQ(ge1_->mstate, SMS_WAIT_TX);
    EXPECT_EQ(vesk_port_probe(ge1_), -1) << "again at once";
    zet_clock_advance_usec(VESK_PROBE_MIN_USEC - 1);
    EXPECT_EQ(vesk_port_probe(ge1_), -1);
    zet_clock_advance_usec(1);
    EXPECT_EQ(vesk_port_probe(ge1_), 0);
    zet_clock_advance_usec(VESK_PROBE_MIN_USEC);
    vesk_fast_detect = 0;
    const long long before_off = ge1_->tx_usec;
    vesk_nsm_recv_fdb_move(&header, veskm->nc, &move);
    EXPECT_EQ(ge1_->tx_usec, before_off) << "\"no loop-detect fast-detect\" probes nothing";
    vesk_port *idle = make_port("ge3", 3, {10});
    EXPECT_EQ(vesk_port_probe(idle), -1) << "a port that is not sending does not probe";
}

TEST_F(CutTest, BlockedPortStaysBlockedWhileItsProbesComeBackAndIsFreedAfterTwoMisses) {
    ge1_->loop_process = VESK_LOOP_BLOCK;
    arrive(ge1_, 1);
    ASSERT_EQ(ge1_->pstate, VESK_PORT_BLOCKED);
    EXPECT_EQ(requested(0x0004), std::vector<uint32_t>{1});
    EXPECT_TRUE(requested(0x0001).empty()) << "a blocked port is not shut down";
    EXPECT_NE(ge1_->resume_timer, nullptr) << "the resume time still bounds the block";
    for (int probe = 0; probe < 3; probe++) {
        arrive(ge1_, 1); // the probe came back
        step_msec(VESK_BLOCK_CHECK_MSEC);
        step_msec(VESK_BLOCK_PROBE_MSEC - VESK_BLOCK_CHECK_MSEC);
        ASSERT_EQ(ge1_->pstate, VESK_PORT_BLOCKED) << "probe " << probe;
    }
    step_msec(VESK_BLOCK_CHECK_MSEC);
    step_msec(VESK_BLOCK_PROBE_MSEC - VESK_BLOCK_CHECK_MSEC);
    EXPECT_EQ(ge1_->pstate, VESK_PORT_BLOCKED) << "one miss";
    step_msec(VESK_BLOCK_CHECK_MSEC);
    EXPECT_EQ(ge1_->pstate, VESK_PORT_UP) << "two misses in a row";
    EXPECT_EQ(requested(0x0008), std::vector<uint32_t>{1});
    EXPECT_EQ(ge1_->mstate, SMS_WAIT_TX) << "sending again";
    EXPECT_EQ(ge1_->resume_timer, nullptr);
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, block"));
    EXPECT_TRUE(log().contains("Cancel a loop on the port ge1, unblock"));
}

TEST_F(CutTest, BlockThatCannotBeMadeShutsThePortDownInstead) {
    ge1_->loop_process = VESK_LOOP_BLOCK;
    nsm_client *nc = veskm->nc;
    veskm->nc = nullptr; // the request cannot be delivered
    arrive(ge1_, 1);
    veskm->nc = nc;
    EXPECT_EQ(ge1_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(ge1_->probe_timer, nullptr);
    EXPECT_TRUE(log().contains("Port ge1 cannot be blocked, shut down instead")) << log().text();
    EXPECT_TRUE(log().contains("Detect a loop on the port ge1, shut down"));
}

} // namespace
