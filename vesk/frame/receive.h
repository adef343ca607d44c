// The receive path: the receive thread's loop and the loop verdict.
//
// The receive thread reads the frame socket and hands each 46-byte read to the event loop,
// but for copies of a frame it handed on from the same port a moment ago (vesk/frame/shed.h);
// finding the ports, the verdict and the state machine run on the main thread, one frame at a
// time, so they never race with timers, NSM messages or commands.
#pragma once

#include <atomic>
#include <cstdint>

struct lib_globals;
struct vesk_port;

// What the receive thread saw. It alone writes the counts, with plain relaxed stores (no lock,
// no locked instruction per frame); the main thread only reads them, perhaps a frame behind.
struct vesk_recv_counts {
    std::atomic<uint64_t> read;
    // Reads that were not 46 bytes.
    std::atomic<uint64_t> wrong_size;
    // Copies of a frame handed on from the same port a moment ago.
    std::atomic<uint64_t> shed;
};
extern struct vesk_recv_counts vesk_recv_counts;

// The receive address's length and the largest read.
constexpr int VESK_RECV_ADDR_LEN = 16;
constexpr int VESK_RECV_BUF_LEN = 1500;

// The receive thread's loop. Gives -1 when it cannot start (null handle, socket not open);
// returns 0 only once the frame socket has been closed.
int vesk_recv_pkt_karsto(struct lib_globals *handle);

// One received frame (receive thread): address is the 16-byte receive address, buffer the 46
// bytes from the ARP header on. Hands the frame to the event loop; a full queue drops it.
void vesk_recv(struct lib_globals *handle, const uint8_t *address, const uint8_t *buffer,
               int length);

// The event loop's half of one received frame: finds the receiving port, judges the frame and
// acts on the sending port. Main thread only.
void vesk_recv_verdict(struct lib_globals *handle, const uint8_t *address, const uint8_t *buffer,
                       int length);

// What a frame that arrived on a port says of itself, in the order it is checked.
enum vesk_frame_verdict : uint8_t {
    // No detection frame, or one naming no port of this device.
    VESK_FRAME_NOT_OURS,
    // Not the MAC of the port it names (of the receiving port where it names none).
    VESK_FRAME_BAD_MAC,
    // The port it names does not protect its VLAN.
    VESK_FRAME_BAD_VLAN,
    // Its check values are not those of the latest frame built for that port and VLAN.
    VESK_FRAME_BAD_CHECK,
    VESK_FRAME_BAD_MD5,
    // The latest frame of that port and VLAN.
    VESK_FRAME_OWN,
};

struct vesk_provlan;

// A frame decoded: its fields as far as they were read, the sending port and protect entry they
// name, and whether the frame is recent by the clocks.
struct vesk_frame_read {
    vesk_frame_verdict verdict;
    uint32_t ifindex;
    uint32_t vid;
    uint32_t tx_time;
    struct vesk_port *tx_port;
    struct vesk_provlan *entry;
    bool recent;
};

// Decodes a frame that arrived on rx_port and compares it with what this device sent; changes
// nothing (the verdict, main thread only, acts on what it gives).
vesk_frame_read vesk_frame_decode(struct lib_globals *handle, const struct vesk_port *rx_port,
                                  const uint8_t *buffer, int length);
