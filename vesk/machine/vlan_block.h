// "loop-detect loop block" on a VLAN-aware bridge: the port is blocked only in the VLANs where
// the loop is, through the bridge's per-VLAN port state, and keeps forwarding (and protecting)
// its other VLANs. Each blocked VLAN is probed once a second and unblocked on its own after two
// probes in a row do not come back, when its resume time has passed, or one second after
// "loop-detect force up".
#pragma once

#include <cstdint>
#include <string>

struct vesk_port;

// Blocks the port in vid alone: 0 when it is blocked there now (or was already), -1 when a
// block of the VLAN alone does not apply (a VLAN-unaware bridge, a VLAN the port does not
// protect as a member) or the module refused it: the port is then cut as a whole.
int vesk_vlan_block(struct vesk_port *port, uint16_t vid);
// The port is blocked in vid alone.
bool vesk_port_vlan_blocked(const struct vesk_port *port, uint16_t vid);
// A frame of the port came back in vid: true when vid is blocked, the frame then being a probe.
bool vesk_vlan_block_probe_back(struct vesk_port *port, uint16_t vid);
// Unblocks every VLAN of the port, each logged with the cause (vesk_event_cause).
void vesk_vlan_blocks_release(struct vesk_port *port, uint8_t cause);
// The port is no longer a member of vid, or its interface is gone (vid 0: every VLAN): the
// block went with the membership, so nothing is asked; logged.
void vesk_vlan_blocks_forget(struct vesk_port *port, uint16_t vid);
// "loop-detect force up": every blocked VLAN of the port is released a second from now.
void vesk_vlan_blocks_force_up(struct vesk_port *port);
// Takes back a block of vid from before a restart: asked again, released after wait seconds.
// 0, or -1 where a block of the VLAN alone does not apply (any more) or is refused.
int vesk_vlan_block_adopt(struct vesk_port *port, uint16_t vid, uint32_t wait);
// Whole seconds until the first blocked VLAN of the port is released at the latest, -1 when
// none is blocked.
long long vesk_vlan_blocks_remaining(const struct vesk_port *port);
// "20,30": the port's blocked VLANs, ascending; empty when none.
std::string vesk_vlan_blocks_text(const struct vesk_port *port);
