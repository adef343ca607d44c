// The message handlers of the network services link, fed decoded records directly.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

class NsmHandlers : public vesk_test::ModelFixture {
  protected:
    int link(int type, uint32_t ifindex, uint32_t flags, const uint8_t *mac = nullptr) {
        nsm_msg_link msg = {};
        msg.cindex = NSM_LINK_CTYPE_FLAGS;
        msg.ifindex = ifindex;
        msg.flags = flags;
        if (mac != nullptr) {
            msg.cindex |= NSM_LINK_CTYPE_HW_ADDRESS;
            msg.hw_len = 6;
            std::memcpy(msg.hw_addr, mac, 6);
        }
        nsm_msg_header header = {static_cast<uint16_t>(type), sizeof msg, 1};
        return vesk_nsm_recv_interface_state(&header, veskm->nc, &msg);
    }

    int bridge_msg(int type, const char *name) {
        nsm_msg_bridge msg = {};
        std::strncpy(msg.bridge_name, name, sizeof msg.bridge_name - 1);
        msg.type = 1;
        nsm_msg_header header = {static_cast<uint16_t>(type), sizeof msg, 1};
        auto handler =
            type == NSM_MSG_BRIDGE_ADD ? vesk_nsm_recv_bridge_add : vesk_nsm_recv_bridge_delete;
        return handler(&header, veskm->nc, &msg);
    }

    int vlan_msg(int type, const char *bridge_name, uint16_t vid) {
        nsm_msg_vlan msg = {};
        std::strncpy(msg.bridge_name, bridge_name, sizeof msg.bridge_name - 1);
        msg.vid = vid;
        nsm_msg_header header = {static_cast<uint16_t>(type), sizeof msg, 1};
        auto handler = type == NSM_MSG_BRIDGE_ADD_VLAN ? vesk_nsm_recv_bridge_add_vlan
                                                       : vesk_nsm_recv_bridge_delete_vlan;
        return handler(&header, veskm->nc, &msg);
    }

    int vlan_port_msg(int type, uint32_t ifindex, const std::vector<uint16_t> &entries) {
        nsm_msg_vlan_port msg = {};
        msg.ifindex = ifindex;
        msg.num = static_cast<uint16_t>(entries.size());
        msg.vid_info = entries.data();
        nsm_msg_header header = {static_cast<uint16_t>(type), sizeof msg, 1};
        auto handler = type == NSM_MSG_BRIDGE_VLAN_ADD_IF ? vesk_nsm_recv_bridge_vlan_add_if
                                                          : vesk_nsm_recv_bridge_vlan_delete_if;
        return handler(&header, veskm->nc, &msg);
    }

    static bool member(vesk_port *port, uint16_t vid) {
        vesk_vlan *vlan = vesk_find_vlan_from_bridge(vid, port->bridge);
        if (vlan == nullptr)
            return false;
        bool listed = false;
        for (listnode *n = listhead(vlan->vlan_port_list); n != nullptr; n = listnextnode(n))
            listed = listed || listgetdata(n) == port;
        EXPECT_EQ(listed, vesk_find_vlan_from_rlist(vid, &port->vlan_list) == 1)
            << "membership lists disagree for vlan " << vid;
        return listed;
    }

    size_t bridge_count() const {
        size_t n = 0;
        for (listnode *node = listhead(master()->bridge_list); node != nullptr;
             node = listnextnode(node))
            n++;
        return n;
    }

    // A port with an active protect VLAN, so that link changes move its machine.
    vesk_port *protected_port(const char *name, uint32_t ifindex, bool running) {
        vesk_port *port = make_port(name, ifindex, {1}, running);
        EXPECT_EQ(vesk_add_provlan_to_port(nullptr, 1, port, 1), 0);
        return port;
    }
};

TEST_F(NsmHandlers, LinkUpRestartsTheStartBurstClearsLoopsAndSetsThePortUp) {
    vesk_port *port = protected_port("ge1", 11, false);
    port->tx_type = 1;
    port->tx_count = 3;
    vesk_provlan *entry = vesk_find_provlan_from_port(1, port);
    ASSERT_NE(entry, nullptr);
    entry->is_loop = 1;
    port->loop_vlan_count = 1;
    const uint8_t mac[6] = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};

    EXPECT_EQ(link(NSM_MSG_LINK_UP, 11, kUpRunning, mac), 0);

    EXPECT_EQ(port->pstate, VESK_PORT_UP);
    EXPECT_EQ(port->flags, kUpRunning);
    EXPECT_EQ(std::memcmp(port->mac_address, mac, 6), 0);
    EXPECT_EQ(entry->is_loop, 0);
    EXPECT_EQ(port->loop_vlan_count, 0);
    // The machine sent at once, so the burst restarted from zero.
    EXPECT_EQ(port->tx_type, 0u);
    EXPECT_NE(port->mstate, SMS_INITIALIZE);
}

// Only the port's address follows (its frames carry it): flags and state stay.
TEST_F(NsmHandlers, LinkMessageThatKeepsTheUpStateChangesOnlyThePortMac) {
    vesk_port *port = protected_port("ge1", 11, true);
    port->flags = 0x1234;
    const uint8_t before[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(port->mac_address, before, 6);
    const uint8_t mac[6] = {0x02, 9, 9, 9, 9, 9};

    EXPECT_EQ(link(NSM_MSG_LINK_UP, 11, kUpRunning | 0x100, mac), 0);

    EXPECT_EQ(port->flags, 0x1234u);
    EXPECT_EQ(std::memcmp(port->mac_address, mac, 6), 0);
    EXPECT_EQ(port->pstate, VESK_PORT_DOWN);
    // The interface record still follows the module.
    EXPECT_EQ(port->ifp->flags, kUpRunning | 0x100);
}

TEST_F(NsmHandlers, LinkWithoutHardwareAddressKeepsThePortMac) {
    vesk_port *port = protected_port("ge1", 11, false);
    uint8_t before[6];
    std::memcpy(before, port->mac_address, 6);
    EXPECT_EQ(link(NSM_MSG_LINK_UP, 11, kUpRunning), 0);
    EXPECT_EQ(port->pstate, VESK_PORT_UP);
    EXPECT_EQ(std::memcmp(port->mac_address, before, 6), 0);
}

TEST_F(NsmHandlers, LinkDownStopsARunningPortButLeavesAShutDownOne) {
    vesk_port *running = protected_port("ge1", 11, false);
    vesk_port *shut = protected_port("ge2", 12, false);
    EXPECT_EQ(link(NSM_MSG_LINK_UP, 11, kUpRunning), 0);
    EXPECT_EQ(link(NSM_MSG_LINK_UP, 12, kUpRunning), 0);
    vesk_set_port_state(shut, VESK_PORT_SHUTDOWN);
    ASSERT_EQ(shut->pstate, VESK_PORT_SHUTDOWN);

    EXPECT_EQ(link(NSM_MSG_LINK_DOWN, 11, 0x1), 0);
    EXPECT_EQ(link(NSM_MSG_LINK_DOWN, 12, 0x1), 0);

    EXPECT_EQ(running->pstate, VESK_PORT_DOWN);
    EXPECT_EQ(running->tx_timer, nullptr);
    EXPECT_EQ(shut->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(shut->flags, 0x1u);
}

TEST_F(NsmHandlers, LinkForUnknownOrPortlessInterfaceOnlyUpdatesTheRecord) {
    EXPECT_EQ(link(NSM_MSG_LINK_UP, 99, kUpRunning), 0);
    interface *ifp = make_interface("ge5", 15, false);
    EXPECT_EQ(link(NSM_MSG_LINK_UP, 15, kUpRunning), 0);
    EXPECT_EQ(ifp->flags, kUpRunning);
    EXPECT_EQ(ifp->info, nullptr);
}

TEST_F(NsmHandlers, LinkOfAnotherTypeMovesNoPortState) {
    vesk_port *port = protected_port("ge1", 11, false);
    EXPECT_EQ(link(NSM_MSG_BRIDGE_ADD, 11, kUpRunning), 0);
    EXPECT_EQ(port->pstate, VESK_PORT_DOWN);
    EXPECT_EQ(port->flags, kUpRunning);
}

TEST_F(NsmHandlers, BridgeAddCreatesOnceAndLogsUnderNsmDebug) {
    set_debug(0, VESK_DEBUG_NSM);
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_ADD, "br7"), 0);
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_ADD, "br7"), 0);
    EXPECT_NE(vesk_find_bridge_from_master("br7", master()), nullptr);
    EXPECT_EQ(bridge_count(), 2u);
    EXPECT_EQ(log_count_exact("Receive add bridge name br7, type 1"), 2u);
}

TEST_F(NsmHandlers, MissingMessagesGiveMinus100AndTheirLines) {
    set_debug(0, VESK_DEBUG_NSM);
    nsm_msg_header header = {NSM_MSG_BRIDGE_ADD, 0, 1};
    EXPECT_EQ(vesk_nsm_recv_bridge_add(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_bridge_delete(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_bridge_add_vlan(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_bridge_delete_vlan(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_bridge_vlan_add_if(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_bridge_vlan_delete_if(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(vesk_nsm_recv_interface_state(&header, veskm->nc, nullptr), 0);
    for (const char *line :
         {"Receive bridge add msg is NULL", "Receive del bridge msg is NULL",
          "Receive bridge add vlan msg is NULL", "Receive bridge del vlan msg is NULL",
          "Receive bridge vlan add if msg is NULL", "Receive bridge vlan del if msg is NULL"})
        EXPECT_EQ(log_count_exact(line), 1u) << line;
}

TEST_F(NsmHandlers, NsmLinesStayQuietWithoutDebug) {
    nsm_msg_header header = {NSM_MSG_BRIDGE_ADD, 0, 1};
    EXPECT_EQ(vesk_nsm_recv_bridge_add(&header, veskm->nc, nullptr), VESK_ERR_HANDLER);
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_ADD, "br7"), 0);
    EXPECT_FALSE(log().contains("Receive"));
}

TEST_F(NsmHandlers, BridgeDeleteOfUnknownBridgeLogsAndKeepsKnownOnes) {
    set_debug(VESK_DEBUG_EVENT, VESK_DEBUG_NSM);
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_DELETE, "nope"), 0);
    EXPECT_EQ(log_count_exact("bridge nope is not exit already"), 1u);
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_DELETE, "1"), 0);
    EXPECT_EQ(log_count_exact("Receive delete bridge name 1, type 1"), 1u);
    EXPECT_EQ(vesk_find_bridge_from_master("1", master()), bridge());
}

TEST_F(NsmHandlers, UnterminatedBridgeNameIsCutAtSixteenCharacters) {
    nsm_msg_bridge msg;
    std::memset(&msg, 'x', sizeof msg);
    nsm_msg_header header = {NSM_MSG_BRIDGE_ADD, sizeof msg, 1};
    EXPECT_EQ(vesk_nsm_recv_bridge_add(&header, veskm->nc, &msg), 0);
    EXPECT_NE(vesk_find_bridge_from_master("xxxxxxxxxxxxxxxx", master()), nullptr);
}

TEST_F(NsmHandlers, VlanMessagesWorkOnTheNamedBridge) {
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_ADD, "br7"), 0);
    vesk_bridge *br7 = vesk_find_bridge_from_master("br7", master());
    EXPECT_EQ(vlan_msg(NSM_MSG_BRIDGE_ADD_VLAN, "br7", 300), 0);
    EXPECT_NE(vesk_find_vlan_from_bridge(300, br7), nullptr);
    EXPECT_EQ(vesk_find_vlan_from_bridge(300, bridge()), nullptr);
    EXPECT_EQ(vlan_msg(NSM_MSG_BRIDGE_DELETE_VLAN, "br7", 300), 0);
    EXPECT_EQ(vesk_find_vlan_from_bridge(300, br7), nullptr);
}

TEST_F(NsmHandlers, VlanMessageForUnknownBridgeChangesNothingAndGivesZero) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(vlan_msg(NSM_MSG_BRIDGE_ADD_VLAN, "ghost", 5), 0);
    EXPECT_EQ(vlan_msg(NSM_MSG_BRIDGE_DELETE_VLAN, "ghost", 5), 0);
    EXPECT_EQ(log_count_exact("bridge ghost is not found"), 2u);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 0);
}

TEST_F(NsmHandlers, VlanDeleteTakesMembersOutAndKeepsTheirProtectEntries) {
    vesk_port *port = protected_port("ge1", 11, true);
    EXPECT_EQ(vlan_msg(NSM_MSG_BRIDGE_DELETE_VLAN, "1", 1), 0);
    EXPECT_FALSE(member(port, 1));
    vesk_provlan *entry = vesk_find_provlan_from_port(1, port);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->in_vlan, 0u);
}

TEST_F(NsmHandlers, VlanPortAddCreatesPortWithDefaultsAndVlansOnTheWay) {
    interface *ifp = make_interface("ge3", 13);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {10, 20}), 0);
    auto *port = static_cast<vesk_port *>(ifp->info);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->bridge, bridge());
    EXPECT_EQ(port->tx_interval_time, 10u);
    EXPECT_EQ(port->resume_time, 180u);
    EXPECT_EQ(port->loop_process, 1);
    EXPECT_EQ(port->pstate, VESK_PORT_DOWN);
    EXPECT_TRUE(member(port, 10));
    EXPECT_TRUE(member(port, 20));
    EXPECT_STREQ(ifp->bridge_name, "1");
}

TEST_F(NsmHandlers, VlanPortEntryKeepsOnlyTheLowTwelveBits) {
    interface *ifp = make_interface("ge3", 13);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {0xf005}), 0);
    auto *port = static_cast<vesk_port *>(ifp->info);
    ASSERT_NE(port, nullptr);
    EXPECT_TRUE(member(port, 5));
    EXPECT_EQ(vesk_find_vlan_from_bridge(0xf005, bridge()), nullptr);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 13, {0x7005}), 0);
    EXPECT_FALSE(member(port, 5));
}

TEST_F(NsmHandlers, VlanPortMessagesAlwaysGoToBridgeOne) {
    EXPECT_EQ(bridge_msg(NSM_MSG_BRIDGE_ADD, "br0"), 0);
    vesk_bridge *br0 = vesk_find_bridge_from_master("br0", master());
    // br0 comes after "1" in the list; put it first so a lookup by list order would fail.
    listnode_delete(master()->bridge_list, br0);
    listnode_delete(master()->bridge_list, bridge());
    listnode_add(master()->bridge_list, br0);
    listnode_add(master()->bridge_list, bridge());
    interface *ifp = make_interface("ge3", 13);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {7}), 0);
    auto *port = static_cast<vesk_port *>(ifp->info);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->bridge, bridge());
    EXPECT_EQ(vesk_find_vlan_from_bridge(7, br0), nullptr);
}

TEST_F(NsmHandlers, VlanPortMessagesWithoutBridgeOneChangeNothing) {
    set_debug(VESK_DEBUG_EVENT);
    interface *ifp = make_interface("ge3", 13);
    // Rename bridge "1" so that it is gone for the handlers.
    std::strcpy(bridge()->name, "one");
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {7}), VESK_ERR_HANDLER);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 13, {7}), VESK_ERR_HANDLER);
    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 0);
    EXPECT_EQ(log_count_exact("bridge 1 is not found"), 2u);
    std::strcpy(bridge()->name, "1");
}

TEST_F(NsmHandlers, VlanPortMessagesForUnknownInterfaceOrNonPortFail) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 77, {7}), VESK_ERR_HANDLER);
    EXPECT_EQ(log_count_exact("interface 77 is not in the ifg"), 1u);
    make_interface("ge3", 13);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 13, {7}), VESK_ERR_HANDLER);
    EXPECT_EQ(log_count_exact("interface 13 is not in bridge 1"), 1u);
    EXPECT_EQ(memory_live(MTYPE_VESK_VLAN), 0);
}

TEST_F(NsmHandlers, VlanPortAddWithoutEntriesStillMakesThePort) {
    interface *ifp = make_interface("ge3", 13);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {}), 0);
    EXPECT_NE(ifp->info, nullptr);
}

TEST_F(NsmHandlers, VlanPortAddRecreatesAMissingVlanTable) {
    make_interface("ge3", 13);
    ASSERT_EQ(bridge()->vlan_table != nullptr, true);
    route_table_finish(bridge()->vlan_table);
    bridge()->vlan_table = nullptr;
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {4}), 0);
    ASSERT_NE(bridge()->vlan_table, nullptr);
    EXPECT_NE(vesk_find_vlan_from_bridge(4, bridge()), nullptr);
}

TEST_F(NsmHandlers, VlanPortAddActivatesProtectEntryAndStartsThePort) {
    vesk_port *port = make_port("ge1", 11, {}, true);
    ASSERT_EQ(vesk_add_provlan_to_port(nullptr, 30, port, 0), 0);
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 11, {30}), 0);
    EXPECT_EQ(port->active_provlan_count, 1);
    EXPECT_EQ(port->vesk_enable, 1);
}

// A port new to an enabled bridge is protected as the bridge's ports were at enable time; one
// that comes back keeps its own configuration.
TEST_F(NsmHandlers, PortJoiningAnEnabledBridgeProtectsVlanOneOnlyWhenNew) {
    vesk_port *old = make_port("ge1", 11, {1});
    bridge()->vesk_enable = 1;
    ASSERT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 11, {1}), 0);
    make_interface("ge3", 13);
    ASSERT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {1}), 0);
    ASSERT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 11, {1}), 0);
    auto *late = static_cast<vesk_port *>(ifg_lookup_by_index(veskm->ifg, 13)->info);
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->active_provlan_count, 1);
    EXPECT_EQ(late->mstate, SMS_WAIT_TX) << "it sends at once";
    EXPECT_EQ(old->provlan_count, 0);
}

TEST_F(NsmHandlers, RenamedInterfacesGiveTheirPortsTheirNamesAndPlaces) {
    ASSERT_EQ(if_add_hook(veskm->ifg, IF_HOOK_RENAME, vesk_nsm_if_rename), 0);
    vesk_port *a = make_port("ge1", 11, {1});
    vesk_port *b = make_port("ge2", 12, {1});
    ASSERT_EQ(if_rename(veskm, a->ifp, "ge9"), 0);
    EXPECT_STREQ(a->name, "ge9");
    EXPECT_EQ(listgetdata(listhead(bridge()->port_list)), b);
    ASSERT_EQ(if_rename(veskm, b->ifp, "ge10"), 0);
    EXPECT_STREQ(b->name, "ge10");
    EXPECT_EQ(listgetdata(listhead(bridge()->port_list)), a);
}

TEST_F(NsmHandlers, VlanPortDeleteLeavesVlansButKeepsThePort) {
    vesk_port *port = protected_port("ge1", 11, true);
    join(port, 2);
    set_debug(0, VESK_DEBUG_NSM);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 11, {1, 2, 99}), 0);
    EXPECT_FALSE(member(port, 1));
    EXPECT_FALSE(member(port, 2));
    EXPECT_EQ(port->active_provlan_count, 0);
    EXPECT_EQ(port->ifp->info, port);
    EXPECT_EQ(log_count_exact("Receive bridge 1 del vlan 99"), 1u);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_DELETE_IF, 11, {}), 0);
}

TEST_F(NsmHandlers, VlanPortAddLogsEachEntryUnderNsmDebug) {
    make_interface("ge3", 13);
    set_debug(0, VESK_DEBUG_NSM);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {3, 0x1004}), 0);
    EXPECT_EQ(log_count_exact("Receive bridge 1 vlan 3 add port ge3"), 1u);
    EXPECT_EQ(log_count_exact("Receive bridge 1 vlan 4 add port ge3"), 1u);
}

TEST_F(NsmHandlers, VlanThatCannotBeMadeSkipsOnlyItsEntry) {
    make_interface("ge3", 13);
    set_debug(VESK_DEBUG_EVENT);
    memory_fail_next(MTYPE_VESK_VLAN, 1);
    EXPECT_EQ(vlan_port_msg(NSM_MSG_BRIDGE_VLAN_ADD_IF, 13, {3, 4}), 0);
    EXPECT_EQ(log_count_exact("bridge 1 add vlan 3 second time failed"), 1u);
    auto *port = static_cast<vesk_port *>(ifg_lookup_by_index(veskm->ifg, 13)->info);
    ASSERT_NE(port, nullptr);
    EXPECT_FALSE(member(port, 3));
    EXPECT_TRUE(member(port, 4));
}

TEST_F(NsmHandlers, UnbindHookFreesThePortAndItsMemberships) {
    ASSERT_EQ(if_add_hook(veskm->ifg, IF_HOOK_VR_UNBIND, vesk_nsm_if_vr_unbind), 0);
    vesk_port *port = protected_port("ge1", 11, true);
    join(port, 2);
    vesk_port *other = make_port("ge2", 12, {1});
    vesk_vlan *v1 = vesk_find_vlan_from_bridge(1, bridge());
    set_debug(0, VESK_DEBUG_NSM);

    if_delete(veskm, port->ifp);

    EXPECT_EQ(log_count_exact("NSM: Receive interface [ge1] vr unbind!"), 1u);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 1);
    EXPECT_EQ(memory_live(MTYPE_VESK_PROVLAN), 0);
    EXPECT_EQ(listcount(v1->vlan_port_list), 1u);
    EXPECT_EQ(listgetdata(listhead(v1->vlan_port_list)), other);
    EXPECT_EQ(listcount(vesk_find_vlan_from_bridge(2, bridge())->vlan_port_list), 0u);
}

TEST_F(NsmHandlers, UnbindHookOfAnInterfaceNoLongerInTheGroupLeavesThePort) {
    vesk_port *port = make_port("ge1", 11, {1});
    interface copy = *port->ifp;
    copy.ifindex = 4242;
    EXPECT_EQ(vesk_nsm_if_vr_unbind(&copy), 0);
    EXPECT_EQ(port->ifp->info, port);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 1);
}

TEST_F(NsmHandlers, InitRegistersEveryHandlerAndServices) {
    std::strcpy(veskm->platform.nsm, "unsupported");
    nsm_client_free(veskm->nc);
    EXPECT_EQ(vesk_nsm_init(veskm), -1);
    nsm_client *nc = veskm->nc;
    ASSERT_NE(nc, nullptr);
    EXPECT_EQ(nsm_client_version(nc), 1);
    EXPECT_EQ(nsm_client_protocol(nc), 29);
    EXPECT_EQ(nsm_client_services(nc), (1ull << 0) | (1ull << 22) | (1ull << 23));
    EXPECT_EQ(nsm_client_get_callback(nc, 29), vesk_nsm_recv_interface_state);
    EXPECT_EQ(nsm_client_get_callback(nc, 30), vesk_nsm_recv_interface_state);
    EXPECT_EQ(nsm_client_get_callback(nc, 115), vesk_nsm_recv_bridge_add);
    EXPECT_EQ(nsm_client_get_callback(nc, 116), vesk_nsm_recv_bridge_delete);
    EXPECT_EQ(nsm_client_get_callback(nc, 121), vesk_nsm_recv_bridge_add_vlan);
    EXPECT_EQ(nsm_client_get_callback(nc, 122), vesk_nsm_recv_bridge_delete_vlan);
    EXPECT_EQ(nsm_client_get_callback(nc, 123), vesk_nsm_recv_bridge_vlan_add_if);
    EXPECT_EQ(nsm_client_get_callback(nc, 124), vesk_nsm_recv_bridge_vlan_delete_if);
    // The unbind hook is in place: deleting a port's interface frees the port.
    vesk_port *port = make_port("ge1", 11, {1});
    if_delete(veskm, port->ifp);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 0);
}

} // namespace
