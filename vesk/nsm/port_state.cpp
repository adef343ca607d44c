#include "vesk/nsm/port_state.h"

#include "vesk/daemon/veskd.h"
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

int vesk_send_port_state_to_nsm(uint32_t ifindex, int request) {
    if (veskm == nullptr || veskm->nc == nullptr)
        return -1;
    const int result =
        nsm_client_send_port_state(veskm->nc, vesk_port_state_flags(request), ifindex);
    if (result != 1)
        return result;
    // The module brought up an interface it no longer has as a port: one this daemon shut down.
    struct interface *ifp = ifg_lookup_by_index(veskm->ifg, ifindex);
    zlog_info(veskm,
              "nsm: %s, shut down by loop detection, is no longer a port of bridge 1: set admin up",
              ifp != nullptr ? ifp->name : "");
    return 0;
}

int vesk_send_vlan_state_to_nsm(uint32_t ifindex, bool block, uint16_t vid) {
    if (veskm == nullptr || veskm->nc == nullptr)
        return -1;
    return nsm_client_send_vlan_state(
        veskm->nc, block ? NSM_PORT_STATE_VLAN_BLOCK : NSM_PORT_STATE_VLAN_UNBLOCK, ifindex, vid);
}

int vesk_port_bridge_flags(uint32_t ifindex) {
    return veskm != nullptr ? nsm_client_port_flags(veskm->nc, ifindex) : -1;
}

bool vesk_port_flags_locked(int flags) {
    return flags >= 0 && (flags & NSM_BRPORT_DEFAULT) == 0;
}
