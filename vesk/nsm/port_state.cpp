#include "vesk/nsm/port_state.h"

#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"

const char *const portState[VESK_PORT_STATE_MAX] = {
    "VESK_PORT_DOWN",
    "VESK_PORT_UP",
    "VESK_PORT_SHUTDOWN",
    "VESK_PORT_NOSHUTDOWN",
};

const char *const portCliState[VESK_PORT_STATE_MAX] = {
    "down",
    "up",
    "shutdown",
    "no shutdown",
};

void (*vesk_port_state_listener)(void);

void vesk_port_state_changed(void) {
    if (vesk_port_state_listener != nullptr)
        vesk_port_state_listener();
}

const char *vesk_port_state_name(uint32_t pstate) {
    return pstate < VESK_PORT_STATE_MAX ? portState[pstate] : "unknown";
}

const char *vesk_port_cli_state_name(uint32_t pstate) {
    return pstate < VESK_PORT_STATE_MAX ? portCliState[pstate] : "unknown";
}

int vesk_send_port_state_to_nsm(uint32_t ifindex, int request) {
    struct vesk_port_state_msg msg = {};
    msg.flags = request == VESK_PORT_REQ_SHUTDOWN ? VESK_PORT_STATE_FLAG_SHUTDOWN
                                                  : VESK_PORT_STATE_FLAG_NOSHUTDOWN;
    msg.ifindex = ifindex;
    if (veskm == nullptr || veskm->nc == nullptr)
        return -1;
    return nsm_client_send_vesk_message(veskm->nc, &msg, NSM_MSG_VESK_PORT_STATE);
}

namespace {

// Runs what entering new_state means while pstate still holds the old state. Gives false when
// the change does not happen at all.
bool vesk_port_state_act(struct vesk_port *port, uint32_t new_state) {
    switch (new_state) {
    case VESK_PORT_DOWN:
        // A port shut down by loop detection waits for its resume, whatever the link does.
        if (port->pstate == VESK_PORT_SHUTDOWN)
            return false;
        vesk_disable_port(port);
        return true;
    case VESK_PORT_UP:
        vesk_enable_port(port);
        return true;
    case VESK_PORT_SHUTDOWN:
        if (IS_VESK_DEBUG_EVENT())
            zlog_debug(veskm, "vesk start send message to nsm to shutdown port %s\n", port->name);
        zlog_warn(veskm, "Detect a loop on the port %s, shut down", port->name);
        vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_SHUTDOWN);
        return true;
    default:
        zlog_warn(veskm, "Cancel a loop on the port %s, no shut down", port->name);
        vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_NOSHUTDOWN);
        return true;
    }
}

// Counts what the change did and keeps releases in the history, with their cause.
void vesk_port_state_note(struct vesk_port *port, uint32_t old_state, uint32_t new_state) {
    if (new_state == VESK_PORT_SHUTDOWN) {
        port->counters.shutdowns++;
        return;
    }
    if (old_state != VESK_PORT_SHUTDOWN || new_state != VESK_PORT_NOSHUTDOWN)
        return;
    port->counters.releases++;
    auto cause = static_cast<vesk_event_cause>(port->release_cause);
    vesk_history_add(VESK_EVENT_RELEASE, cause != VESK_CAUSE_NONE ? cause : VESK_CAUSE_TIMER,
                     port->name, 0, nullptr);
    port->release_cause = VESK_CAUSE_NONE;
}

} // namespace

void vesk_set_port_state(struct vesk_port *port, uint32_t new_state) {
    if (port == nullptr || new_state >= VESK_PORT_STATE_MAX || new_state == port->pstate)
        return;
    const uint32_t old_state = port->pstate;
    if (!vesk_port_state_act(port, new_state))
        return;
    if (IS_VESK_DEBUG_EVENT())
        zlog_debug(veskm, "port %s state change %s to %s\n", port->name,
                   vesk_port_state_name(old_state), vesk_port_state_name(new_state));
    port->pstate = new_state;
    vesk_port_state_note(port, old_state, new_state);
    vesk_port_state_changed();
}
