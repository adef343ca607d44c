// The debug switches that every layer of the daemon reads, and one logging macro per category.
// The "debug loop-detect" commands (vesk/cli/debug.h) set them; nothing here knows commands.
#pragma once

#include <cstdint>

#include "zet/core/log.h"

// The flags in force.
struct vesk_debug_flags {
    uint32_t term_event;
    uint32_t term_nsm;
    uint32_t term_packet;
};

constexpr uint32_t VESK_DEBUG_EVENT = 0x01;
constexpr uint32_t VESK_DEBUG_MACHINE = 0x20;
constexpr uint32_t VESK_DEBUG_NSM = 0x01;
constexpr uint32_t VESK_DEBUG_PACKET = 0x01;
constexpr uint32_t VESK_DEBUG_SEND = 0x20;
constexpr uint32_t VESK_DEBUG_RECV = 0x40;
constexpr uint32_t VESK_DEBUG_DETAIL = 0x80;

extern struct vesk_debug_flags vesk_global_debug;

// Clears every flag word.
void vesk_debug_init(struct vesk_debug_flags *flags);

// Whether receive debugging is on. The receive thread reads the word while commands may change
// it on the main thread.
inline bool vesk_debug_recv_on(void) {
    return (__atomic_load_n(&vesk_global_debug.term_packet, __ATOMIC_RELAXED) & VESK_DEBUG_RECV) !=
           0;
}

// zlog_debug(zg, format, ...) while the category's flag is on; the arguments are not evaluated
// otherwise.
#define VESK_DEBUG_LOG_IF(on, zg, ...)                                                             \
    do {                                                                                           \
        if (on)                                                                                    \
            zlog_debug((zg), __VA_ARGS__);                                                         \
    } while (0)

#define VESK_DEBUG_LOG_EVENT(zg, ...)                                                              \
    VESK_DEBUG_LOG_IF((vesk_global_debug.term_event & VESK_DEBUG_EVENT) != 0, zg, __VA_ARGS__)
#define VESK_DEBUG_LOG_MACHINE(zg, ...)                                                            \
    VESK_DEBUG_LOG_IF((vesk_global_debug.term_event & VESK_DEBUG_MACHINE) != 0, zg, __VA_ARGS__)
#define VESK_DEBUG_LOG_NSM(zg, ...)                                                                \
    VESK_DEBUG_LOG_IF((vesk_global_debug.term_nsm & VESK_DEBUG_NSM) != 0, zg, __VA_ARGS__)
#define VESK_DEBUG_LOG_SEND(zg, ...)                                                               \
    VESK_DEBUG_LOG_IF((vesk_global_debug.term_packet & VESK_DEBUG_SEND) != 0, zg, __VA_ARGS__)
#define VESK_DEBUG_LOG_RECV(zg, ...) VESK_DEBUG_LOG_IF(vesk_debug_recv_on(), zg, __VA_ARGS__)
