// The wire-peer backend of the frame socket: Unix datagrams to a peer that plays the wire
// (framing in docs/frame-protocol.md).
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "zet/frame/addr.h"

// Connects to the peer listening at path and says hello. Gives the descriptor or -1 with errno.
int frame_unix_open(const char *path);

// One datagram: the send address, then data. While the peer's queue is full it waits up to
// 50 ms for room, then gives up with EAGAIN. Gives len or -1 with errno.
ssize_t frame_unix_send(int fd, const struct frame_send_addr &to, const uint8_t *data, size_t len);

// One datagram without blocking: the receive address, then the frame. Gives the bytes copied
// (the full length with trunc), FRAME_RX_IGNORED for a datagram too short to carry an
// address, or -1 with errno.
ssize_t frame_unix_recv(int fd, uint8_t *buf, size_t len, bool trunc, struct frame_recv_addr &from);
