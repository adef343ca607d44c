// The daemon object: what one veskd is made of (made, built, run and released: lifecycle.h).
#pragma once

#include <cstdint>

#include "vesk/frame/auth.h"

struct lib_globals;
struct vesk_master;

// Stale-frame bookkeeping, one record for the daemon; touched only where verdicts run.
struct vesk_stale_record {
    uint32_t stale_time; // transmit time of the last stale frame seen
    int32_t stale_count; // stale arrivals of that transmit time counted
};

struct vesk_daemon {
    // The framework: event loop, clock, log, command shell and vty, NSM link and frame socket.
    struct lib_globals *zg = nullptr;
    // The model: bridges, their ports and protect VLANs.
    struct vesk_master *master = nullptr;
    // The frame socket's descriptor, negative until it is open.
    int sockfd = -1;
    // "loop-detect fast-detect": moves of forwarding entries make the ports involved probe.
    uint8_t fast_detect = 1;
    // "loop-detect authentication" and its key.
    struct vesk_frame_auth auth {};
    // Stale frames seen by the verdict.
    struct vesk_stale_record stale {};
};

// The daemon whose framework handle zg is, or null.
struct vesk_daemon *vesk_daemon_of(const struct lib_globals *zg);
