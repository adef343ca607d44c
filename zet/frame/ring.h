// A TPACKET_V3 receive ring on a packet socket. The kernel writes frames into blocks of memory
// shared with us, so a storm is read without a system call per frame. On a loop storm between
// two bridges one recvmsg per frame cost about ten times the CPU of the ring, and on a machine
// busy with other work it fell far behind (the kernel dropped most frames) while the ring kept
// up; bench/rx_modes.sh measures both.
#pragma once

#include <cstddef>
#include <cstdint>

// One frame as the ring holds it; the bytes stay valid until the next frame_ring_next.
struct frame_ring_frame {
    const uint8_t *data; // from the Ethernet header on
    size_t len;          // bytes captured
    size_t wire_len;     // bytes on the wire
    int ifindex;
    uint8_t pkttype; // PACKET_HOST, PACKET_BROADCAST, PACKET_OUTGOING, ...
};

struct frame_ring {
    uint8_t *map = nullptr;
    size_t size = 0;
    unsigned block = 0; // the block being read, or next to be handed to us
    bool held = false;  // the kernel has handed us that block
    unsigned left = 0;  // frames of the held block not yet read
    const uint8_t *next = nullptr;
};

// Small blocks keep the ring's memory (and our resident size) at 512 KiB; a block is handed
// over when full or FRAME_RING_RETIRE_MS after its first frame, so a lone frame waits at most
// that long.
constexpr unsigned FRAME_RING_BLOCK = 64 * 1024;
constexpr unsigned FRAME_RING_BLOCKS = 8;
constexpr unsigned FRAME_RING_RETIRE_MS = 10;

// Sets the ring up on fd, a packet socket not yet bound, and maps it. 0, or -1 with errno.
int frame_ring_attach(struct frame_ring &ring, int fd);

// The next frame: true and out filled, or false when none is ready; poll the socket for POLLIN
// to wait for the next block. Not for two threads at once.
bool frame_ring_next(struct frame_ring &ring, struct frame_ring_frame &out);

// Unmaps the ring; the socket may be closed afterwards.
void frame_ring_detach(struct frame_ring &ring);
