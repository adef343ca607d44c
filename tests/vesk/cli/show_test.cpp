// Show commands: the VLAN membership table with its wrapping, each port's state block, the
// remaining resume time on the virtual clock, and the error answers.
#include <string>

#include "vesk/cli/cli_fixture.h"
#include "vesk/cli/show.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::CliFixture;

const std::string kVlanHeader = "VLAN ID                 Member ports\n"
                                "-------                 --------------------------------\n";
// Where member names begin, and where a wrapped line of names begins.
const std::string kIndent(24, ' ');

// A VLAN row: the id in 8 columns, 16 blanks, then the member text.
std::string row(const std::string &vid, const std::string &members) {
    return vid + std::string(24 - vid.size(), ' ') + members + "\n";
}

class ShowTest : public CliFixture {
  protected:
    // Marks a loop on the port's protect VLAN as the receive path does and lets the machine
    // take it; the network services module then takes the link down.
    void loop_on(vesk_port *port, uint16_t vid) {
        vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
        ASSERT_NE(entry, nullptr);
        entry->is_loop = 1;
        port->loop_vlan_count++;
        vesk_update_state_machine(port);
        ASSERT_EQ(port->pstate, VESK_PORT_SHUTDOWN);
        ASSERT_NE(port->resume_timer, nullptr);
        set_running(port, false);
    }

    // A bridge with a looped, shut-down port, one protecting a VLAN it is not a member of, an
    // unprotected one and a management port.
    void build_bridge() {
        make_port("ge1", 1, {1, 10});
        make_port("ge2", 2, {10});
        ge3_ = make_port("ge3", 3, {10, 20});
        make_port("mgm0", 4, {1}, false);
        configure({"interface ge1", "loop-detect enable", "loop-detect protect vlan 30",
                   "loop-detect protect vlan 10", "interface ge3", "loop-detect protect vlan 20",
                   "loop-detect protect vlan 10", "loop-detect resume time 250"});
        advance(3);
        loop_on(ge3_, 20);
        advance(100);
    }

    vesk_port *ge3_ = nullptr;
};

const char kGe3Block[] = "  isProtected: Yes\n"
                         "  ProtectVlan list: 20 10 \n"
                         "  isLoop: Yes\n"
                         "  LoopVlan list: 20 \n"
                         "  Port state: shutdown\n"
                         "  up remaining time: 150s \n";

TEST_F(ShowTest, LoopDetectShowsVlanTableGlobalStateAndEveryPort) {
    build_bridge();

    EXPECT_EQ(run("show loop-detect"), kVlanHeader + row("1", "ge1 ") + row("10", "ge1 ge2 ge3 ") +
                                           row("20", "ge3 ") +
                                           "\n"
                                           "neighbour loop detection protocol: disable \n"
                                           "Interface ge1\n"
                                           "  isProtected: Yes\n"
                                           "  ProtectVlan list: 1 10 \n"
                                           "  isLoop: No\n"
                                           "  Port state: up\n"
                                           "Interface ge2\n"
                                           "  isProtected: No\n"
                                           "  Port state: up\n"
                                           "Interface ge3\n" +
                                           kGe3Block +
                                           "Interface mgm0\n"
                                           "  isProtected: No\n"
                                           "  Port state: down\n"
                                           "\n");
    EXPECT_EQ(result_, 0);
}

TEST_F(ShowTest, LoopDetectOfEnabledBridgeSaysEnable) {
    configure({"loop-detect enable"});
    EXPECT_EQ(run("show loop-detect"),
              kVlanHeader + "\nneighbour loop detection protocol: enable \n\n");
}

TEST_F(ShowTest, InterfaceShowsOnlyThatPortsBlock) {
    build_bridge();
    EXPECT_EQ(run("show loop-detect interface ge3"), kGe3Block);
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(run("show loop-detect interface ge2"), "  isProtected: No\n  Port state: up\n");
    EXPECT_EQ(result_, 0);
}

TEST_F(ShowTest, RemainingTimeCountsDownOnTheVirtualClock) {
    build_bridge();
    advance(149);
    EXPECT_EQ(run("show loop-detect interface ge3"),
              "  isProtected: Yes\n  ProtectVlan list: 20 10 \n  isLoop: Yes\n"
              "  LoopVlan list: 20 \n  Port state: shutdown\n  up remaining time: 1s \n");
    zet_clock_advance_usec(400000);
    EXPECT_NE(run("show loop-detect interface ge3").find("  up remaining time: 0s \n"),
              std::string::npos);
}

TEST_F(ShowTest, ProtectListShowsOnlyVlansThePortBelongsTo) {
    vesk_port *port = make_port("ge1", 1, {2});
    configure({"interface ge1", "loop-detect protect vlan 5", "loop-detect protect vlan 6"});
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: Yes\n"
                                                     "  ProtectVlan list: \n"
                                                     "  isLoop: No\n"
                                                     "  Port state: up\n");
    join(port, 6);
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: Yes\n"
                                                     "  ProtectVlan list: 6 \n"
                                                     "  isLoop: No\n"
                                                     "  Port state: up\n");
}

TEST_F(ShowTest, PortStateIsUpOnlyWhenTheInterfaceIsUpAndRunning) {
    vesk_port *port = make_port("ge1", 1, {});
    port->pstate = VESK_PORT_SHUTDOWN;
    port->flags = 0x41;
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: No\n  Port state: up\n");
    port->flags = 0x01;
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: No\n  Port state: shutdown\n");
    port->pstate = VESK_PORT_NOSHUTDOWN;
    EXPECT_EQ(run("show loop-detect interface ge1"),
              "  isProtected: No\n  Port state: no shutdown\n");
    port->pstate = VESK_PORT_UP;
    port->flags = 0x40;
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: No\n  Port state: up\n");
    port->pstate = VESK_PORT_DOWN;
    EXPECT_EQ(run("show loop-detect interface ge1"), "  isProtected: No\n  Port state: down\n");
}

TEST_F(ShowTest, VlanTableWrapsNamesBeyondThirtyOneColumnsAndHidesMgmPorts) {
    make_port("mgm0", 20, {1, 10});
    for (int i = 1; i <= 9; i++) {
        make_port(("ge" + std::to_string(i)).c_str(), static_cast<uint32_t>(i), {1});
    }
    make_port("xe10", 10, {10});
    vlan(300);

    EXPECT_EQ(run("show loop-detect vlan"),
              kVlanHeader + row("1", "ge1 ge2 ge3 ge4 ge5 ge6 ge7 \n" + kIndent + "ge8 ge9 ") +
                  row("10", "xe10 ") + row("300", ""));
    EXPECT_EQ(result_, 0);
}

TEST_F(ShowTest, VlanTableWrapsLongNamesAgainAndAgain) {
    make_port("ge1", 1, {4094});
    make_port("ge2", 2, {4094});
    make_port("ge3", 3, {4094});
    make_port("tengigabitethernet1", 4, {4094});
    make_port("ge4", 5, {4094});
    make_port("ge5", 6, {4094});
    make_port("ge6", 7, {4094});

    EXPECT_EQ(run("show loop-detect vlan"),
              kVlanHeader + row("4094", "ge1 ge2 ge3 \n" + kIndent +
                                            "tengigabitethernet1 ge4 ge5 \n" + kIndent + "ge6 "));
}

TEST_F(ShowTest, BridgeWithoutVlanTableListsNoVlan) {
    make_port("ge1", 1, {});
    EXPECT_EQ(run("show loop-detect vlan"), kVlanHeader);
}

TEST_F(ShowTest, ErrorsNameTheFault) {
    make_port("ge1", 1, {1});
    make_interface("ge2", 2);

    EXPECT_EQ(run("show loop-detect interface ge7"), "% Interface does not exist: ge7\n");
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(run("show loop-detect interface ge2"), "% The port is not found in the bridge\n");
    EXPECT_EQ(result_, 1);

    char *no_name[] = {nullptr};
    EXPECT_EQ(show_vesk_port(cli_, 0, no_name), 1);
    EXPECT_EQ(cli_output_take(cli_), "% Interface name formate error \n");
}

TEST_F(ShowTest, WithoutBridgeOnlyTheCheckSpeaks) {
    make_port("ge1", 1, {1});
    listnode_delete(master()->bridge_list, bridge());
    std::string all = run("show loop-detect");
    int all_result = result_;
    std::string vlans = run("show loop-detect vlan");
    int vlans_result = result_;
    std::string one = run("show loop-detect interface ge1");
    int one_result = result_;
    listnode_add(master()->bridge_list, bridge());

    EXPECT_EQ(all, "% The bridge is not found\n");
    EXPECT_EQ(all_result, 0);
    EXPECT_EQ(vlans, "% The bridge is not found\n");
    EXPECT_EQ(vlans_result, 0);
    EXPECT_EQ(one, "% The bridge is not found\n% The bridge is not found\n");
    EXPECT_EQ(one_result, 1);
}

TEST_F(ShowTest, ShowCommandsNeedTheHighestPrivilege) {
    struct cli *user = cli_new(veskm, PRIVILEGE_MIN);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(cli_execute(user, "show loop-detect", false), CLI_ERR_PRIVILEGE);
    EXPECT_EQ(cli_execute(user, "show loop-detect vlan", false), CLI_ERR_PRIVILEGE);
    EXPECT_EQ(cli_execute(user, "show loop-detect interface ge1", false), CLI_ERR_PRIVILEGE);
    cli_free(user);
}

int no_op(struct thread *) {
    return 0;
}

class RemainingTicsTest : public CliFixture {};

TEST_F(RemainingTicsTest, NoTimerHasNoTimeLeft) {
    EXPECT_EQ(l2_timer_get_remaining_tics(nullptr), 0);
}

TEST_F(RemainingTicsTest, CountsInTwoHundredFiftySixthsOfASecond) {
    struct thread *timer = thread_add_timer(veskm, no_op, nullptr, 3);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer), 3 * 256);
    zet_clock_advance_usec(500000);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer), 2 * 256 + 128);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer) >> 8, 2);
    zet_clock_advance_usec(2499999);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer), 0);
    thread_cancel(timer);

    timer = thread_add_timer(veskm, no_op, nullptr, 1);
    zet_clock_advance_usec(1);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer), 256);
    thread_cancel(timer);
}

TEST_F(RemainingTicsTest, PastDueIsZero) {
    struct thread *timer = thread_add_timer(veskm, no_op, nullptr, 2);
    ASSERT_NE(timer, nullptr);
    zet_clock_advance_usec(7500000);
    EXPECT_EQ(l2_timer_get_remaining_tics(timer), 0);
    thread_cancel(timer);
}

TEST_F(RemainingTicsTest, LogsOnlyWhileTheLayerTwoTimerBitIsSet) {
    struct thread *timer = thread_add_timer(veskm, no_op, nullptr, 3);
    ASSERT_NE(timer, nullptr);
    zet_clock_advance_usec(500000);
    l2_timer_get_remaining_tics(timer);
    EXPECT_FALSE(log().contains("tics remaining"));

    term_layer2_debug_proto = VESK_L2_DEBUG_TIMER;
    l2_timer_get_remaining_tics(timer);
    term_layer2_debug_proto = 0;
    EXPECT_TRUE(log().contains("tics remaining 640 t.usand 1000003.000000now 1000000.500000"))
        << log().text();
    thread_cancel(timer);
}

} // namespace
