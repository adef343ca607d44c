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

// Stale-frame bookkeeping, one record for the daemon; touched only where verdicts run.
struct vesk_stale_record {
    uint32_t stale_time; // transmit time of the last stale frame seen
    int32_t stale_count; // stale arrivals of that transmit time counted
};
extern struct vesk_stale_record record_vesk;

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

// Validation and verdict of a frame that arrived on rx_port: 0 when it proves a loop, -1
// otherwise. vid_out and ifindex_out receive the decoded fields as soon as they are read.
int karsto_vesk_decode_pkt(struct lib_globals *handle, struct vesk_port *rx_port,
                           const uint8_t *buffer, int length, uint32_t *vid_out,
                           uint32_t *ifindex_out);
