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

std::vector<int> protect_vlans(const vesk_port *port) {
    std::vector<int> ids;
    for (listnode *n = listhead(port->provlan_info); n != nullptr; n = listnextnode(n))
        ids.push_back(static_cast<vesk_provlan *>(listgetdata(n))->vid);
    return ids;
}

class ProtectVlans : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        port_ = make_port("ge1", 1, {1, 2, 3});
        vesk_set_port_state(port_, VESK_PORT_UP);
    }

    size_t enables() const { return log_count_exact("Port ge1 enable vesk"); }

    // What the verdict does when a frame of vid comes back.
    void mark_loop(uint16_t vid) {
        vesk_provlan *entry = vesk_find_provlan_from_port(vid, port_);
        ASSERT_NE(entry, nullptr);
        entry->is_loop = 1;
        port_->loop_vlan_count++;
    }

    // What removing every protect VLAN of a port does.
    void remove_all() {
        listnode *next = nullptr;
        for (listnode *n = listhead(port_->provlan_info); n != nullptr; n = next) {
            next = listnextnode(n);
            auto *entry = static_cast<vesk_provlan *>(listgetdata(n));
            vesk_remove_allprovlan_from_port(entry->vid, port_, 1);
            listnode_delete(port_->provlan_info, entry);
            port_->provlan_count--;
            vesk_free_protect_vlan(entry);
        }
    }

    vesk_port *port_ = nullptr;
};

TEST_F(ProtectVlans, SixteenFitAndTheSeventeenthIsRefused) {
    for (uint16_t vid = 100; vid < 116; vid++)
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, vid, port_, 0), 0) << vid;
    EXPECT_EQ(vesk_check_protect_vlan_count(port_), 0);
    EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), VESK_ERR_PROVLAN_LIMIT);
    EXPECT_EQ(port_->provlan_count, 16);
    EXPECT_EQ(port_->active_provlan_count, 0);
    EXPECT_EQ(port_->vesk_enable, 0);
    EXPECT_EQ(protect_vlans(port_).size(), 16u);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 16);
}

TEST_F(ProtectVlans, KeepTheirOrderAndOneEntryPerVlan) {
    for (uint16_t vid : {30, 10, 20})
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, vid, port_, 0), 0);
    EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 10, port_, 0), 0);
    EXPECT_EQ(protect_vlans(port_), (std::vector<int>{30, 10, 20}));
    EXPECT_EQ(port_->provlan_count, 3);
    EXPECT_EQ(vesk_find_provlan_from_port(20, port_)->vid, 20);
    EXPECT_EQ(vesk_find_provlan_from_port(40, port_), nullptr);
    EXPECT_EQ(vesk_find_provlan_from_port(20, nullptr), nullptr);
}

TEST_F(ProtectVlans, AVlanThePortIsNotInWaitsForTheMembership) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 7, port_, 0), 0);
    vesk_provlan *entry = vesk_find_provlan_from_port(7, port_);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->in_vlan, 0u);
    EXPECT_EQ(entry->is_loop, 0);
    EXPECT_EQ(port_->vesk_enable, 0);
    EXPECT_EQ(enables(), 0u);

    join(port_, 7);
    EXPECT_EQ(entry->in_vlan, 1u);
    EXPECT_EQ(port_->active_provlan_count, 1);
    EXPECT_EQ(port_->vesk_enable, 1);
    EXPECT_EQ(enables(), 1u);
    EXPECT_EQ(port_->mstate, SMS_WAIT_TX);
}

TEST_F(ProtectVlans, AFurtherActiveVlanRestartsARunningPort) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    EXPECT_EQ(enables(), 2u);
    EXPECT_EQ(port_->active_provlan_count, 2);
    // Activating an already active entry changes no count and restarts nothing.
    EXPECT_EQ(vesk_add_provlan_to_port(vesk_find_provlan_from_port(2, port_), 2, port_, 1), 0);
    EXPECT_EQ(enables(), 2u);
}

TEST_F(ProtectVlans, AFurtherActiveVlanLeavesAShutDownPortAlone) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    vesk_update_state_machine(port_);
    ASSERT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    EXPECT_EQ(enables(), 1u);
    EXPECT_EQ(port_->mstate, SMS_RESUME);
}

TEST_F(ProtectVlans, AFurtherActiveVlanLeavesAResumingPortAlone) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    vesk_update_state_machine(port_);
    // The link went down and came back while the resume timer still runs.
    port_->pstate = VESK_PORT_UP;
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    EXPECT_EQ(enables(), 1u);
    EXPECT_NE(port_->resume_timer, nullptr);
}

TEST_F(ProtectVlans, LeavingTheOnlyActiveVlanStopsThePortButKeepsTheEntry) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_NE(port_->tx_timer, nullptr);
    leave(port_, 1);
    vesk_provlan *entry = vesk_find_provlan_from_port(1, port_);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->in_vlan, 0u);
    EXPECT_EQ(port_->provlan_count, 1);
    EXPECT_EQ(port_->active_provlan_count, 0);
    EXPECT_EQ(port_->vesk_enable, 0);
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->tx_timer, nullptr);
}

TEST_F(ProtectVlans, DeactivatingAnInactiveEntryChangesNothing) {
    set_debug(VESK_DEBUG_EVENT | VESK_DEBUG_MACHINE);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 9, port_, 0), 0);
    log().clear();
    EXPECT_EQ(vesk_remove_provlan_from_port(9, port_, 0), 0);
    EXPECT_EQ(vesk_remove_provlan_from_port(44, port_, 1), 0);
    EXPECT_EQ(port_->provlan_count, 1);
    EXPECT_TRUE(log().lines().empty()) << log().text();
}

TEST_F(ProtectVlans, RemovingTheLoopedVlanOfAShutDownPortResumesItInOneSecond) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    advance(3);
    mark_loop(1);
    vesk_update_state_machine(port_);
    ASSERT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    advance(20);

    EXPECT_EQ(vesk_remove_provlan_from_port(1, port_, 1), 0);
    EXPECT_EQ(protect_vlans(port_), (std::vector<int>{2}));
    EXPECT_EQ(port_->loop_vlan_count, 0);
    EXPECT_EQ(port_->active_provlan_count, 1);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
    advance(1);
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{port_state_request(0x0001, 1),
                                                         port_state_request(0x0002, 1)}));
}

TEST_F(ProtectVlans, RemovingAVlanWithoutALoopKeepsTheResumeTime) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    mark_loop(1);
    vesk_update_state_machine(port_);
    thread *resume = port_->resume_timer;
    EXPECT_EQ(vesk_remove_provlan_from_port(2, port_, 1), 0);
    EXPECT_EQ(port_->resume_timer, resume);
    advance(179);
    EXPECT_EQ(port_->pstate, VESK_PORT_SHUTDOWN);
}

TEST_F(ProtectVlans, RemovingTheLastActiveVlanOfAShutDownPortReleasesItAtOnce) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    mark_loop(1);
    vesk_update_state_machine(port_);
    clear_requests();
    EXPECT_EQ(vesk_remove_provlan_from_port(1, port_, 1), 0);
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{port_state_request(0x0002, 1)}));
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port_->resume_timer, nullptr);
    EXPECT_EQ(port_->vesk_enable, 0);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
}

TEST_F(ProtectVlans, RemovingAllLeavesEveryCounterAtZero) {
    for (uint16_t vid : {1, 2, 9})
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, vid, port_, vid < 5 ? 1 : 0), 0);
    mark_loop(2);
    remove_all();
    EXPECT_EQ(port_->provlan_count, 0);
    EXPECT_EQ(port_->active_provlan_count, 0);
    EXPECT_EQ(port_->loop_vlan_count, 0);
    EXPECT_EQ(port_->vesk_enable, 0);
    EXPECT_EQ(port_->mstate, SMS_INITIALIZE);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
}

TEST_F(ProtectVlans, RemovingAllFromAShutDownPortReleasesIt) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, port_, 1), 0);
    mark_loop(2);
    vesk_update_state_machine(port_);
    clear_requests();
    remove_all();
    EXPECT_EQ(requests(), (std::vector<PortStateRequest>{port_state_request(0x0002, 1)}));
    EXPECT_EQ(port_->pstate, VESK_PORT_NOSHUTDOWN);
    advance(200);
    EXPECT_EQ(requests().size(), 1u);
}

TEST_F(ProtectVlans, TheForcedVariantNeverUnlinks) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    EXPECT_EQ(vesk_remove_allprovlan_from_port(1, port_, 1), 0);
    EXPECT_EQ(port_->provlan_count, 1);
    EXPECT_EQ(vesk_find_provlan_from_port(1, port_)->in_vlan, 0u);
    EXPECT_EQ(port_->active_provlan_count, 0);
}

TEST_F(ProtectVlans, LinkUpClearsEveryLoopFlag) {
    set_debug(VESK_DEBUG_EVENT);
    for (uint16_t vid : {1, 2, 3})
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, vid, port_, 1), 0);
    for (uint16_t vid : {1, 2, 3})
        mark_loop(vid);
    vesk_port_clear_all_provlan_loopflag(port_);
    EXPECT_EQ(port_->loop_vlan_count, 0);
    for (uint16_t vid : {1, 2, 3})
        EXPECT_EQ(vesk_find_provlan_from_port(vid, port_)->is_loop, 0) << vid;
    EXPECT_EQ(log_count_exact("Port ge1 has 3 num loop vlan, clear all"), 1u) << log().text();
}

TEST_F(ProtectVlans, LinkUpWithoutLoopsDoesNothing) {
    set_debug(VESK_DEBUG_EVENT);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    log().clear();
    vesk_port_clear_all_provlan_loopflag(port_);
    vesk_port_clear_all_provlan_loopflag(nullptr);
    EXPECT_TRUE(log().lines().empty()) << log().text();
}

TEST_F(ProtectVlans, APortOutsideItsBridgeKeepsItsFlags) {
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port_, 1), 0);
    mark_loop(1);
    vesk_bridge *other = vesk_add_bridge(master()->bridge_list, "2");
    ASSERT_NE(other, nullptr);
    port_->bridge = other;
    vesk_port_clear_all_provlan_loopflag(port_);
    port_->bridge = bridge();
    EXPECT_EQ(port_->loop_vlan_count, 1);
}

TEST_F(ProtectVlans, AddingToNoPortIsAMissingArgument) {
    EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 1, nullptr, 1), VESK_ERR_ARG);
    EXPECT_EQ(vesk_check_protect_vlan_count(nullptr), 0);
}

} // namespace
