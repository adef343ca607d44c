#include "vesk/machine/yield.h"

#include <cstring>

#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/history.h"
#include "vesk/model/neighbour.h"
#include "vesk/model/port.h"

uint32_t vesk_hold_off_msec = VESK_HOLD_OFF_DEFAULT_MSEC;

namespace {

enum : uint8_t { VESK_HOLD_NONE, VESK_HOLD_WAITING, VESK_HOLD_PROBED };

constexpr size_t MAC_LEN = 6;

const uint8_t *vesk_yield_lower(const uint8_t *a, const uint8_t *b) {
    return std::memcmp(a, b, MAC_LEN) < 0 ? a : b;
}

// Why the loop is another veskd's to cut, or null when this one cuts it.
const char *vesk_yield_reason(const struct vesk_port *tx, const struct vesk_port *rx,
                              long long now) {
    uint8_t behind_tx[MAC_LEN];
    uint8_t behind_rx[MAC_LEN];
    const bool at_tx = vesk_neighbour_behind(tx->ifindex, now, behind_tx);
    if (tx == rx)
        return at_tx ? "the veskd behind it cuts it" : nullptr;
    const bool at_rx = vesk_neighbour_behind(rx->ifindex, now, behind_rx);
    if (!at_tx && !at_rx)
        return nullptr;
    // Either side is enough: the other switch's frames may not have reached a cable that was
    // plugged a moment ago, and both switches must come to the same answer.
    const uint8_t *theirs = !at_tx   ? behind_rx
                            : !at_rx ? behind_tx
                                     : vesk_yield_lower(behind_tx, behind_rx);
    const uint8_t *mine = vesk_yield_lower(tx->mac_address, rx->mac_address);
    return std::memcmp(theirs, mine, MAC_LEN) < 0 ? "a veskd with a lower MAC cuts it" : nullptr;
}

bool vesk_yield_never(const struct vesk_port *tx) {
    return vesk_hold_off_msec == 0 || tx->settings.uplink ||
           tx->settings.loop_process == VESK_LOOP_LOG || tx->pstate == VESK_PORT_BLOCKED;
}

bool vesk_yield_arm(struct vesk_port *port, uint32_t msec) {
    port->hold_timer.arm(thread_add_timer_msec(vesk_port_zg(port), vesk_yield_timer, port, msec));
    return port->hold_timer.armed();
}

void vesk_yield_end(struct vesk_port *port) {
    port->hold_timer.cancel();
    port->hold_phase = VESK_HOLD_NONE;
}

} // namespace

void vesk_yield_heard(struct vesk_port *rx_port, const uint8_t *sender_mac,
                      uint32_t their_ifindex) {
    const long long keep = static_cast<long long>(VESK_NEIGHBOUR_INTERVALS) *
                           rx_port->settings.tx_interval_time * 1000000;
    vesk_neighbour_heard(sender_mac, their_ifindex, rx_port->ifindex, zet_clock_now_usec(), keep);
}

bool vesk_yield(struct lib_globals *handle, struct vesk_port *tx_port, struct vesk_port *rx_port,
                uint32_t vid) {
    if (vesk_yield_never(tx_port))
        return false;
    if (tx_port->hold_phase == VESK_HOLD_WAITING)
        return true;
    if (tx_port->hold_phase == VESK_HOLD_PROBED) {
        vesk_yield_end(tx_port);
        zlog_info(handle, "Loop on the port %s in vlan %d is still there after its hold-off",
                  tx_port->name, static_cast<int>(vid));
        return false;
    }
    const char *why = vesk_yield_reason(tx_port, rx_port, zet_clock_now_usec());
    // A hold-off that cannot be timed would never end: the loop is cut now instead.
    if (why == nullptr || !vesk_yield_arm(tx_port, vesk_hold_off_msec))
        return false;
    tx_port->hold_phase = VESK_HOLD_WAITING;
    tx_port->counters.held_off++;
    zlog_info(handle, "Loop on the port %s in vlan %d (back on %s) held off %u ms: %s",
              tx_port->name, static_cast<int>(vid), rx_port->name, vesk_hold_off_msec, why);
    vesk_history_add(VESK_EVENT_LOOP, VESK_CAUSE_HELD_OFF, tx_port->name,
                     static_cast<uint16_t>(vid), rx_port->name);
    return true;
}

int vesk_yield_timer(struct thread *t) {
    auto *port = static_cast<struct vesk_port *>(THREAD_ARG(t));
    port->hold_timer.fired();
    if (port->hold_phase != VESK_HOLD_WAITING) {
        port->hold_phase = VESK_HOLD_NONE;
        zlog_info(vesk_port_zg(port), "Loop on the port %s not seen again after its hold-off",
                  port->name);
        return 0;
    }
    port->hold_phase = VESK_HOLD_PROBED;
    // The probe leaves now, whatever fast detection sent a moment ago.
    port->probe_after_usec = 0;
    vesk_port_probe(port);
    if (!vesk_yield_arm(port, VESK_HOLD_OFF_WINDOW_MSEC))
        port->hold_phase = VESK_HOLD_NONE;
    return 0;
}
