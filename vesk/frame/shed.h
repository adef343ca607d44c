// Shedding repeated frames on the receive thread.
//
// In a loop storm the same broadcast comes back thousands of times a second, every copy the
// same bytes on the same port. One verdict per port and frame in a short window says all those
// copies can say, so the receive thread drops the others before they cost the event loop a post,
// a verdict or a log line. A frame is shed only when its very bytes were handed on from the same
// port within the window; anything new, or a copy once the window has passed, is handed on.
#pragma once

#include <array>
#include <cstdint>

#include "vesk/frame/encode.h"

constexpr int VESK_SHED_SLOTS = 256;
// A tenth of a second: a continuing storm still reaches the verdict ten times a second per port
// and frame, which keeps stale-frame counting and log-only warnings alive.
constexpr long long VESK_SHED_WINDOW_USEC = 100000;

struct vesk_shed_slot {
    long long handed_usec; // when this frame was last handed on
    uint32_t ifindex;      // the receiving port; 0 marks an empty slot
    uint8_t pdu[VESK_PDU_LEN];
};

// One per receive loop; only that loop's thread touches it.
struct vesk_recv_shed {
    std::array<vesk_shed_slot, VESK_SHED_SLOTS> slots;
};

// Gives true when the same pdu arrived on ifindex and was handed on less than
// VESK_SHED_WINDOW_USEC before now_usec. Otherwise remembers it as handed on at now_usec and
// gives false.
bool vesk_recv_shed_repeat(struct vesk_recv_shed *shed, uint32_t ifindex, const uint8_t *pdu,
                           long long now_usec);
