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

using Seconds = std::vector<long>;
using vesk_test::PortStateRequest;

class Machine : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        port_ = make_port("ge1", 1, {1, 2});
        set_debug(VESK_DEBUG_MACHINE);
    }

    // What a link-up message does to a port.
    void link_up() {
        set_running(port_, true);
        port_->tx_type = 0;
        port_->tx_count = 0;
        vesk_port_clear_all_provlan_loopflag(port_);
        vesk_set_port_state(port_, VESK_PORT_UP);
    }

    // A running port, link up, protecting VLAN 1: it sends from now on.
    void start() {
        vesk_set_port_state(port_, VESK_PORT_UP);
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    }

    size_t sends() const { return log_count_exact("Port ge1 mstate change to SMS_SENDING"); }

    // The seconds (since SetUp) at which the port sends, from now for the next n seconds;
    // a send that already happened at this second counts.
    Seconds sends_during(long n) {
        Seconds at;
        size_t seen = sends_before_;
        auto collect = [&] {
            for (const size_t now = sends(); seen < now; seen++)
                at.push_back(elapsed());
        };
        collect();
        for (long i = 0; i < n; i++) {
            advance(1);
            collect();
        }
        sends_before_ = seen;
        return at;
    }

    // Forgets the sends so far, so that sends_during starts afresh.
    void mark() { sends_before_ = sends(); }

    vesk_port *port_ = nullptr;
    size_t sends_before_ = 0;
};

PortStateRequest request(uint16_t flags, uint32_t ifindex) {
    return vesk_test::port_state_request(flags, ifindex);
}

TEST_F(Machine, ANewPortSendsThreeTimesASecondApartThenEveryInterval) {
    start();
    EXPECT_EQ(sends_during(40), (Seconds{0, 1, 2, 12, 22, 32}));
    EXPECT_EQ(port_->tx_type, 1u);
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
}

TEST_F(Machine, EnabledAgainItSendsAtOnceThenEveryInterval) {
    start();
    advance(45);
    mark();
    vesk_enable_port(port_);
    EXPECT_EQ(sends_during(25), (Seconds{45, 55, 65}));
}

TEST_F(Machine, LinkUpStartsTheOneSecondPhaseAgain) {
    start();
    advance(45);
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    mark();
    link_up();
    EXPECT_EQ(sends_during(20), (Seconds{45, 46, 47, 57}));
}

TEST_F(Machine, ANewIntervalAppliesFromTheNextArming) {
    start();
    advance(35);
    mark();
    port_->tx_interval_time = 30;
    EXPECT_EQ(sends_during(40), (Seconds{42, 72}));
}

TEST_F(Machine, ALoopReportShutsThePortDownOnceAndArmsTheResume) {
    start();
    advance(5);
    ASSERT_NE(port_->tx_timer, nullptr);
    clear_requests();
    log().clear();

    vesk_update_state_machine(port_);

    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{request(0x0001, 1)}));
    EXPECT_EQ(log_count_exact("Detect a loop on the port ge1, shut down"), 1u) << log().text();
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_NE(port_->resume_timer, nullptr);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);

    mark();
    advance(179);
    EXPECT_EQ(requests().size(), 1u);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    advance(1);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{request(0x0001, 1), request(0x0002, 1)}));
    EXPECT_EQ(log_count_exact("Cancel a loop on the port ge1, no shut down"), 1u);
    EXPECT_EQ(port_->mstate, SMS_NOSHUTDOWN);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(port_->resume_timer, nullptr);
    EXPECT_EQ(sends_during(0), Seconds{}) << "a shut-down port sends nothing";
}

TEST_F(Machine, TheLoopWarningsAreWarningsWhateverTheDebugFlags) {
    set_debug(0);
    start();
    vesk_update_state_machine(port_);
    advance(180);
    const std::vector<std::string> lines = log().lines();
    const std::vector<int> prios = log().priorities();
    ASSERT_EQ(lines.size(), 2u) << log().text();
    EXPECT_EQ(lines[0], "Detect a loop on the port ge1, shut down");
    EXPECT_EQ(lines[1], "Cancel a loop on the port ge1, no shut down");
    EXPECT_EQ(prios[0], ZLOG_WARNING);
    EXPECT_EQ(prios[1], ZLOG_WARNING);
}

TEST_F(Machine, ASecondLoopReportDuringTheResumeChangesNothing) {
    start();
    vesk_update_state_machine(port_);
    advance(50);
    thread *resume = port_->resume_timer;
    vesk_update_state_machine(port_);
    EXPECT_EQ(port_->resume_timer, resume);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{request(0x0001, 1)}));
    advance(129);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    advance(1);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
}

TEST_F(Machine, LinkDownWhileShutDownChangesNothing) {
    start();
    vesk_update_state_machine(port_);
    thread *resume = port_->resume_timer;
    log().clear();
    set_running(port_, false);
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
    EXPECT_EQ(port_->resume_timer, resume);
    EXPECT_TRUE(log().lines().empty()) << log().text();
    advance(180);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
}

TEST_F(Machine, AReleasedPortSendsAgainWhenItsLinkComesUp) {
    start();
    advance(12);
    vesk_update_state_machine(port_);
    set_running(port_, false);
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    advance(180);
    ASSERT_EQ(port_->mstate, SMS_NOSHUTDOWN);
    mark();
    link_up();
    EXPECT_EQ(port_->pstate, VESK_PORT_UP);
    EXPECT_EQ(sends_during(3), (Seconds{192, 193, 194}));
}

TEST_F(Machine, ForceUpReleasesAResumingPortOneSecondLater) {
    start();
    vesk_update_state_machine(port_);
    advance(10);
    vesk_port_resume_soon(port_);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    advance(1);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(requests().size(), 2u);
}

TEST_F(Machine, ForceUpOutsideTheResumeChangesNothing) {
    start();
    advance(5);
    thread *tx = port_->tx_timer;
    vesk_port_resume_soon(port_);
    EXPECT_EQ(port_->tx_timer, tx);
    EXPECT_EQ(port_->resume_timer, nullptr);
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
    vesk_port_resume_soon(nullptr);
}

TEST_F(Machine, DisableWhileShutDownReleasesAtOnce) {
    start();
    vesk_update_state_machine(port_);
    clear_requests();
    vesk_disable_port(port_);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{request(0x0002, 1)}));
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_EQ(port_->resume_timer, nullptr);
    advance(200);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(Machine, EnableOnAPortThatIsNotRunningSendsNothing) {
    set_running(port_, false);
    start();
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_EQ(sends_during(30), Seconds{});
}

TEST_F(Machine, EnableWithoutActiveProtectVlanSendsNothing) {
    vesk_set_port_state(port_, VESK_PORT_UP);
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(sends_during(30), Seconds{});
}

TEST_F(Machine, EnableWhileShutDownWithTheLinkDownRestsUntilADisable) {
    start();
    vesk_update_state_machine(port_);
    set_running(port_, false);
    vesk_set_port_state(port_, VESK_PORT_DOWN);
    clear_requests();
    vesk_enable_port(port_);
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_EQ(port_->resume_timer, nullptr);
    advance(300);
    EXPECT_TRUE(requests().empty());
    vesk_disable_port(port_);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{request(0x0002, 1)}));
}

TEST_F(Machine, APortThatStopsRunningStopsAtItsNextExpiry) {
    start();
    advance(12);
    set_running(port_, false);
    mark();
    EXPECT_EQ(sends_during(30), Seconds{});
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
    EXPECT_EQ(port_->tx_timer, nullptr);

    // With no transmit timer a loop report counts as a transmission tick, not as a loop.
    set_running(port_, true);
    mark();
    vesk_update_state_machine(port_);
    EXPECT_EQ(sends_during(10), (Seconds{42, 52}));
    EXPECT_EQ(port_->pstate, VESK_PORT_UP);
}

TEST_F(Machine, LoopReportsOutsideTheWaitChangeNothing) {
    vesk_set_port_state(port_, VESK_PORT_UP);
    for (uint32_t state : {SMS_SENDING, SMS_SHUTDOWN, SMS_NOSHUTDOWN}) {
        port_->mstate = state;
        vesk_update_state_machine(port_);
        EXPECT_EQ(port_->mstate, state);
        EXPECT_EQ(port_->tx_timer, nullptr);
        EXPECT_EQ(port_->resume_timer, nullptr);
    }
    EXPECT_TRUE(requests().empty());
    vesk_update_state_machine(nullptr);
}

TEST_F(Machine, EnableLogsInTheMachineOrder) {
    set_debug(VESK_DEBUG_EVENT | VESK_DEBUG_MACHINE);
    port_->vesk_enable = 1;
    vesk_enable_port(port_);
    EXPECT_EQ(log().lines(), (std::vector<std::string>{
                                 "Port ge1 enable vesk",
                                 "Port ge1 mstate change to SMS_INITIALIZE",
                                 "Vesk port ge1 start update machine, mstate is SMS_INITIALIZE",
                                 "Port ge1 mstate change to SMS_SENDING",
                                 "Port ge1 mstate change to SMS_WAIT_TX",
                             }));
}

TEST_F(Machine, ShutdownLogsInTheMachineOrder) {
    start();
    advance(3);
    set_debug(VESK_DEBUG_EVENT | VESK_DEBUG_MACHINE);
    log().clear();
    vesk_update_state_machine(port_);
    EXPECT_EQ(log().lines(), (std::vector<std::string>{
                                 "Vesk port ge1 start update machine, mstate is SMS_WAIT_TX",
                                 "Port ge1 mstate change to SMS_SHUTDOWN",
                                 "vesk start send message to nsm to shutdown port ge1",
                                 "Detect a loop on the port ge1, shut down",
                                 "port ge1 state change VESK_PORT_UP to VESK_PORT_SHUTDOWN",
                                 "Port ge1 mstate change to SMS_RESUME",
                             }));
}

TEST_F(Machine, TimerExpiriesAreLoggedWithTheState) {
    start();
    log().clear();
    advance(1);
    EXPECT_EQ(log_count_exact("Port ge1 tx time expire, mstate is SMS_WAIT_TX"), 1u)
        << log().text();
    vesk_update_state_machine(port_);
    advance(180);
    EXPECT_EQ(log_count_exact("Port ge1 resume time expire, mstate is SMS_RESUME"), 1u);
}

TEST_F(Machine, NothingIsLoggedWithoutDebugging) {
    set_debug(0);
    start();
    advance(40);
    EXPECT_TRUE(log().lines().empty()) << log().text();
}

TEST_F(Machine, TimerCallbacksWithoutAPortDoNothing) {
    EXPECT_EQ(vesk_port_tx_handle(nullptr), 0);
    EXPECT_EQ(vesk_port_resume_handle(nullptr), 0);
    thread empty = {};
    EXPECT_EQ(vesk_port_tx_handle(&empty), 0);
    EXPECT_EQ(vesk_port_resume_handle(&empty), 0);
}

TEST_F(Machine, ATimerThatCannotBeArmedIsReported) {
    memory_fail_next(MTYPE_ZET_THREAD, 1);
    start();
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
    EXPECT_EQ(port_->tx_timer, nullptr);
    EXPECT_EQ(log_count_exact("Port ge1 cannot arm its tx timer"), 1u) << log().text();
}

TEST_F(Machine, RunningMeansUpAndRunning) {
    port_->flags = 0x1;
    EXPECT_EQ(vesk_port_is_running(port_), 0);
    port_->flags = 0x40;
    EXPECT_EQ(vesk_port_is_running(port_), 0);
    port_->flags = 0x41 | 0x1000;
    EXPECT_EQ(vesk_port_is_running(port_), 1);
    EXPECT_EQ(vesk_port_is_running(nullptr), 0);
}

TEST_F(Machine, StateNamesFollowTheStateValues) {
    EXPECT_STREQ(portMachineState[SMS_INITIALIZE], "SMS_INITIALIZE");
    EXPECT_STREQ(portMachineState[SMS_SENDING], "SMS_SENDING");
    EXPECT_STREQ(portMachineState[SMS_WAIT_TX], "SMS_WAIT_TX");
    EXPECT_STREQ(portMachineState[SMS_SHUTDOWN], "SMS_SHUTDOWN");
    EXPECT_STREQ(portMachineState[SMS_RESUME], "SMS_RESUME");
    EXPECT_STREQ(portMachineState[SMS_NOSHUTDOWN], "SMS_NOSHUTDOWN");
    EXPECT_STREQ(vesk_machine_state_name(6), "unknown");
}

} // namespace
