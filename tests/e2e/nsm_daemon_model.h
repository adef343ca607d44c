// The daemon's model around tests that run the real NSM handlers: made as the daemon's start
// makes it, and freed before the framework stops. The daemon itself never frees bridges, so the
// tests give every record back here and leak checks stay meaningful.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace nsm_test {

// The framework and an empty model in veskm, its log (to log_dest) captured in log.
inline void start_daemon_model(uint32_t log_dest, std::unique_ptr<vesk_test::LogCapture> &log) {
    vesk_machine_hook_install();
    veskm = lib_start();
    ASSERT_NE(veskm, nullptr);
    veskm->protocol = VESK_PROTOCOL;
    veskm->master = thread_master_create();
    ASSERT_NE(openzlog(veskm, 0, VESK_PROTOCOL, log_dest), nullptr);
    log = std::make_unique<vesk_test::LogCapture>(veskm);
    ASSERT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
}

inline void free_bridge_records(vesk_bridge *bridge) {
    while (listhead(bridge->port_list) != nullptr) {
        auto *port = static_cast<vesk_port *>(listgetdata(listhead(bridge->port_list)));
        vesk_remove_port_from_bridge(port->ifp, bridge->name);
        if (listhead(bridge->port_list) != nullptr &&
            listgetdata(listhead(bridge->port_list)) == port)
            return;
    }
    while (bridge->vlan_table != nullptr) {
        route_node *rn = route_top(bridge->vlan_table);
        while (rn != nullptr && rn->info == nullptr)
            rn = route_next(rn);
        if (rn == nullptr)
            break;
        uint16_t vid = static_cast<vesk_vlan *>(rn->info)->vid;
        route_unlock_node(rn);
        vesk_bridge_del_vlan(bridge, vid);
    }
}

inline void free_daemon_model(lib_globals *zg) {
    vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return;
    for (listnode *n = listhead(master->bridge_list); n != nullptr; n = listnextnode(n))
        free_bridge_records(static_cast<vesk_bridge *>(listgetdata(n)));
    while (listhead(master->bridge_list) != nullptr) {
        auto *bridge = static_cast<vesk_bridge *>(listgetdata(listhead(master->bridge_list)));
        listnode_delete(master->bridge_list, bridge);
        list_free(bridge->port_list);
        route_table_finish(bridge->vlan_table);
        pal_mem_free(MTYPE_VESK_BRIDGE, bridge);
    }
    list_free(master->bridge_list);
    master->vr->proto = nullptr;
    pal_mem_free(MTYPE_VESK_MASTER, master);
}

} // namespace nsm_test
