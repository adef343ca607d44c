// Which port a frame that came back cuts, and how: one cut per loop, uplinks never.
#pragma once

#include <cstdint>

struct lib_globals;
struct vesk_port;

// A frame of tx_port came back on rx_port in VLAN vid (the verdict said so); event is the
// history's serial of the loop it newly found, or 0. A loop that is not cut says so there.
//
// An uplink is never cut: the receiving port is, with the uplink's action, unless it is an
// uplink too (then the loop is only logged); a loop behind an uplink itself is logged with a
// warning. Those warnings, and a log-only port's, are held back as vesk_loop_log says. A cut
// is dropped when the port the frame came back on is cut, or was cut by loop detection since
// the frame was sent: the loop it proves is already broken. While more frames wait to be
// judged, cuts wait for them and then go in descending interface index, so of two ports that
// see one loop from both ends only the one with the higher index is cut.
void vesk_loop_verdict(struct lib_globals *handle, struct vesk_port *tx_port,
                       struct vesk_port *rx_port, uint32_t vid, unsigned long long event);
