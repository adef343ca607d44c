#include "vesk/nsm/port_state.h"

#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

int vesk_send_port_state_to_nsm(uint32_t ifindex, int request) {
    struct vesk_port_state_msg msg = {};
    switch (request) {
    case VESK_PORT_REQ_SHUTDOWN:
        msg.flags = VESK_PORT_STATE_FLAG_SHUTDOWN;
        break;
    case VESK_PORT_REQ_BLOCK:
        msg.flags = VESK_PORT_STATE_FLAG_BLOCK;
        break;
    case VESK_PORT_REQ_UNBLOCK:
        msg.flags = VESK_PORT_STATE_FLAG_UNBLOCK;
        break;
    default:
        msg.flags = VESK_PORT_STATE_FLAG_NOSHUTDOWN;
        break;
    }
    msg.ifindex = ifindex;
    if (veskm == nullptr || veskm->nc == nullptr)
        return -1;
    return nsm_client_send_vesk_message(veskm->nc, &msg, NSM_MSG_VESK_PORT_STATE);
}

int vesk_port_bridge_flags(uint32_t ifindex) {
    return veskm != nullptr ? nsm_client_port_flags(veskm->nc, ifindex) : -1;
}

bool vesk_port_flags_locked(int flags) {
    return flags >= 0 && (flags & NSM_BRPORT_DEFAULT) == 0;
}
