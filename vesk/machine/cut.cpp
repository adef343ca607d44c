#include "vesk/machine/cut.h"

#include <algorithm>
#include <array>

#include "vesk/daemon/veskd.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/loop_log.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"

namespace {

struct vesk_pending_cut {
    uint32_t target;
    uint32_t tx;
    uint32_t rx;
    uint32_t vid;
    uint8_t action;
    unsigned long long event;
};

// Verdicts of one batch of frames; a full batch cuts at once, as if nothing were pending.
constexpr size_t VESK_PENDING_CUTS = 64;
std::array<vesk_pending_cut, VESK_PENDING_CUTS> vesk_pending;
size_t vesk_pending_count = 0;
// The loop the flush is posted on; null when none is. A loop freed before it ran the flush
// (a stop, a test) leaves its batch behind, and so does one whose queue is empty: a posted
// flush would still be in it.
const struct thread_master *vesk_flush_posted = nullptr;

// Why the cut of tx_port is dropped, or null: its frame came back on a port that is cut (in the
// frame's VLAN, for a VLAN blocked alone), or was cut since the frame was sent.
const char *vesk_cut_dropped(const struct vesk_port *tx, const struct vesk_port *rx, uint32_t vid) {
    if (rx == tx)
        return nullptr;
    if (vesk_port_is_cut(rx) || vesk_port_vlan_blocked(rx, static_cast<uint16_t>(vid)))
        return "is cut";
    if (rx->cut_usec != 0 && rx->cut_usec >= tx->tx_usec)
        return "was cut since the frame was sent";
    return nullptr;
}

// The history's loop event, if the frame found one, tells that nothing was cut.
void vesk_cut_not_made(unsigned long long event) {
    struct vesk_event *e = vesk_history_find(event);
    if (e != nullptr)
        e->cause = VESK_CAUSE_NOT_CUT;
}

bool vesk_cut_possible(const struct vesk_port *port) {
    return port->mstate != SMS_SHUTDOWN && port->mstate != SMS_RESUME;
}

void vesk_cut_apply(struct lib_globals *handle, struct vesk_port *target, struct vesk_port *tx,
                    struct vesk_port *rx, const vesk_pending_cut &cut) {
    const uint32_t vid = cut.vid;
    const uint8_t action = cut.action;
    if (target == tx) {
        const char *why = vesk_cut_dropped(tx, rx, vid);
        if (why != nullptr) {
            vesk_cut_not_made(cut.event);
            zlog_info(handle,
                      "Loop on the port %s in vlan %d not cut: the port %s it came back on %s",
                      tx->name, static_cast<int>(vid), rx->name, why);
            VESK_DEBUG_LOG_EVENT(handle,
                                 "verdict for port %s dropped: port %s %s (cut %lld, sent %lld)",
                                 tx->name, rx->name, why, rx->cut_usec, tx->tx_usec);
            return;
        }
    }
    if (action == VESK_LOOP_SHUTDOWN && target == tx) {
        VESK_DEBUG_LOG_RECV(handle, "vesk_recv: receive valid VESK packet , shut down port %s",
                            tx->name);
        vesk_update_state_machine(tx, VESK_MACHINE_EV_LOOP);
        return;
    }
    if (!vesk_cut_possible(target))
        return;
    if (target == tx && target->mstate != SMS_WAIT_TX)
        return;
    if (action == VESK_LOOP_BLOCK && vesk_vlan_block(target, static_cast<uint16_t>(vid)) == 0)
        return;
    if (action == VESK_LOOP_BLOCK) {
        vesk_state_machine_block(target);
        return;
    }
    vesk_state_machine_shutdown(target);
    vesk_state_machine_resume(target);
}

int vesk_cut_flush_handle(struct thread *t) {
    auto *handle = static_cast<struct lib_globals *>(THREAD_ARG(t));
    vesk_flush_posted = nullptr;
    size_t count = vesk_pending_count;
    vesk_pending_count = 0;
    std::stable_sort(
        vesk_pending.begin(), vesk_pending.begin() + static_cast<long>(count),
        [](const vesk_pending_cut &a, const vesk_pending_cut &b) { return a.target > b.target; });
    for (size_t i = 0; i < count; i++) {
        const vesk_pending_cut &c = vesk_pending[i];
        struct vesk_port *target = vesk_port_from_ifindex(handle, c.target);
        struct vesk_port *tx = vesk_port_from_ifindex(handle, c.tx);
        struct vesk_port *rx = vesk_port_from_ifindex(handle, c.rx);
        if (target != nullptr && tx != nullptr && rx != nullptr)
            vesk_cut_apply(handle, target, tx, rx, c);
    }
    return 0;
}

// Gives true when the cut waits for the frames queued behind this one.
bool vesk_cut_defer(struct lib_globals *handle, const vesk_pending_cut &cut) {
    if (handle->master == nullptr || thread_post_pending(handle->master) == 0) {
        vesk_flush_posted = nullptr;
        vesk_pending_count = 0;
        return false;
    }
    if (vesk_flush_posted != handle->master) {
        vesk_flush_posted = nullptr;
        vesk_pending_count = 0;
    }
    if (vesk_pending_count == VESK_PENDING_CUTS)
        return false;
    if (vesk_flush_posted == nullptr) {
        if (thread_post(handle->master, vesk_cut_flush_handle, handle, nullptr, 0) != 0)
            return false;
        vesk_flush_posted = handle->master;
    }
    vesk_pending[vesk_pending_count++] = cut;
    return true;
}

// The port an uplink's loop cuts: the receiving one, unless it cannot be; null after logging.
struct vesk_port *vesk_uplink_target(struct lib_globals *handle, struct vesk_port *tx,
                                     struct vesk_port *rx, uint32_t vid) {
    if (rx == tx) {
        vesk_loop_log(handle, tx->settings.tx_interval_time,
                      "Uplink %s exits a loop in vlan %d behind itself, not cut", tx->name,
                      static_cast<int>(vid));
        return nullptr;
    }
    if (rx->settings.uplink) {
        vesk_loop_log(handle, tx->settings.tx_interval_time,
                      "Uplinks %s and %s exit a loop in vlan %d between them, not cut", tx->name,
                      rx->name, static_cast<int>(vid));
        return nullptr;
    }
    return rx;
}

} // namespace

void vesk_loop_verdict(struct lib_globals *handle, struct vesk_port *tx_port,
                       struct vesk_port *rx_port, uint32_t vid, unsigned long long event) {
    if (handle == nullptr || tx_port == nullptr || rx_port == nullptr)
        return;
    // A blocked port's probes coming back keep it blocked; so do those of a VLAN blocked alone.
    if (vesk_vlan_block_probe_back(tx_port, static_cast<uint16_t>(vid)))
        return;
    if (tx_port->pstate == VESK_PORT_BLOCKED) {
        tx_port->probe_back = 1;
        return;
    }
    struct vesk_port *target = tx_port;
    if (tx_port->settings.uplink)
        target = vesk_uplink_target(handle, tx_port, rx_port, vid);
    if (target == nullptr) {
        vesk_cut_not_made(event);
        return;
    }
    const uint8_t action = tx_port->settings.loop_process;
    if (action == VESK_LOOP_LOG) {
        vesk_loop_log(handle, tx_port->settings.tx_interval_time,
                      "port %s connection device exits a loop in vlan %d", target->name,
                      static_cast<int>(vid));
        return;
    }
    const vesk_pending_cut cut{
        target->ifindex, tx_port->ifindex, rx_port->ifindex, vid, action, event};
    if (vesk_cut_defer(handle, cut))
        return;
    vesk_cut_apply(handle, target, tx_port, rx_port, cut);
}
