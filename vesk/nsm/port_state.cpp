#include "vesk/nsm/port_state.h"

#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"

const char *const portState[VESK_PORT_STATE_MAX] = {
    "VESK_PORT_DOWN",       "VESK_PORT_UP",      "VESK_PORT_SHUTDOWN",
    "VESK_PORT_NOSHUTDOWN", "VESK_PORT_BLOCKED",
};

const char *const portCliState[VESK_PORT_STATE_MAX] = {
    "down", "up", "shutdown", "no shutdown", "blocked",
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

namespace {

bool vesk_port_shutdown_act(struct vesk_port *port) {
    if (IS_VESK_DEBUG_EVENT())
        zlog_debug(veskm, "vesk start send message to nsm to shutdown port %s\n", port->name);
    zlog_warn(veskm, "Detect a loop on the port %s, shut down", port->name);
    vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_SHUTDOWN);
    return true;
}

// Where the module cannot block (the kernel refuses the port flags), the loop is still cut.
bool vesk_port_block_act(struct vesk_port *port, uint32_t &new_state) {
    if (vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_BLOCK) == 0) {
        zlog_warn(veskm, "Detect a loop on the port %s, block", port->name);
        return true;
    }
    zlog_warn(veskm, "Port %s cannot be blocked, shut down instead", port->name);
    new_state = VESK_PORT_SHUTDOWN;
    return vesk_port_shutdown_act(port);
}

// The link of a blocked port never went down, so no link message will say where it is now.
bool vesk_port_unblock_act(struct vesk_port *port, uint32_t &new_state) {
    zlog_warn(veskm, "Cancel a loop on the port %s, unblock", port->name);
    vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_UNBLOCK);
    new_state = vesk_port_is_running(port) ? VESK_PORT_UP : VESK_PORT_DOWN;
    return true;
}

// Runs what entering new_state means while pstate still holds the old state, and may change
// the state that is recorded. Gives false when the change does not happen at all.
bool vesk_port_state_act(struct vesk_port *port, uint32_t &new_state) {
    switch (new_state) {
    case VESK_PORT_DOWN:
        // A port cut by loop detection waits for its release, whatever the link does.
        if (vesk_port_is_cut(port))
            return false;
        vesk_disable_port(port);
        return true;
    case VESK_PORT_UP:
        if (port->pstate == VESK_PORT_BLOCKED)
            return false;
        vesk_enable_port(port);
        return true;
    case VESK_PORT_SHUTDOWN:
        return vesk_port_shutdown_act(port);
    case VESK_PORT_BLOCKED:
        return vesk_port_block_act(port, new_state);
    default:
        if (port->pstate == VESK_PORT_BLOCKED)
            return vesk_port_unblock_act(port, new_state);
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
    if (new_state == VESK_PORT_BLOCKED) {
        port->counters.blocks++;
        vesk_history_add(VESK_EVENT_BLOCK, VESK_CAUSE_NONE, port->name, 0, nullptr);
        return;
    }
    if (old_state != VESK_PORT_SHUTDOWN && old_state != VESK_PORT_BLOCKED)
        return;
    port->counters.releases++;
    auto cause = static_cast<vesk_event_cause>(port->release_cause);
    vesk_history_add(old_state == VESK_PORT_BLOCKED ? VESK_EVENT_UNBLOCK : VESK_EVENT_RELEASE,
                     cause != VESK_CAUSE_NONE ? cause : VESK_CAUSE_TIMER, port->name, 0, nullptr);
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
    if (vesk_port_is_cut(port))
        port->cut_usec = zet_clock_now_usec();
    vesk_port_state_note(port, old_state, new_state);
    vesk_port_state_changed();
}
