// What veskd did to its ports, kept after the log has rotated: the last VESK_HISTORY_MAX
// events, oldest first.
#pragma once

#include <cstdint>
#include <ctime>

#include "vesk/host/lldp_cache.h"
#include "zet/core/if.h"

constexpr unsigned VESK_HISTORY_MAX = 256;

enum vesk_event_kind : uint8_t {
    // A port's own frame came back: port sent it, rx_port received it, in vid.
    VESK_EVENT_LOOP,
    VESK_EVENT_RELEASE,
    VESK_EVENT_BLOCK,
    VESK_EVENT_UNBLOCK,
};

// Why a port was released; also what a loop led to (the port's loop action).
enum vesk_event_cause : uint8_t {
    VESK_CAUSE_NONE,
    VESK_CAUSE_TIMER,
    VESK_CAUSE_FORCE_UP,
    VESK_CAUSE_LOOP_GONE,
    VESK_CAUSE_DISABLED,
    VESK_CAUSE_SHUTDOWN,
    VESK_CAUSE_LOG,
    VESK_CAUSE_BLOCK,
    VESK_CAUSE_PROBE,
    // The loop's frame came back, yet the port was not cut: its partner in the loop was.
    VESK_CAUSE_NOT_CUT,
    // The port's link was brought up from outside veskd while loop detection held it down.
    VESK_CAUSE_LINK_UP,
    // A loop left to another veskd for a hold-off.
    VESK_CAUSE_HELD_OFF,
};

struct vesk_event {
    time_t when;
    enum vesk_event_kind kind;
    enum vesk_event_cause cause;
    uint16_t vid;
    // A loop found by a fast-detection probe.
    bool probe;
    char port[INTERFACE_NAMSIZ + 1];
    char rx_port[INTERFACE_NAMSIZ + 1];
    // What lldpd said was behind port when the event happened; has_neighbour false when nothing.
    bool has_neighbour;
    struct vesk_lldp_neighbour neighbour;
};

// Called with each event as it is recorded (null: nobody listens).
extern void (*vesk_history_listener)(const struct vesk_event *e);

// Records an event now; rx_port may be null. The oldest event goes when the history is full.
// Gives the event, for details only some kinds have.
struct vesk_event *vesk_history_add(enum vesk_event_kind kind, enum vesk_event_cause cause,
                                    const char *port, uint16_t vid, const char *rx_port);
// Every event gets the next serial number, from 1, kept across clears: the event of a serial
// is found again while the history still holds it (null once it is gone or cleared).
unsigned long long vesk_history_last_serial(void);
struct vesk_event *vesk_history_find(unsigned long long serial);
// The number of events kept, and the i-th oldest of them (null beyond the count).
unsigned vesk_history_count(void);
const struct vesk_event *vesk_history_at(unsigned i);
void vesk_history_clear(void);
// Names for shows and JSON: "loop", "release", ...; "timer", "force-up", ...
const char *vesk_event_kind_name(enum vesk_event_kind kind);
const char *vesk_event_cause_name(enum vesk_event_cause cause);
// The local time in ISO 8601 with its offset: 2026-12-07T03:04:05+01:00.
void vesk_history_time(time_t when, char *buf, unsigned size);
