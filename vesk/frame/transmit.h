// The transmit path of detection frames over the platform's frame socket.
#pragma once

#include <cstdint>

struct vesk_daemon;
struct vesk_port;

// Destination of every detection frame.
extern const uint8_t vesk_arp_addr[6];

// Opens the daemon's frame socket and keeps its descriptor in d; gives it, negative on failure.
int vesk_sock_init(struct vesk_daemon *d);
// Sends data on port ifindex and VLAN vid through d's frame socket: 0 when the platform took it,
// -1 otherwise.
int vesk_send(const struct vesk_daemon *d, const uint8_t *src_mac, const uint8_t *dst_mac,
              int32_t ifindex, uint16_t vid, const uint8_t *data, int length);
// Sends one detection frame on each active protect VLAN of port; the result of the last send,
// or -1 when nothing was sent.
// VLANs the port is blocked in alone are left to their probes (vesk_send_vlan).
int vesk_send_pkt(struct vesk_port *port);
// Sends one detection frame on the port's protect VLAN vid, if active: the send's result, or -1.
int vesk_send_vlan(struct vesk_port *port, uint16_t vid);
// Sends the next frame of the fast starts of port's VLANs that have one (first: only of those
// that have sent none yet); gives how many such frames are still to send for those it sent.
int vesk_send_fast(struct vesk_port *port, bool first);
