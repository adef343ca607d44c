// The transmit path of detection frames.
#pragma once

struct vesk_port;

// Sends one detection frame on each active protect VLAN of port; the result of the last send,
// or -1 when nothing was sent.
int vesk_send_pkt(struct vesk_port *port);
