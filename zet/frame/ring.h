// A TPACKET_V2 receive ring on a packet socket. The kernel writes frames into slots of memory
// shared with us, so a storm is read without a system call per frame. On a loop storm between
// two bridges one recvmsg per frame cost about ten times the CPU of the ring, and on a machine
// busy with other work it fell far behind (the kernel dropped most frames) while the ring kept
// up; bench/rx_modes.sh measures both. Each frame is ours as soon as it is written: a ring of
// blocks (TPACKET_V3) hands a lone frame over only when its block times out. From a returned
// frame to the cut (bench/steady_loop.sh A, a loop behind one port) that took a median of
// 5.3 ms with a 10 ms timeout and 0.96 ms (worst 63.6) with 1 ms, against 0.33 (worst 0.58).
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
    unsigned slot = 0; // the slot being read, or next to be handed to us
    bool held = false; // that slot's frame was given out and goes back at the next read
};

// 512 KiB of 256-byte slots: the filter passes frames of 64 bytes at most, which with the
// ring's headers take 130, so 2048 frames wait for the reader. In a storm it reads fewer frames
// than the ring of blocks did and the kernel drops more (bench/rx_modes.sh, 55,000 to 126,000
// frames a second on the port: 167,000 read a second at 31% of a core against 224,000-283,000
// at 25-33%), but it hands on as many, about 38 a second, once copies are shed.
constexpr unsigned FRAME_RING_SIZE = 512 * 1024;
constexpr unsigned FRAME_RING_BLOCK = 64 * 1024;
constexpr unsigned FRAME_RING_SLOT = 256;
constexpr unsigned FRAME_RING_SLOTS = FRAME_RING_SIZE / FRAME_RING_SLOT;

// Sets the ring up on fd, a packet socket not yet bound, and maps it. 0, or -1 with errno.
int frame_ring_attach(struct frame_ring &ring, int fd);

// The next frame: true and out filled, or false when none is ready; poll the socket for POLLIN
// to wait for it. Not for two threads at once.
bool frame_ring_next(struct frame_ring &ring, struct frame_ring_frame &out);

// Unmaps the ring; the socket may be closed afterwards.
void frame_ring_detach(struct frame_ring &ring);
