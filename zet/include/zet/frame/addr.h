// The link addresses of the frame socket: what a sender names and a reader is told. Records only,
// shared by the socket and its backends.
#pragma once

#include <cstdint>
#include <sys/types.h>

enum : int {
    FRAME_SEND_ADDR_LEN = 20,
    FRAME_RECV_ADDR_LEN = 16,
    FRAME_PAYLOAD_MAX = 1500,
    FRAME_VID_MAX = 4094,
};

// Where a frame goes. ifindex and vid are in host byte order.
struct frame_send_addr {
    uint8_t dst[6];
    uint8_t src[6];
    int32_t ifindex;
    uint16_t vid;
    uint16_t pad; // zero
};

// Where a frame came from. ifindex is in host byte order.
struct frame_recv_addr {
    uint8_t dst[6];
    uint8_t src[6];
    uint32_t ifindex;
};

static_assert(sizeof(frame_send_addr) == FRAME_SEND_ADDR_LEN);
static_assert(sizeof(frame_recv_addr) == FRAME_RECV_ADDR_LEN);

// What a backend's read gives for a read it threw away (our own transmission, malformed, not a
// frame).
constexpr ssize_t FRAME_RX_IGNORED = -2;
