#include "vesk/nsm/port_state.h"

#include "vesk/host/zet.h"

namespace {

uint16_t vesk_port_state_flags(int request) {
    switch (request) {
    case VESK_PORT_REQ_SHUTDOWN:
        return NSM_PORT_STATE_SHUTDOWN;
    case VESK_PORT_REQ_BLOCK:
        return NSM_PORT_STATE_BLOCK;
    case VESK_PORT_REQ_UNBLOCK:
        return NSM_PORT_STATE_UNBLOCK;
    default:
        return NSM_PORT_STATE_NOSHUTDOWN;
    }
}

} // namespace

int vesk_send_port_state_to_nsm(struct lib_globals *zg, uint32_t ifindex, int request) {
    if (zg == nullptr || zg->nc == nullptr)
        return -1;
    const int result = nsm_client_send_port_state(zg->nc, vesk_port_state_flags(request), ifindex);
    if (result != 1)
        return result;
    // The module brought up an interface it no longer has as a port: one this daemon shut down.
    struct interface *ifp = ifg_lookup_by_index(zg->ifg, ifindex);
    zlog_info(zg,
              "nsm: %s, shut down by loop detection, is no longer a port of bridge 1: set admin up",
              ifp != nullptr ? ifp->name : "");
    return 0;
}

int vesk_send_vlan_state_to_nsm(struct lib_globals *zg, uint32_t ifindex, bool block,
                                uint16_t vid) {
    if (zg == nullptr || zg->nc == nullptr)
        return -1;
    return nsm_client_send_vlan_state(
        zg->nc, block ? NSM_PORT_STATE_VLAN_BLOCK : NSM_PORT_STATE_VLAN_UNBLOCK, ifindex, vid);
}

int vesk_port_bridge_flags(struct lib_globals *zg, uint32_t ifindex) {
    return zg != nullptr ? nsm_client_port_flags(zg->nc, ifindex) : -1;
}

bool vesk_port_flags_locked(int flags) {
    return flags >= 0 && (flags & NSM_BRPORT_DEFAULT) == 0;
}
