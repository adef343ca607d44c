// Management operations on the ports of bridge "1": settings, force up, protect VLANs and
// bridge-wide enabling, with their result codes and debug lines.
#include "vesk/machine/api.h"

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

class VeskApiTest : public vesk_test::ModelFixture {
  protected:
    // Seconds until timer fires, on the process clock.
    static long seconds_left(const thread *timer) {
        timeval now{};
        pal_time_tzcurrent(&now, nullptr);
        return timer->sands.tv_sec - now.tv_sec;
    }

    static std::vector<uint16_t> protect_vlans(vesk_port *port) {
        std::vector<uint16_t> vids;
        for (listnode *n = listhead(port->provlan_info); n != nullptr; n = listnextnode(n))
            vids.push_back(static_cast<vesk_provlan *>(listgetdata(n))->vid);
        return vids;
    }

    // A running port member of VLAN 1 whose machine waits for its next transmission.
    vesk_port *sending_port(const char *name, uint32_t ifindex) {
        vesk_port *port = make_port(name, ifindex, {1});
        EXPECT_EQ(vesk_api_add_protect_vlan(1, port->ifp, bridge()), 0);
        EXPECT_EQ(port->mstate, SMS_WAIT_TX);
        return port;
    }

    // A frame of the port came back: the machine shuts the port down.
    vesk_port *shut_down_port(const char *name, uint32_t ifindex) {
        vesk_port *port = sending_port(name, ifindex);
        vesk_update_state_machine(port);
        EXPECT_EQ(port->pstate, VESK_PORT_SHUTDOWN);
        EXPECT_EQ(port->mstate, SMS_RESUME);
        return port;
    }

    size_t noshutdown_requests(uint32_t ifindex) {
        size_t n = 0;
        for (const auto &r : requests())
            n += r.ifindex == ifindex && r.flags == VESK_PORT_STATE_FLAG_NOSHUTDOWN;
        return n;
    }
};

TEST_F(VeskApiTest, EveryPerPortOperationGivesMinus11ForAnInterfaceOutsideTheBridge) {
    interface *stranger = make_interface("ge9", 9);
    EXPECT_EQ(vesk_api_loop_handle(0, stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_EQ(vesk_api_set_resume(200, stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_EQ(vesk_api_set_tx_interval(20, stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_EQ(vesk_api_force_up(stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_EQ(vesk_api_add_protect_vlan(5, stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_EQ(vesk_api_remove_protect_vlan(5, stranger, bridge()), VESK_ERR_PORT_NOT_FOUND);
    EXPECT_TRUE(log().lines().empty()) << "without events debugging nothing is logged:\n"
                                       << log().text();
}

TEST_F(VeskApiTest, MissingPortIsLoggedWithItsIndexWhenEventsDebuggingIsOn) {
    interface *stranger = make_interface("ge9", 9);
    set_debug(VESK_DEBUG_EVENT);
    vesk_api_loop_handle(0, stranger, bridge());
    vesk_api_set_resume(200, stranger, bridge());
    vesk_api_set_tx_interval(20, stranger, bridge());
    vesk_api_force_up(stranger, bridge());
    vesk_api_add_protect_vlan(5, stranger, bridge());
    vesk_api_remove_protect_vlan(0, stranger, bridge());
    std::vector<std::string> expected = {
        "set loop process, but port 9 is not in the vesk",
        "set port resume time, but port 9 is not in the vesk",
        "set port tx-interval time, but port 9 is not in the vesk",
        "force up the interface, but port 9 is not in the vesk",
        "bridge 1 add provlan 5, but port 9 is not in the vesk",
        "bridge 1 del provlan 0, but port 9 is not in the vesk",
    };
    EXPECT_EQ(log().lines(), expected);
}

TEST_F(VeskApiTest, LoopHandlingIsStoredOnThePort) {
    vesk_port *port = make_port("ge1", 1);
    EXPECT_EQ(port->loop_process, VESK_LOOP_SHUTDOWN);
    EXPECT_EQ(vesk_api_loop_handle(VESK_LOOP_LOG, port->ifp, bridge()), 0);
    EXPECT_EQ(port->loop_process, VESK_LOOP_LOG);
    EXPECT_EQ(vesk_api_loop_handle(VESK_LOOP_SHUTDOWN, port->ifp, bridge()), 0);
    EXPECT_EQ(port->loop_process, VESK_LOOP_SHUTDOWN);
}

TEST_F(VeskApiTest, NewTransmitIntervalLeavesTheArmedTimerAndAppliesAtTheNextArming) {
    vesk_port *port = sending_port("ge1", 1);
    advance(2); // the start phase: frames at 0, 1, 2 s; now the 10-second interval runs
    ASSERT_EQ(port->tx_type, 1u);
    ASSERT_NE(port->tx_timer, nullptr);
    EXPECT_EQ(seconds_left(port->tx_timer), 10);
    EXPECT_EQ(vesk_api_set_tx_interval(30, port->ifp, bridge()), 0);
    EXPECT_EQ(port->tx_interval_time, 30u);
    EXPECT_EQ(seconds_left(port->tx_timer), 10);
    advance(10);
    ASSERT_NE(port->tx_timer, nullptr);
    EXPECT_EQ(seconds_left(port->tx_timer), 30);
}

TEST_F(VeskApiTest, NewResumeTimeLeavesTheWaitInProgress) {
    vesk_port *port = shut_down_port("ge1", 1);
    ASSERT_NE(port->resume_timer, nullptr);
    EXPECT_EQ(seconds_left(port->resume_timer), 180);
    EXPECT_EQ(vesk_api_set_resume(600, port->ifp, bridge()), 0);
    EXPECT_EQ(port->resume_time, 600u);
    EXPECT_EQ(seconds_left(port->resume_timer), 180);
    advance(180);
    EXPECT_EQ(port->mstate, SMS_NOSHUTDOWN);
    EXPECT_EQ(noshutdown_requests(1), 1u);
}

TEST_F(VeskApiTest, ForceUpReleasesAShutDownPortAboutASecondLater) {
    vesk_port *port = shut_down_port("ge1", 1);
    clear_requests();
    EXPECT_EQ(vesk_api_force_up(port->ifp, bridge()), 0);
    ASSERT_NE(port->resume_timer, nullptr);
    EXPECT_EQ(seconds_left(port->resume_timer), 1);
    EXPECT_EQ(noshutdown_requests(1), 0u);
    advance(1);
    EXPECT_EQ(port->mstate, SMS_NOSHUTDOWN);
    EXPECT_EQ(port->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(noshutdown_requests(1), 1u);
    EXPECT_TRUE(log().contains("Cancel a loop on the port ge1, no shut down")) << log().text();
}

TEST_F(VeskApiTest, ForceUpOnAPortThatIsNotShutDownChangesNothing) {
    vesk_port *port = sending_port("ge1", 1);
    thread *tx = port->tx_timer;
    clear_requests();
    EXPECT_EQ(vesk_api_force_up(port->ifp, bridge()), 0);
    EXPECT_EQ(port->tx_timer, tx);
    EXPECT_EQ(port->resume_timer, nullptr);
    EXPECT_EQ(port->mstate, SMS_WAIT_TX);
    EXPECT_TRUE(requests().empty());
}

TEST_F(VeskApiTest, ForceUpAfterTheResumeTimerFiredChangesNothing) {
    vesk_port *port = shut_down_port("ge1", 1);
    advance(180);
    ASSERT_EQ(port->mstate, SMS_NOSHUTDOWN);
    clear_requests();
    EXPECT_EQ(vesk_api_force_up(port->ifp, bridge()), 0);
    advance(2);
    EXPECT_EQ(port->mstate, SMS_NOSHUTDOWN);
    EXPECT_TRUE(requests().empty());
}

TEST_F(VeskApiTest, AddingAMemberVlanMakesAnActiveEntryAndStartsTheMachine) {
    vesk_port *port = make_port("ge1", 1, {1, 20});
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(vesk_api_add_protect_vlan(20, port->ifp, bridge()), 0);
    EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{20});
    EXPECT_EQ(port->active_provlan_count, 1);
    EXPECT_EQ(port->vesk_enable, 1);
    EXPECT_EQ(port->mstate, SMS_WAIT_TX);
}

TEST_F(VeskApiTest, AddingAVlanThePortIsNotInKeepsItInactive) {
    vesk_port *port = make_port("ge1", 1, {1});
    EXPECT_EQ(vesk_api_add_protect_vlan(30, port->ifp, bridge()), 0);
    EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{30});
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(port->vesk_enable, 0);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
}

TEST_F(VeskApiTest, AddingAVlanTwiceChangesNothingEvenAfterMembershipChanged) {
    vesk_port *port = make_port("ge1", 1, {1});
    ASSERT_EQ(vesk_api_add_protect_vlan(30, port->ifp, bridge()), 0);
    // Joining through the model activates the entry; a later add must not count it twice.
    join(port, 30);
    const uint8_t active = port->active_provlan_count;
    EXPECT_EQ(vesk_api_add_protect_vlan(30, port->ifp, bridge()), 0);
    EXPECT_EQ(port->provlan_count, 1);
    EXPECT_EQ(port->active_provlan_count, active);
}

TEST_F(VeskApiTest, SeventeenthProtectVlanGivesMinus13) {
    vesk_port *port = make_port("ge1", 1);
    for (uint16_t vid = 100; vid < 116; vid++)
        ASSERT_EQ(vesk_api_add_protect_vlan(vid, port->ifp, bridge()), 0) << vid;
    EXPECT_EQ(vesk_api_add_protect_vlan(116, port->ifp, bridge()), VESK_ERR_PROVLAN_LIMIT);
    EXPECT_EQ(port->provlan_count, 16);
    EXPECT_EQ(vesk_api_add_protect_vlan(100, port->ifp, bridge()), 0) << "already protected";
}

TEST_F(VeskApiTest, AllocationFailureGivesMinus14AndLeavesThePortAlone) {
    vesk_port *port = make_port("ge1", 1, {1});
    memory_fail_next(MTYPE_VESK_PROVLAN, 1);
    EXPECT_EQ(vesk_api_add_protect_vlan(1, port->ifp, bridge()), VESK_ERR_PROVLAN_NOMEM);
    EXPECT_EQ(port->provlan_count, 0);
    EXPECT_EQ(port->vesk_enable, 0);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
}

TEST_F(VeskApiTest, RemovingAVlanThatIsNotProtectedGivesZero) {
    vesk_port *port = make_port("ge1", 1, {1});
    ASSERT_EQ(vesk_api_add_protect_vlan(1, port->ifp, bridge()), 0);
    EXPECT_EQ(vesk_api_remove_protect_vlan(77, port->ifp, bridge()), 0);
    EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{1});
    EXPECT_EQ(port->mstate, SMS_WAIT_TX);
}

TEST_F(VeskApiTest, RemovingOneVlanKeepsTheOthers) {
    vesk_port *port = make_port("ge1", 1, {1, 2});
    ASSERT_EQ(vesk_api_add_protect_vlan(1, port->ifp, bridge()), 0);
    ASSERT_EQ(vesk_api_add_protect_vlan(2, port->ifp, bridge()), 0);
    EXPECT_EQ(vesk_api_remove_protect_vlan(1, port->ifp, bridge()), 0);
    EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{2});
    EXPECT_EQ(port->active_provlan_count, 1);
    EXPECT_EQ(port->vesk_enable, 1);
}

TEST_F(VeskApiTest, RemovingAllOfAPortWithoutProtectVlansGivesZero) {
    vesk_port *port = make_port("ge1", 1);
    EXPECT_EQ(vesk_api_remove_protect_vlan(0, port->ifp, bridge()), 0);
    EXPECT_EQ(port->provlan_count, 0);
}

TEST_F(VeskApiTest, RemovingAllEmptiesTheListAndStopsTheMachine) {
    vesk_port *port = make_port("ge1", 1, {1, 2});
    for (uint16_t vid : {1, 2, 3})
        ASSERT_EQ(vesk_api_add_protect_vlan(vid, port->ifp, bridge()), 0);
    EXPECT_EQ(vesk_api_remove_protect_vlan(0, port->ifp, bridge()), 0);
    EXPECT_TRUE(protect_vlans(port).empty());
    EXPECT_EQ(port->provlan_count, 0);
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(port->vesk_enable, 0);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port->tx_timer, nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
}

TEST_F(VeskApiTest, RemovingAllOfAShutDownPortReleasesIt) {
    vesk_port *port = shut_down_port("ge1", 1);
    clear_requests();
    EXPECT_EQ(vesk_api_remove_protect_vlan(0, port->ifp, bridge()), 0);
    EXPECT_EQ(noshutdown_requests(1), 1u);
    EXPECT_NE(port->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(port->resume_timer, nullptr);
    EXPECT_EQ(port->loop_vlan_count, 0);
}

TEST_F(VeskApiTest, EnablingTheBridgeProtectsVlan1OnEveryPortAndLeavesCfgEnable) {
    vesk_port *ge2 = make_port("ge2", 2, {1});
    vesk_port *ge10 = make_port("ge10", 10, {1});
    vesk_port *ge1 = make_port("ge1", 1, {1});
    vesk_api_enable_bridge(bridge());
    for (vesk_port *port : {ge1, ge2, ge10}) {
        EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{1}) << port->name;
        EXPECT_EQ(port->cfg_enable, 0) << port->name;
        EXPECT_EQ(port->mstate, SMS_WAIT_TX) << port->name;
    }
}

TEST_F(VeskApiTest, EnablingTheBridgeWalksThePortsInNameOrder) {
    make_port("ge10", 10, {1});
    make_port("ge2", 2, {1});
    make_port("ge1", 1, {1});
    set_debug(VESK_DEBUG_EVENT);
    vesk_api_enable_bridge(bridge());
    // Each port may be enabled twice in a row (once more when VLAN 1 becomes active).
    std::vector<std::string> order;
    for (const auto &line : log().lines()) {
        if (line.rfind("Port ", 0) != 0 || line.find(" enable vesk") == std::string::npos)
            continue;
        if (order.empty() || order.back() != line)
            order.push_back(line);
    }
    std::vector<std::string> expected = {"Port ge1 enable vesk", "Port ge2 enable vesk",
                                         "Port ge10 enable vesk"};
    EXPECT_EQ(order, expected) << log().text();
}

TEST_F(VeskApiTest, EnablingTheBridgeTwiceAddsVlan1Once) {
    vesk_port *port = make_port("ge1", 1, {1});
    vesk_api_enable_bridge(bridge());
    vesk_api_enable_bridge(bridge());
    EXPECT_EQ(protect_vlans(port), std::vector<uint16_t>{1});
    EXPECT_EQ(port->active_provlan_count, 1);
}

TEST_F(VeskApiTest, PortAtTheLimitIsEnabledAllTheSame) {
    vesk_port *port = make_port("ge1", 1, {100});
    for (uint16_t vid = 100; vid < 116; vid++)
        ASSERT_EQ(vesk_api_add_protect_vlan(vid, port->ifp, bridge()), 0);
    vesk_api_enable_bridge(bridge());
    EXPECT_EQ(port->provlan_count, 16);
    EXPECT_EQ(vesk_find_provlan_from_port(1, port), nullptr);
    EXPECT_EQ(port->mstate, SMS_WAIT_TX);
}

TEST_F(VeskApiTest, DisablingTheBridgeClearsCfgEnableAndVlan1ButKeepsOtherVlans) {
    vesk_port *ge1 = make_port("ge1", 1, {1, 5});
    vesk_port *ge2 = make_port("ge2", 2, {1});
    ge1->cfg_enable = 1;
    ASSERT_EQ(vesk_api_add_protect_vlan(5, ge1->ifp, bridge()), 0);
    vesk_api_enable_bridge(bridge());
    vesk_api_disable_bridge(bridge());
    EXPECT_EQ(ge1->cfg_enable, 0);
    EXPECT_EQ(protect_vlans(ge1), std::vector<uint16_t>{5});
    EXPECT_TRUE(protect_vlans(ge2).empty());
    for (vesk_port *port : {ge1, ge2}) {
        EXPECT_EQ(port->mstate, SMS_INITIALIZE) << port->name;
        EXPECT_EQ(port->tx_timer, nullptr) << port->name;
    }
}

TEST_F(VeskApiTest, DisablingTheBridgeReleasesAShutDownPort) {
    vesk_port *port = shut_down_port("ge1", 1);
    clear_requests();
    vesk_api_disable_bridge(bridge());
    EXPECT_EQ(noshutdown_requests(1), 1u);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port->resume_timer, nullptr);
}

TEST_F(VeskApiTest, NullBridgeIsHarmless) {
    vesk_api_enable_bridge(nullptr);
    vesk_api_disable_bridge(nullptr);
    interface *ifp = make_interface("ge3", 3);
    EXPECT_EQ(vesk_api_force_up(ifp, nullptr), VESK_ERR_PORT_NOT_FOUND);
}

} // namespace
