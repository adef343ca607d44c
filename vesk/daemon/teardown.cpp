#include "vesk/daemon/teardown.h"

#include "vesk/cli/kept_config.h"
#include "vesk/host/zet.h"
#include "vesk/machine/loop_log.h"
#include "vesk/model/model.h"

static void vesk_release_port(struct vesk_port *port) {
    thread_cancel(port->tx_timer);
    thread_cancel(port->resume_timer);
    thread_cancel(port->probe_timer);
    thread_cancel(port->hold_timer);
    thread_cancel(port->vlan_timer);
    port->hold_timer = nullptr;
    port->vlan_timer = nullptr;
    port->tx_timer = nullptr;
    port->resume_timer = nullptr;
    port->probe_timer = nullptr;
    if (port->ifp != nullptr && port->ifp->info == port)
        port->ifp->info = nullptr;
    delete port;
}

static void vesk_release_bridge(struct vesk_bridge *bridge) {
    for (struct listnode *node = listhead(bridge->port_list); node != nullptr;
         node = listnextnode(node))
        vesk_release_port(static_cast<struct vesk_port *>(listgetdata(node)));
    list_free(bridge->port_list);
    delete bridge;
}

void vesk_release_model(struct lib_globals *zg) {
    vesk_loop_log_forget();
    struct vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return;
    for (struct listnode *node = listhead(master->bridge_list); node != nullptr;
         node = listnextnode(node))
        vesk_release_bridge(static_cast<struct vesk_bridge *>(listgetdata(node)));
    list_free(master->bridge_list);
    vesk_kept_clear();
    if (master->vr != nullptr)
        master->vr->proto = nullptr;
    pal_mem_free(MTYPE_VESK_MASTER, master);
}
