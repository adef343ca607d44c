#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

namespace {

using vesk_test::port_state_request;
using vesk_test::PortStateRequest;
using Requests = std::vector<PortStateRequest>;

class PortState : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        port_ = make_port("ge4", 4, {1});
    }

    vesk_port *port_ = nullptr;
};

TEST_F(PortState, TheRecordIsEightBytesOfFlagsReservedAndIndex) {
    EXPECT_EQ(vesk_send_port_state_to_nsm(0x01020304, 1), 0);
    ASSERT_EQ(nsm_client_sent_count(veskm->nc), 1u);
    int type = 0;
    uint8_t buf[16] = {};
    size_t len = 0;
    ASSERT_EQ(nsm_client_sent_get(veskm->nc, 0, &type, buf, sizeof buf, &len), 0);
    EXPECT_EQ(type, 168);
    ASSERT_EQ(len, 8u);
    uint16_t flags = 0;
    uint16_t reserved = 0xffff;
    uint32_t ifindex = 0;
    std::memcpy(&flags, buf, 2);
    std::memcpy(&reserved, buf + 2, 2);
    std::memcpy(&ifindex, buf + 4, 4);
    EXPECT_EQ(flags, 0x0001);
    EXPECT_EQ(reserved, 0);
    EXPECT_EQ(ifindex, 0x01020304u);
}

TEST_F(PortState, EveryOtherRequestLiftsTheShutdown) {
    for (int req : {2, 0, 5, -1})
        EXPECT_EQ(vesk_send_port_state_to_nsm(9, req), 0);
    EXPECT_EQ(requests(), (Requests(4, port_state_request(0x0002, 9))));
}

TEST_F(PortState, WithoutAClientNothingIsSent) {
    nsm_client *nc = veskm->nc;
    veskm->nc = nullptr;
    EXPECT_EQ(vesk_send_port_state_to_nsm(9, 1), -1);
    veskm->nc = nc;
    EXPECT_TRUE(requests().empty());
}

TEST_F(PortState, TheCurrentStateChangesNothing) {
    set_debug(VESK_DEBUG_EVENT | VESK_DEBUG_MACHINE);
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    port_->pstate = VESK_PORT_SHUTDOWN;
    vesk_set_port_state(port_, VESK_PORT_SHUTDOWN);
    EXPECT_TRUE(requests().empty());
    EXPECT_TRUE(log().lines().empty()) << log().text();
}

TEST_F(PortState, UnknownStatesAreIgnored) {
    vesk_set_port_state(port_, VESK_PORT_STATE_MAX);
    vesk_set_port_state(port_, 0xffffffff);
    vesk_set_port_state(nullptr, VESK_PORT_UP);
    EXPECT_EQ(port_->pstate, VESK_PORT_DOWN);
    EXPECT_TRUE(requests().empty());
}

TEST_F(PortState, ShutdownSendsOneRecordAndWarnsWhateverTheDebugFlags) {
    port_->pstate = VESK_PORT_UP;
    vesk_set_port_state(port_, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(requests(), (Requests{port_state_request(0x0001, 4)}));
    EXPECT_EQ(log().lines(),
              (std::vector<std::string>{"Detect a loop on the port ge4, shut down"}));
    EXPECT_EQ(log().priorities(), (std::vector<int>{ZLOG_WARNING}));
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
}

TEST_F(PortState, ReleaseSendsOneRecordAndWarns) {
    port_->pstate = VESK_PORT_SHUTDOWN;
    vesk_set_port_state(port_, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(requests(), (Requests{port_state_request(0x0002, 4)}));
    EXPECT_EQ(log().lines(),
              (std::vector<std::string>{"Cancel a loop on the port ge4, no shut down"}));
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
}

TEST_F(PortState, ShutdownWithEventDebuggingLogsAnnounceWarningAndChange) {
    set_debug(VESK_DEBUG_EVENT);
    port_->pstate = VESK_PORT_UP;
    vesk_set_port_state(port_, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(log().lines(), (std::vector<std::string>{
                                 "vesk start send message to nsm to shutdown port ge4",
                                 "Detect a loop on the port ge4, shut down",
                                 "port ge4 state change VESK_PORT_UP to VESK_PORT_SHUTDOWN",
                             }));
}

TEST_F(PortState, LinkDownLeavesAShutDownPortWaitingForItsResume) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    vesk_set_port_state(port_, VESK_PORT_UP);
    vesk_update_state_machine(port_);
    ASSERT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    thread *resume = port_->resume_timer;
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(port_->resume_timer, resume);
    advance(180);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(requests(), (Requests{port_state_request(0x0001, 4), port_state_request(0x0002, 4)}));
}

TEST_F(PortState, UpStartsAndDownStopsTheMachine) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    log().clear();
    vesk_set_port_state(port_, VESK_PORT_UP);
    EXPECT_EQ(log().lines(), (std::vector<std::string>{
                                 "Port ge4 enable vesk",
                                 "port ge4 state change VESK_PORT_DOWN to VESK_PORT_UP",
                             }));
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
    log().clear();
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    EXPECT_EQ(log().lines(), (std::vector<std::string>{
                                 "Port ge4 disable vesk",
                                 "port ge4 state change VESK_PORT_UP to VESK_PORT_DOWN",
                             }));
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_TRUE(requests().empty());
}

TEST_F(PortState, NamesFollowTheStateValues) {
    EXPECT_STREQ(portState[VESK_PORT_DOWN], "VESK_PORT_DOWN");
    EXPECT_STREQ(portState[VESK_PORT_UP], "VESK_PORT_UP");
    EXPECT_STREQ(portState[VESK_PORT_SHUTDOWN], "VESK_PORT_SHUTDOWN");
    EXPECT_STREQ(portState[VESK_PORT_NOSHUTDOWN], "VESK_PORT_NOSHUTDOWN");
    EXPECT_STREQ(portCliState[VESK_PORT_DOWN], "down");
    EXPECT_STREQ(portCliState[VESK_PORT_UP], "up");
    EXPECT_STREQ(portCliState[VESK_PORT_SHUTDOWN], "shutdown");
    EXPECT_STREQ(portCliState[VESK_PORT_NOSHUTDOWN], "no shutdown");
    EXPECT_STREQ(vesk_port_state_name(9), "unknown");
    EXPECT_STREQ(vesk_port_cli_state_name(9), "unknown");
}

} // namespace
