// Which switch acts on a loop that other veskd switches see too: the nearest one cuts at once,
// the others hold off, probe again, and cut only if the loop is still there. So one loop costs
// one link, and a neighbour that cannot or does not cut still gets its loop cut, only later.
//
// The rules, where veskd knows another veskd behind a port (vesk/model/neighbour.h):
// - a loop behind one port (the frame came back on the port it left) with another veskd behind
//   that port is that veskd's to cut: this one holds off;
// - a loop between two ports where another veskd lies behind either (parallel links, a ring):
//   the switch with the lowest MAC among this one's two ports and the neighbours behind them
//   cuts at once, the others hold off;
// - every other loop is cut at once, as is a loop that is still there after its hold-off.
#pragma once

#include <cstdint>

struct lib_globals;
struct vesk_port;

// Default and range of "loop-detect hold-off MSEC"; 0 never holds off.
constexpr uint32_t VESK_HOLD_OFF_DEFAULT_MSEC = 300;
constexpr uint32_t VESK_HOLD_OFF_MAX_MSEC = 5000;
// After the hold-off's probe, a frame back within this long is the same loop, cut at once.
constexpr uint32_t VESK_HOLD_OFF_WINDOW_MSEC = 2000;
extern uint32_t vesk_hold_off_msec;

// A frame of another veskd arrived on rx_port: its sender lies behind the port.
void vesk_yield_heard(struct vesk_port *rx_port, const uint8_t *sender_mac, uint32_t their_ifindex);
// Gives true when the loop of tx_port's frame, back on rx_port in vid, is left to another
// veskd for now (logged, counted and in the event history at the start of the hold-off).
bool vesk_yield(struct lib_globals *handle, struct vesk_port *tx_port, struct vesk_port *rx_port,
                uint32_t vid);
// The hold-off timer: the port probes at once; then the window closes. Gives 0.
int vesk_yield_timer(struct thread *t);
