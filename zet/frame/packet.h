// The Linux backend of the frame socket: one AF_PACKET socket on every interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "zet/frame/addr.h"

struct lib_globals;
struct sock_fprog;
struct frame_ring;

// The kernel filter: only ARP requests of minimum frame size (60 bytes untagged, 64 with an
// in-line 802.1Q tag) whose sender protocol address is 0.0.0.0.
void frame_packet_filter(struct sock_fprog *prog);

// Opens the socket, filter attached and receive ring (ring) set up before it is bound, our own
// transmissions ignored. Gives the descriptor or -1 with errno.
int frame_packet_open(struct frame_ring &ring);

// Puts data behind an Ethernet header built from to, 802.1Q-tagged unless the port is an
// untagged member of the VLAN. Gives len or -1 with errno.
ssize_t frame_packet_send(struct lib_globals *zg, int fd, const struct frame_send_addr &to,
                          const uint8_t *data, size_t len);

// One frame from the ring without blocking: the frame from its ARP header on, tag removed.
// Gives the bytes copied (the full length with trunc), FRAME_RX_IGNORED, or -1 with EAGAIN
// when the ring is empty (poll the socket for POLLIN).
ssize_t frame_packet_recv(struct frame_ring &ring, uint8_t *buf, size_t len, bool trunc,
                          struct frame_recv_addr &from);
