#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace {

std::vector<std::string> port_names(const vesk_bridge *bridge) {
    std::vector<std::string> names;
    for (listnode *n = listhead(bridge->port_list); n != nullptr; n = listnextnode(n))
        names.emplace_back(static_cast<vesk_port *>(listgetdata(n))->name);
    return names;
}

std::vector<int> vlan_order(const vesk_bridge *bridge) {
    std::vector<int> ids;
    for (route_node *rn = route_top(bridge->vlan_table); rn != nullptr; rn = route_next(rn))
        if (rn->info != nullptr)
            ids.push_back(static_cast<vesk_vlan *>(rn->info)->vid);
    return ids;
}

std::vector<std::string> members(const vesk_vlan *vlan) {
    std::vector<std::string> names;
    for (listnode *n = listhead(vlan->vlan_port_list); n != nullptr; n = listnextnode(n))
        names.emplace_back(static_cast<vesk_port *>(listgetdata(n))->name);
    return names;
}

std::string ranges(const vesk_rlist *list) {
    std::ostringstream out;
    for (; list != nullptr; list = list->next)
        out << "[" << list->low << "," << list->high << "]";
    return out.str();
}

// Everything the model holds, as text, so a failed operation can be shown to change nothing.
std::string describe(const vesk_master *master) {
    std::ostringstream out;
    for (listnode *b = listhead(master->bridge_list); b != nullptr; b = listnextnode(b)) {
        auto *bridge = static_cast<vesk_bridge *>(listgetdata(b));
        out << "bridge " << bridge->name << "\n";
        for (route_node *rn = route_top(bridge->vlan_table); rn != nullptr; rn = route_next(rn)) {
            if (rn->info == nullptr)
                continue;
            auto *vlan = static_cast<vesk_vlan *>(rn->info);
            out << " vlan " << vlan->vid << ":";
            for (const std::string &m : members(vlan))
                out << " " << m;
            out << "\n";
        }
        for (listnode *p = listhead(bridge->port_list); p != nullptr; p = listnextnode(p)) {
            auto *port = static_cast<vesk_port *>(listgetdata(p));
            out << " port " << port->name << " in " << ranges(port->vlan_list) << " provlans "
                << int{port->provlan_count} << "/" << int{port->active_provlan_count} << "/"
                << int{port->loop_vlan_count} << " enable " << int{port->vesk_enable} << " info "
                << (port->ifp->info == port) << ":";
            for (listnode *e = listhead(port->provlan_info); e != nullptr; e = listnextnode(e)) {
                auto *entry = static_cast<vesk_provlan *>(listgetdata(e));
                out << " " << entry->vid << (entry->in_vlan != 0 ? "+" : "-");
            }
            out << "\n";
        }
    }
    return out.str();
}

class Master : public vesk_test::ModelFixture {};

TEST_F(Master, HangsOffThePrivilegedRouter) {
    ovx_vr *vr = ovx_vr_get_privileged(veskm);
    EXPECT_EQ(vr->proto, master());
    EXPECT_EQ(master()->vr, vr);
    EXPECT_EQ(master()->globals, veskm);
    EXPECT_EQ(vesk_get_master(veskm), master());
    EXPECT_EQ(vesk_get_master(nullptr), nullptr);
}

TEST_F(Master, ASecondInitKeepsTheFirstMaster) {
    EXPECT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
    EXPECT_EQ(vesk_get_master(veskm), master());
    EXPECT_EQ(memory_live(MTYPE_VESK_MASTER), 1);
    EXPECT_EQ(vesk_master_init(nullptr), -1);
}

TEST_F(Master, NoMemoryLeavesTheRouterWithoutMaster) {
    ovx_vr *vr = ovx_vr_get_privileged(veskm);
    vr->proto = nullptr;
    memory_fail_next(MTYPE_VESK_MASTER, 1);
    EXPECT_EQ(vesk_master_init(vr), -1);
    EXPECT_EQ(vr->proto, nullptr);
    memory_fail_next(MTYPE_ZET_LIST, 1);
    EXPECT_EQ(vesk_master_init(vr), -1);
    EXPECT_EQ(vr->proto, nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_MASTER), 1);
    vr->proto = master();
}

class Bridges : public vesk_test::ModelFixture {};

TEST_F(Bridges, AnExistingNameGivesTheExistingBridge) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(vesk_add_bridge(master()->bridge_list, "1"), bridge());
    EXPECT_EQ(listcount(master()->bridge_list), 1u);
    EXPECT_EQ(log_count_exact("bridge 1 is exit"), 1u) << log().text();
}

TEST_F(Bridges, KeepTheirOrderAndAreFoundByExactName) {
    set_debug(VESK_DEBUG_EVENT);
    vesk_bridge *ten = vesk_add_bridge(master()->bridge_list, "10");
    vesk_bridge *two = vesk_add_bridge(master()->bridge_list, "2");
    ASSERT_NE(ten, nullptr);
    ASSERT_NE(two, nullptr);
    EXPECT_EQ(log_count_exact("bridge 10 add"), 1u);
    EXPECT_EQ(listgetdata(listhead(master()->bridge_list)), bridge());
    EXPECT_EQ(listgetdata(listnextnode(listhead(master()->bridge_list))), ten);
    EXPECT_EQ(vesk_find_bridge_from_master("10", master()), ten);
    EXPECT_EQ(vesk_find_bridge_from_master("1", master()), bridge());
    EXPECT_EQ(vesk_find_bridge_from_master("1 ", master()), nullptr);
    EXPECT_EQ(vesk_find_bridge_from_master(nullptr, master()), nullptr);
    EXPECT_EQ(vesk_find_bridge_from_master("1", nullptr), nullptr);
    EXPECT_EQ(vesk_find_bridge_byname(nullptr, "1"), nullptr);
    EXPECT_EQ(ten->vesk_enable, 0);
    EXPECT_NE(ten->vlan_table, nullptr);
}

TEST_F(Bridges, BadNamesAreRefused) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(vesk_add_bridge(master()->bridge_list, nullptr), nullptr);
    EXPECT_EQ(log_count_exact("bridge name is error"), 1u);
    // Sixteen characters fit; a seventeenth would be cut and never match its own name.
    EXPECT_NE(vesk_add_bridge(master()->bridge_list, "abcdefghijklmnop"), nullptr);
    EXPECT_EQ(vesk_add_bridge(master()->bridge_list, "abcdefghijklmnopq"), nullptr);
    EXPECT_EQ(listcount(master()->bridge_list), 2u);
}

TEST_F(Bridges, DeletingLeavesBridgesInPlace) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(vesk_del_bridge(master()->bridge_list, "7"), 0);
    EXPECT_EQ(log_count_exact("bridge 7 is not exit already"), 1u);
    EXPECT_EQ(vesk_del_bridge(master()->bridge_list, "1"), 0);
    EXPECT_EQ(vesk_find_bridge_from_master("1", master()), bridge());
}

TEST_F(Bridges, LogOnlyWhileEventDebuggingIsOn) {
    vesk_add_bridge(master()->bridge_list, "1");
    vesk_add_bridge(master()->bridge_list, "3");
    vesk_del_bridge(master()->bridge_list, "7");
    EXPECT_EQ(log().lines().size(), 0u) << log().text();
}

TEST_F(Bridges, NoMemoryChangesNothing) {
    set_debug(VESK_DEBUG_EVENT);
    const std::string before = describe(master());
    memory_fail_next(MTYPE_VESK_BRIDGE, 1);
    EXPECT_EQ(vesk_add_bridge(master()->bridge_list, "5"), nullptr);
    EXPECT_EQ(log_count_exact("no mem for bridge 5 create"), 1u);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(vesk_add_bridge(master()->bridge_list, "5"), nullptr);
    EXPECT_EQ(describe(master()), before);
    EXPECT_EQ(memory_live(MTYPE_VESK_BRIDGE), 1);
}

TEST_F(Bridges, AFailedVlanTableIsMadeOnTheFirstVlan) {
    memory_fail_next(MTYPE_ZET_ROUTE_TABLE, 1);
    vesk_bridge *b = vesk_add_bridge(master()->bridge_list, "5");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->vlan_table, nullptr);
    EXPECT_EQ(vesk_find_vlan_from_bridge(1, b), nullptr);
    vesk_vlan *v = vesk_bridge_add_vlan(b, 1);
    ASSERT_NE(v, nullptr);
    EXPECT_NE(b->vlan_table, nullptr);
    EXPECT_EQ(vesk_find_vlan_from_bridge(1, b), v);
}

class Vlans : public vesk_test::ModelFixture {};

TEST_F(Vlans, IterateInAscendingIdOrder) {
    vlan(300);
    vlan(2);
    vlan(17);
    EXPECT_EQ(vlan_order(bridge()), (std::vector<int>{2, 17, 300}));
}

TEST_F(Vlans, AreMadeOncePerId) {
    set_debug(VESK_DEBUG_EVENT);
    vesk_vlan *v = vesk_bridge_add_vlan(bridge(), 20);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->vid, 20);
    EXPECT_EQ(v->bridge, bridge());
    EXPECT_EQ(v->node->info, v);
    EXPECT_EQ(log_count_exact("bridge 1 add vlan 20"), 1u);
    EXPECT_EQ(vesk_bridge_add_vlan(bridge(), 20), v);
    EXPECT_EQ(log_count_exact("vlan 20 is in bridge 1 already"), 1u);
    EXPECT_EQ(vesk_find_vlan_from_bridge(20, bridge()), v);
    EXPECT_EQ(vesk_find_vlan_from_bridge(21, bridge()), nullptr);
    EXPECT_EQ(vesk_find_vlan_from_bridge(20, nullptr), nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 1);
}

TEST_F(Vlans, DeletedVlansLeaveNoTableNodeBehind) {
    set_debug(VESK_DEBUG_EVENT);
    vlan(20);
    vlan(30);
    vesk_bridge_del_vlan(bridge(), 20);
    EXPECT_EQ(vesk_find_vlan_from_bridge(20, bridge()), nullptr);
    EXPECT_EQ(route_table_count(bridge()->vlan_table), 1u);
    vesk_bridge_del_vlan(bridge(), 20);
    EXPECT_EQ(log_count_exact("vlan 20 is not found in bridge 1"), 1u);
    vesk_bridge_del_vlan(bridge(), 30);
    EXPECT_EQ(route_table_count(bridge()->vlan_table), 0u);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 0);
    // A VLAN made again after deletion is a fresh, working record.
    vesk_vlan *again = vlan(20);
    EXPECT_EQ(vesk_find_vlan_from_bridge(20, bridge()), again);
}

TEST_F(Vlans, NoMemoryChangesNothing) {
    set_debug(VESK_DEBUG_EVENT);
    vlan(5);
    const std::string before = describe(master());
    memory_fail_next(MTYPE_VESK_VLAN, 1);
    EXPECT_EQ(vesk_bridge_add_vlan(bridge(), 6), nullptr);
    EXPECT_EQ(log_count_exact("bridge 1 create vlan 6 failed"), 1u);
    memory_fail_next(MTYPE_ZET_ROUTE_NODE, 1);
    EXPECT_EQ(vesk_bridge_add_vlan(bridge(), 6), nullptr);
    EXPECT_EQ(log_count_exact("bridge 1 vlantable create rn error"), 1u);
    memory_fail_next(MTYPE_ZET_LIST, 1);
    EXPECT_EQ(vesk_bridge_add_vlan(bridge(), 6), nullptr);
    EXPECT_EQ(describe(master()), before);
    EXPECT_EQ(route_table_count(bridge()->vlan_table), 1u);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 1);
}

TEST_F(Vlans, ATableThatCannotBeMadeGivesNoVlan) {
    set_debug(VESK_DEBUG_EVENT);
    route_table_finish(bridge()->vlan_table);
    bridge()->vlan_table = nullptr;
    memory_fail_next(MTYPE_ZET_ROUTE_TABLE, 1);
    EXPECT_EQ(vesk_bridge_add_vlan(bridge(), 6), nullptr);
    EXPECT_EQ(log_count_exact("bridge 1 create vlantable failed"), 1u);
    EXPECT_EQ(bridge()->vlan_table, nullptr);
}

TEST_F(Vlans, DeletingAVlanWithThreeMembersKeepsTheirProtectEntries) {
    vesk_port *a = make_port("ge1", 1, {10, 11});
    vesk_port *b = make_port("ge2", 2, {9, 10});
    vesk_port *c = make_port("ge3", 3, {10});
    for (vesk_port *p : {a, b, c})
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 10, p, 1), 0);
    ASSERT_EQ(members(vlan(10)), (std::vector<std::string>{"ge1", "ge2", "ge3"}));

    vesk_bridge_del_vlan(bridge(), 10);

    EXPECT_EQ(vesk_find_vlan_from_bridge(10, bridge()), nullptr);
    EXPECT_EQ(ranges(a->vlan_list), "[11,11]");
    EXPECT_EQ(ranges(b->vlan_list), "[9,9]");
    EXPECT_EQ(ranges(c->vlan_list), "");
    for (vesk_port *p : {a, b, c}) {
        vesk_provlan *entry = vesk_find_provlan_from_port(10, p);
        ASSERT_NE(entry, nullptr) << p->name;
        EXPECT_EQ(entry->in_vlan, 0u) << p->name;
        EXPECT_EQ(p->provlan_count, 1) << p->name;
        EXPECT_EQ(p->active_provlan_count, 0) << p->name;
        EXPECT_EQ(p->vesk_enable, 0) << p->name;
    }
    EXPECT_EQ(members(vesk_find_vlan_from_bridge(11, bridge())), (std::vector<std::string>{"ge1"}));
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 2);
}

// The record goes whatever happens, so a port must not go on protecting a VLAN that no longer
// exists just because its range list could not be shortened.
TEST_F(Vlans, DeletingAVlanWithoutMemoryForTheRangeListStillDeactivatesItsMembers) {
    // VLAN 10 inside the range 9-11: only a split needs memory.
    vesk_port *port = make_port("ge1", 1, {9, 10, 11});
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 10, port, 1), 0);
    ASSERT_NE(port->tx_timer, nullptr);

    memory_fail_next(MTYPE_VESK_RLIST, 1);
    vesk_bridge_del_vlan(bridge(), 10);

    EXPECT_EQ(vesk_find_vlan_from_bridge(10, bridge()), nullptr);
    EXPECT_EQ(log_count_exact("Cannot allocate memory for PORT_RVLAN "), 1u) << log().text();
    vesk_provlan *entry = vesk_find_provlan_from_port(10, port);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->in_vlan, 0u);
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(port->vesk_enable, 0);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port->tx_timer, nullptr);

    // The VLAN made again takes the port back as a member.
    join(port, 10);
    EXPECT_EQ(members(vlan(10)), (std::vector<std::string>{"ge1"}));
    EXPECT_EQ(ranges(port->vlan_list), "[9,11]");
    EXPECT_EQ(entry->in_vlan, 1u);
    EXPECT_EQ(port->vesk_enable, 1);
}

TEST_F(Vlans, DeletingAVlanAtARangeEndOrAloneWithoutMemoryTakesItOffThePort) {
    vesk_port *port = make_port("ge1", 1, {9, 10, 11, 20});
    memory_fail_next(MTYPE_VESK_RLIST, 1);
    vesk_bridge_del_vlan(bridge(), 11);
    vesk_bridge_del_vlan(bridge(), 9);
    vesk_bridge_del_vlan(bridge(), 20);
    EXPECT_EQ(ranges(port->vlan_list), "[10,10]");
    vesk_bridge_vlan_del_port(vlan(10), port);
    EXPECT_EQ(ranges(port->vlan_list), "");
    EXPECT_TRUE(members(vlan(10)).empty());
    EXPECT_EQ(memory_fail_pending(MTYPE_VESK_RLIST), 1) << "nothing tried to allocate";
    EXPECT_EQ(log_count_exact("Cannot allocate memory for PORT_RVLAN "), 0u) << log().text();
}

class Ports : public vesk_test::ModelFixture {};

TEST_F(Ports, AreOrderedByNaturalInterfaceName) {
    make_port("ge10", 10);
    make_port("ge2", 2);
    make_port("xe1", 5);
    make_port("ge1", 1);
    make_port("ge1.5", 7);
    EXPECT_EQ(port_names(bridge()),
              (std::vector<std::string>{"ge1", "ge1.5", "ge2", "ge10", "xe1"}));
}

TEST_F(Ports, StartWithTheirDefaultsAndLinkWithTheirInterface) {
    interface *ifp = make_interface("ge7", 7);
    ifp->hw_addr[5] = 0x77;
    vesk_port *port = vesk_bridge_add_port(bridge(), ifp);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->bridge, bridge());
    EXPECT_EQ(port->ifp, ifp);
    EXPECT_EQ(port->ifindex, 7u);
    EXPECT_STREQ(port->name, "ge7");
    EXPECT_EQ(port->mac_address[0], 0x02);
    EXPECT_EQ(port->mac_address[5], 0x77);
    EXPECT_EQ(port->flags, kUpRunning);
    EXPECT_EQ(port->vesk_enable, 0);
    EXPECT_EQ(port->cfg_enable, 0);
    EXPECT_EQ(port->loop_process, 1);
    ASSERT_NE(port->provlan_info, nullptr);
    EXPECT_EQ(port->provlan_info->del, vesk_free_protect_vlan);
    EXPECT_EQ(port->provlan_count, 0);
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(port->loop_vlan_count, 0);
    EXPECT_EQ(port->vlan_list, nullptr);
    EXPECT_EQ(port->pstate, VESK_PORT_DOWN);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(port->tx_interval_time, 10u);
    EXPECT_EQ(port->tx_up_time, 1u);
    EXPECT_EQ(port->tx_type, 0u);
    EXPECT_EQ(port->tx_count, 0u);
    EXPECT_EQ(port->resume_time, 180u);
    EXPECT_EQ(port->tx_timer, nullptr);
    EXPECT_EQ(port->resume_timer, nullptr);
    EXPECT_EQ(ifp->info, port);
    EXPECT_STREQ(ifp->bridge_name, "1");
}

TEST_F(Ports, AreMadeOncePerInterfaceIndex) {
    set_debug(VESK_DEBUG_EVENT);
    interface *ifp = make_interface("ge3", 3);
    vesk_port *port = vesk_bridge_add_port(bridge(), ifp);
    EXPECT_EQ(log_count_exact("port 3 add to bridge 1"), 1u);
    EXPECT_EQ(vesk_bridge_add_port(bridge(), ifp), port);
    EXPECT_EQ(log_count_exact("port 3 is in bridge 1 already"), 1u);
    EXPECT_EQ(listcount(bridge()->port_list), 1u);
    EXPECT_EQ(vesk_find_port_from_bridge(ifp, bridge()), port);
    EXPECT_EQ(vesk_find_port_from_bridge(nullptr, bridge()), nullptr);
    EXPECT_EQ(vesk_find_port_from_bridge(ifp, nullptr), nullptr);
}

TEST_F(Ports, NoMemoryChangesNothing) {
    set_debug(VESK_DEBUG_EVENT);
    make_port("ge1", 1, {1});
    interface *ifp = make_interface("ge2", 2);
    std::strcpy(ifp->bridge_name, "old");
    const std::string before = describe(master());
    for (int type : {int{MTYPE_VESK_PORT}, int{MTYPE_ZET_LIST}, int{MTYPE_ZET_LISTNODE}}) {
        memory_fail_next(type, 1);
        EXPECT_EQ(vesk_bridge_add_port(bridge(), ifp), nullptr) << "type " << type;
        EXPECT_EQ(ifp->info, nullptr) << "type " << type;
        EXPECT_STREQ(ifp->bridge_name, "old") << "type " << type;
    }
    EXPECT_EQ(log_count_exact("no mem for port 2 create"), 3u);
    EXPECT_EQ(describe(master()), before);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 1);
}

TEST_F(Ports, JoinAVlanOnceButActivateTheirEntryEveryTime) {
    set_debug(VESK_DEBUG_EVENT);
    vesk_port *port = make_port("ge1", 1, {5});
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 5, port, 0), 0);
    vesk_find_provlan_from_port(5, port)->in_vlan = 0;
    port->active_provlan_count = 0;

    EXPECT_EQ(vesk_bridge_vlan_add_port(vlan(5), port), port);
    EXPECT_EQ(log_count_exact("port 1 is in vlan 5 already"), 1u);
    EXPECT_EQ(members(vlan(5)), (std::vector<std::string>{"ge1"}));
    EXPECT_EQ(ranges(port->vlan_list), "[5,5]");
    EXPECT_EQ(vesk_find_provlan_from_port(5, port)->in_vlan, 1u);
    EXPECT_EQ(port->active_provlan_count, 1);
    EXPECT_EQ(port->vesk_enable, 1);
}

TEST_F(Ports, MembershipChangesBothSidesTogether) {
    vesk_port *port = make_port("ge1", 1, {5, 6, 7});
    EXPECT_EQ(ranges(port->vlan_list), "[5,7]");
    leave(port, 6);
    EXPECT_EQ(ranges(port->vlan_list), "[5,5][7,7]");
    EXPECT_TRUE(members(vlan(6)).empty());
    leave(port, 6);
    EXPECT_EQ(ranges(port->vlan_list), "[5,5][7,7]");
    EXPECT_EQ(vesk_bridge_vlan_add_port(nullptr, port), nullptr);
    vesk_bridge_vlan_del_port(nullptr, port);
}

TEST_F(Ports, NoMemoryForTheRangeListKeepsMembershipAsItWas) {
    vesk_port *port = make_port("ge1", 1, {5, 6, 7});
    vlan(9);
    const std::string before = describe(master());
    memory_fail_next(MTYPE_VESK_RLIST, 1);
    EXPECT_EQ(vesk_bridge_vlan_add_port(vlan(9), port), nullptr);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(vesk_bridge_vlan_add_port(vlan(9), port), nullptr);
    memory_fail_next(MTYPE_VESK_RLIST, 1);
    vesk_bridge_vlan_del_port(vlan(6), port);
    EXPECT_EQ(describe(master()), before);
}

TEST_F(Ports, NoMemoryForAProtectEntryChangesNothing) {
    vesk_port *port = make_port("ge1", 1, {5});
    const std::string before = describe(master());
    memory_fail_next(MTYPE_VESK_PROVLAN, 1);
    EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 5, port, 1), VESK_ERR_PROVLAN_NOMEM);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 5, port, 1), VESK_ERR_PROVLAN_NOMEM);
    EXPECT_EQ(describe(master()), before);
    EXPECT_EQ(port->mstate, SMS_INITIALIZE);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
}

class PortRemoval : public vesk_test::ModelFixture {};

TEST_F(PortRemoval, LeavesNoRecordAndClearsTheInterfaceSlot) {
    vesk_port *a = make_port("ge1", 1, {1, 2, 3, 10});
    vesk_port *b = make_port("ge2", 2, {2, 10});
    for (uint16_t vid : {1, 3, 10, 40})
        ASSERT_EQ(vesk_add_provlan_to_port(nullptr, vid, a, 1), 0);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 2, b, 1), 0);
    const long vlans = memory_live(MTYPE_VESK_VLAN);
    interface *ifp = a->ifp;

    EXPECT_EQ(vesk_remove_port_from_bridge(ifp, "1"), 0);

    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_STREQ(ifp->bridge_name, "1");
    EXPECT_EQ(port_names(bridge()), (std::vector<std::string>{"ge2"}));
    for (uint16_t vid : {1, 3})
        EXPECT_TRUE(members(vlan(vid)).empty()) << vid;
    for (uint16_t vid : {2, 10})
        EXPECT_EQ(members(vlan(vid)), (std::vector<std::string>{"ge2"})) << vid;
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 1);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 1);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 2);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), vlans);

    EXPECT_EQ(vesk_remove_port_from_bridge(b->ifp, "1"), 0);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 0);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
}

TEST_F(PortRemoval, SkipsVlansTheBridgeNoLongerHas) {
    vesk_port *port = make_port("ge1", 1, {4});
    vesk_rlist_add(&port->vlan_list, 99);
    interface *ifp = port->ifp;
    EXPECT_EQ(vesk_remove_port_from_bridge(ifp, "1"), 0);
    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_TRUE(members(vlan(4)).empty());
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
}

TEST_F(PortRemoval, NeedsABridgeNameAndIgnoresWhatItCannotFind) {
    vesk_port *port = make_port("ge1", 1);
    interface *stranger = make_interface("ge9", 9);
    EXPECT_EQ(vesk_remove_port_from_bridge(port->ifp, nullptr), -1);
    EXPECT_EQ(vesk_remove_port_from_bridge(port->ifp, "2"), 0);
    EXPECT_EQ(vesk_remove_port_from_bridge(stranger, "1"), 0);
    EXPECT_EQ(port_names(bridge()), (std::vector<std::string>{"ge1"}));
    EXPECT_EQ(port->ifp->info, port);
}

TEST_F(PortRemoval, StopsTheMachineSoNoTimerFiresLater) {
    vesk_port *port = make_port("ge1", 1, {1});
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 1, port, 1), 0);
    ASSERT_NE(port->tx_timer, nullptr);
    set_debug(VESK_DEBUG_MACHINE);
    EXPECT_EQ(vesk_remove_port_from_bridge(port->ifp, "1"), 0);
    log().clear();
    advance(30);
    EXPECT_EQ(log().lines().size(), 0u) << log().text();
}

} // namespace
