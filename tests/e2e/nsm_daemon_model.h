// Frees the daemon's model before the framework stops: the daemon itself never frees bridges,
// so a test that ran the real handlers gives every record back here and leak checks stay
// meaningful.
#pragma once

#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace nsm_test {

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
