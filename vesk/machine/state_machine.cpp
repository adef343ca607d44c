#include "vesk/machine/state_machine.h"

#include "vesk/frame/transmit.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"
#include "vesk/nsm/port_state.h"

namespace {

void vesk_machine_enter(struct vesk_port *port, uint32_t state) {
    port->mstate = state;
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Port %s mstate change to %s", port->name,
                           vesk_machine_state_name(state));
}

// A timer that cannot be made leaves its handle null and the port waiting for an expiry that
// never comes; the operator at least learns why the port did not move on.
struct thread *vesk_arm_timer(struct vesk_port *port, thread_func func, uint32_t seconds,
                              const char *what) {
    struct thread *timer = thread_add_timer(vesk_port_zg(port), func, port, seconds);
    if (timer == nullptr)
        zlog_err(vesk_port_zg(port), "Port %s cannot arm its %s timer", port->name, what);
    return timer;
}

bool vesk_port_may_send(struct vesk_port *port) {
    return port->vesk_enable != 0 && vesk_port_is_running(port) == 1;
}

void vesk_machine_transmit(struct vesk_port *port) {
    if (!vesk_port_may_send(port))
        return;
    vesk_state_machine_tx(port);
    vesk_state_machine_wait_tx(port);
}

struct vesk_port *vesk_timer_port(struct thread *t) {
    return t != nullptr ? static_cast<struct vesk_port *>(THREAD_ARG(t)) : nullptr;
}

// The start phase sends every VLAN: the fast starts of single VLANs end.
void vesk_fast_start_cancel(struct vesk_port *port) {
    port->fast_timer.cancel();
    for (auto &[vid, entry] : port->provlans)
        entry.fast_left = 0;
}

int vesk_port_fast_handle(struct thread *t);

// The fast starts of VLANs protected while the port was probing: first sends the first frame
// of those that sent none, a tick the next frame of each; the timer runs while frames are left.
void vesk_fast_start(struct vesk_port *port, bool first) {
    if (!vesk_port_may_send(port) || port->mstate != SMS_WAIT_TX) {
        vesk_fast_start_cancel(port);
        return;
    }
    if (vesk_send_fast(port, first) > 0 && !port->fast_timer.armed())
        port->fast_timer.arm(
            vesk_arm_timer(port, vesk_port_fast_handle, port->tx_up_time, "fast start"));
}

int vesk_port_fast_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->fast_timer.fired();
    vesk_fast_start(port, false);
    return 0;
}

// As after a link up: the start phase again, loop flags cleared.
void vesk_machine_restart(struct vesk_port *port) {
    port->tx_type = 0;
    port->tx_count = 0;
    vesk_port_clear_all_provlan_loopflag(port);
    vesk_enable_port(port);
}

void vesk_block_arm(struct vesk_port *port, long msec) {
    port->probe_timer.arm(
        thread_add_timer_msec(vesk_port_zg(port), vesk_port_probe_handle, port, msec));
    if (!port->probe_timer.armed())
        zlog_err(vesk_port_zg(port), "Port %s cannot arm its probe timer", port->name);
}

// A blocked port sends through the same encoder as ever; whether the frame comes back is
// checked a moment later, a round trip being microseconds.
void vesk_block_probe(struct vesk_port *port) {
    port->probe_back = 0;
    port->probe_pending = 1;
    vesk_send_pkt(port);
    vesk_block_arm(port, VESK_BLOCK_CHECK_MSEC);
}

} // namespace

void vesk_state_machine_init(struct vesk_port *port) {
    vesk_fast_start_cancel(port);
    vesk_machine_enter(port, SMS_INITIALIZE);
    port->resume_timer.cancel();
    port->tx_timer.cancel();
    port->probe_timer.cancel();
    port->hold_timer.cancel();
    port->hold_phase = 0;
}

void vesk_state_machine_tx(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_SENDING);
    if (port->tx_type == 0) {
        port->tx_count++;
        if (port->tx_count >= VESK_TX_UP_COUNT) {
            port->tx_count = 0;
            port->tx_type = 1;
        }
    }
    port->last_send_probe = 0;
    vesk_send_pkt(port);
}

void vesk_state_machine_wait_tx(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_WAIT_TX);
    if (port->tx_timer.armed())
        return;
    const uint32_t seconds =
        port->tx_type != 0 ? port->settings.tx_interval_time : port->tx_up_time;
    port->tx_timer.arm(vesk_arm_timer(port, vesk_port_tx_handle, seconds, "tx"));
}

void vesk_state_machine_shutdown(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_SHUTDOWN);
    port->tx_timer.cancel();
    vesk_set_port_state(port, VESK_PORT_SHUTDOWN);
}

void vesk_state_machine_resume(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_RESUME);
    if (port->resume_timer.armed())
        return;
    port->resume_timer.arm(
        vesk_arm_timer(port, vesk_port_resume_handle, port->settings.resume_time, "resume"));
    vesk_port_state_changed(port);
}

void vesk_state_machine_noshutdown(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_NOSHUTDOWN);
    const bool blocked = port->pstate == VESK_PORT_BLOCKED;
    vesk_set_port_state(port, VESK_PORT_NOSHUTDOWN);
    // A shut-down port starts again when its link comes back; a blocked one kept its link.
    if (blocked && port->pstate == VESK_PORT_UP)
        vesk_machine_restart(port);
}

void vesk_state_machine_block(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_SHUTDOWN);
    port->tx_timer.cancel();
    vesk_set_port_state(port, VESK_PORT_BLOCKED);
    if (port->pstate == VESK_PORT_BLOCKED) {
        port->probe_misses = 0;
        vesk_block_probe(port);
    }
    vesk_state_machine_resume(port);
}

void vesk_state_machine_adopt(struct vesk_port *port, bool blocked, uint32_t wait) {
    vesk_state_machine_init(port);
    port->pstate = blocked ? VESK_PORT_BLOCKED : VESK_PORT_SHUTDOWN;
    port->cut_usec = zet_clock_now_usec();
    vesk_machine_enter(port, SMS_RESUME);
    port->resume_timer.arm(vesk_arm_timer(port, vesk_port_resume_handle, wait, "resume"));
    // Probing finds out whether the loop is still there; the unblock gives the port the flags
    // the state file kept for it, or the bridge's defaults.
    if (blocked) {
        port->probe_misses = 0;
        vesk_block_probe(port);
    }
}

void vesk_state_machine_forget(struct vesk_port *port) {
    if (port != nullptr)
        vesk_vlan_blocks_forget(port, 0);
    if (port == nullptr || !vesk_port_is_cut(port))
        return;
    zlog_warn(vesk_port_zg(port), "%s, %s by loop detection, is deleted", port->name,
              port->pstate == VESK_PORT_BLOCKED ? "blocked" : "shut down");
    vesk_state_machine_init(port);
    port->pstate = VESK_PORT_DOWN;
    vesk_port_state_changed(port);
}

void vesk_update_state_machine(struct vesk_port *port, enum vesk_machine_event event) {
    if (port == nullptr)
        return;
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Vesk port %s start update machine, mstate is %s",
                           port->name, vesk_machine_state_name(port->mstate));
    switch (event) {
    case VESK_MACHINE_EV_START:
        if (port->mstate == SMS_INITIALIZE)
            vesk_machine_transmit(port);
        return;
    case VESK_MACHINE_EV_TX_TIMER:
        if (port->mstate == SMS_WAIT_TX)
            vesk_machine_transmit(port);
        return;
    case VESK_MACHINE_EV_LOOP:
        if (port->mstate != SMS_WAIT_TX)
            return;
        vesk_state_machine_shutdown(port);
        vesk_state_machine_resume(port);
        return;
    case VESK_MACHINE_EV_RESUME_TIMER:
        if (port->mstate == SMS_RESUME)
            vesk_state_machine_noshutdown(port);
        return;
    }
}

void vesk_enable_port(struct vesk_port *port) {
    if (port == nullptr)
        return;
    VESK_DEBUG_LOG_EVENT(vesk_port_zg(port), "Port %s enable vesk", port->name);
    vesk_state_machine_init(port);
    vesk_update_state_machine(port, VESK_MACHINE_EV_START);
}

void vesk_disable_port(struct vesk_port *port) {
    if (port == nullptr)
        return;
    VESK_DEBUG_LOG_EVENT(vesk_port_zg(port), "Port %s disable vesk", port->name);
    vesk_state_machine_init(port);
    if (vesk_port_is_cut(port)) {
        port->release_cause = VESK_CAUSE_DISABLED;
        vesk_set_port_state(port, VESK_PORT_NOSHUTDOWN);
    }
}

int vesk_port_tx_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->tx_timer.fired();
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Port %s tx time expire, mstate is %s", port->name,
                           vesk_machine_state_name(port->mstate));
    vesk_update_state_machine(port, VESK_MACHINE_EV_TX_TIMER);
    return 0;
}

int vesk_port_resume_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->resume_timer.fired();
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Port %s resume time expire, mstate is %s",
                           port->name, vesk_machine_state_name(port->mstate));
    vesk_update_state_machine(port, VESK_MACHINE_EV_RESUME_TIMER);
    return 0;
}

int vesk_port_probe_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->probe_timer.fired();
    if (port->pstate != VESK_PORT_BLOCKED)
        return 0;
    if (!port->probe_pending) {
        vesk_block_probe(port);
        return 0;
    }
    port->probe_pending = 0;
    // A probe that could not leave (link down) proves nothing either way.
    if (port->probe_back)
        port->probe_misses = 0;
    else if (vesk_port_is_running(port))
        port->probe_misses++;
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Port %s blocked, probe %s, misses %d", port->name,
                           port->probe_back ? "came back" : "did not come back",
                           port->probe_misses);
    if (port->probe_misses >= VESK_BLOCK_MISSES) {
        port->release_cause = VESK_CAUSE_LOOP_GONE;
        port->resume_timer.cancel();
        vesk_state_machine_noshutdown(port);
        return 0;
    }
    vesk_block_arm(port, VESK_BLOCK_PROBE_MSEC - VESK_BLOCK_CHECK_MSEC);
    return 0;
}

int vesk_port_probe(struct vesk_port *port) {
    if (port == nullptr || port->mstate != SMS_WAIT_TX || !vesk_port_may_send(port))
        return -1;
    const long long now = zet_clock_now_usec();
    if (now < port->probe_after_usec)
        return -1;
    port->probe_after_usec = now + VESK_PROBE_MIN_USEC;
    VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port), "Port %s probes at once", port->name);
    vesk_send_pkt(port);
    port->last_send_probe = 1;
    return 0;
}

void vesk_port_resume_soon(struct vesk_port *port) {
    if (port == nullptr || !port->resume_timer.armed())
        return;
    port->resume_timer.cancel();
    port->resume_timer.arm(
        vesk_arm_timer(port, vesk_port_resume_handle, VESK_RESUME_SOON, "resume"));
    vesk_port_state_changed(port);
}

namespace {

// A port the bridge neither learns on nor floods to, though loop detection has not blocked it
// (left so by a veskd whose state file is gone), is given the bridge's defaults.
bool vesk_port_unlock(struct vesk_port *port) {
    if (vesk_port_is_cut(port) ||
        !vesk_port_flags_locked(vesk_port_bridge_flags(vesk_port_zg(port), port->ifindex)))
        return false;
    if (vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex, VESK_PORT_REQ_UNBLOCK) == 0)
        zlog_warn(vesk_port_zg(port),
                  "Port %s had learning and flooding off: the bridge's defaults restored",
                  port->name);
    return true;
}

} // namespace

void vesk_port_force_up(struct vesk_port *port) {
    if (port == nullptr || vesk_port_unlock(port))
        return;
    if (port->resume_timer.armed() || port->pstate != VESK_PORT_SHUTDOWN) {
        vesk_port_resume_soon(port);
        return;
    }
    port->tx_timer.cancel();
    vesk_machine_enter(port, SMS_RESUME);
    port->resume_timer.arm(
        vesk_arm_timer(port, vesk_port_resume_handle, VESK_RESUME_SOON, "resume"));
    vesk_port_state_changed(port);
}

namespace {

bool vesk_port_shutdown_act(struct vesk_port *port) {
    VESK_DEBUG_LOG_EVENT(vesk_port_zg(port), "vesk start send message to nsm to shutdown port %s\n",
                         port->name);
    zlog_warn(vesk_port_zg(port), "Detect a loop on the port %s, shut down", port->name);
    vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex, VESK_PORT_REQ_SHUTDOWN);
    return true;
}

// Where the module cannot block (the kernel refuses the port flags), the loop is still cut.
bool vesk_port_block_act(struct vesk_port *port, uint32_t &new_state) {
    if (vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex, VESK_PORT_REQ_BLOCK) == 0) {
        zlog_warn(vesk_port_zg(port), "Detect a loop on the port %s, block", port->name);
        return true;
    }
    zlog_warn(vesk_port_zg(port), "Port %s cannot be blocked, shut down instead", port->name);
    new_state = VESK_PORT_SHUTDOWN;
    return vesk_port_shutdown_act(port);
}

// The link of a blocked port never went down, so no link message will say where it is now.
bool vesk_port_unblock_act(struct vesk_port *port, uint32_t &new_state) {
    zlog_warn(vesk_port_zg(port), "Cancel a loop on the port %s, unblock", port->name);
    vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex, VESK_PORT_REQ_UNBLOCK);
    new_state = vesk_port_is_running(port) ? VESK_PORT_UP : VESK_PORT_DOWN;
    return true;
}

// veskd asks for the link of a port it shut down only as it releases it, and the port is then
// no longer shown shut down: the link came up from outside (ip link set up).
void vesk_port_brought_up(struct vesk_port *port) {
    zlog_warn(vesk_port_zg(port),
              "%s, shut down by loop detection, was brought up from outside veskd: released",
              port->name);
    port->release_cause = VESK_CAUSE_LINK_UP;
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
        if (port->pstate == VESK_PORT_SHUTDOWN)
            vesk_port_brought_up(port);
        vesk_enable_port(port);
        return true;
    case VESK_PORT_SHUTDOWN:
        return vesk_port_shutdown_act(port);
    case VESK_PORT_BLOCKED:
        return vesk_port_block_act(port, new_state);
    default:
        if (port->pstate == VESK_PORT_BLOCKED)
            return vesk_port_unblock_act(port, new_state);
        zlog_warn(vesk_port_zg(port), "Cancel a loop on the port %s, no shut down", port->name);
        if (vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex,
                                        VESK_PORT_REQ_NOSHUTDOWN) == 0)
            return true;
        // Shown as released, the port would stay down with nobody the wiser.
        zlog_err(vesk_port_zg(port),
                 "Port %s was not released: the request was refused; it stays shut down",
                 port->name);
        return port->pstate != VESK_PORT_SHUTDOWN;
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

// The model's requests (vesk/model/port.h), as the machine answers them.
void vesk_machine_on_request(struct vesk_port *port, enum vesk_machine_request request) {
    switch (request) {
    case VESK_MACHINE_START:
        vesk_enable_port(port);
        return;
    case VESK_MACHINE_STOP:
        vesk_vlan_blocks_release(port, VESK_CAUSE_DISABLED);
        vesk_disable_port(port);
        return;
    case VESK_MACHINE_RESUME_SOON:
        vesk_port_resume_soon(port);
        return;
    case VESK_MACHINE_VLAN_GAINED:
        vesk_fast_start(port, true);
        return;
    }
}

} // namespace

void vesk_set_port_state(struct vesk_port *port, uint32_t new_state) {
    if (port == nullptr || new_state >= VESK_PORT_STATE_MAX || new_state == port->pstate)
        return;
    const uint32_t old_state = port->pstate;
    if (!vesk_port_state_act(port, new_state))
        return;
    VESK_DEBUG_LOG_EVENT(vesk_port_zg(port), "port %s state change %s to %s\n", port->name,
                         vesk_port_state_name(old_state), vesk_port_state_name(new_state));
    port->pstate = new_state;
    if (vesk_port_is_cut(port))
        port->cut_usec = zet_clock_now_usec();
    vesk_port_state_note(port, old_state, new_state);
    vesk_port_state_changed(port);
}

void vesk_machine_hook_install(void) {
    vesk_model_set_machine_hook(vesk_machine_on_request);
}
