#include "vesk/model/history.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

std::array<vesk_event, VESK_HISTORY_MAX> vesk_history;
unsigned vesk_history_first;
unsigned vesk_history_used;
unsigned long long vesk_history_serial;

void vesk_copy_name(char *dst, const char *src) {
    std::snprintf(dst, INTERFACE_NAMSIZ + 1, "%s", src != nullptr ? src : "");
}

} // namespace

void (*vesk_history_listener)(const struct vesk_event *e);

struct vesk_event *vesk_history_add(enum vesk_event_kind kind, enum vesk_event_cause cause,
                                    const char *port, uint16_t vid, const char *rx_port) {
    unsigned slot = (vesk_history_first + vesk_history_used) % VESK_HISTORY_MAX;
    if (vesk_history_used == VESK_HISTORY_MAX)
        vesk_history_first = (vesk_history_first + 1) % VESK_HISTORY_MAX;
    else
        vesk_history_used++;
    vesk_history_serial++;
    vesk_event &e = vesk_history[slot];
    e.when = std::time(nullptr);
    e.kind = kind;
    e.cause = cause;
    e.vid = vid;
    e.probe = false;
    vesk_copy_name(e.port, port);
    vesk_copy_name(e.rx_port, rx_port);
    e.has_neighbour = vesk_lldp_cache_get(e.port, &e.neighbour);
    if (vesk_history_listener != nullptr)
        vesk_history_listener(&e);
    return &e;
}

unsigned long long vesk_history_last_serial(void) {
    return vesk_history_serial;
}

struct vesk_event *vesk_history_find(unsigned long long serial) {
    if (serial == 0 || serial > vesk_history_serial ||
        vesk_history_serial - serial >= vesk_history_used)
        return nullptr;
    const unsigned back = static_cast<unsigned>(vesk_history_serial - serial);
    return &vesk_history[(vesk_history_first + vesk_history_used - 1 - back) % VESK_HISTORY_MAX];
}

unsigned vesk_history_count(void) {
    return vesk_history_used;
}

const struct vesk_event *vesk_history_at(unsigned i) {
    if (i >= vesk_history_used)
        return nullptr;
    return &vesk_history[(vesk_history_first + i) % VESK_HISTORY_MAX];
}

void vesk_history_clear(void) {
    vesk_history_first = 0;
    vesk_history_used = 0;
}

const char *vesk_event_kind_name(enum vesk_event_kind kind) {
    static constexpr const char *NAMES[] = {"loop", "release", "block", "unblock"};
    return kind <= VESK_EVENT_UNBLOCK ? NAMES[kind] : "unknown";
}

const char *vesk_event_cause_name(enum vesk_event_cause cause) {
    static constexpr const char *NAMES[] = {"",         "timer",    "force-up", "loop-gone",
                                            "disabled", "shutdown", "log",      "block",
                                            "probe",    "not-cut",  "link-up",  "held-off"};
    return cause <= VESK_CAUSE_HELD_OFF ? NAMES[cause] : "unknown";
}

void vesk_history_time(time_t when, char *buf, unsigned size) {
    struct tm local {};
    localtime_r(&when, &local);
    char stamp[32];
    char zone[8];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    // strftime gives +0100; ISO 8601's extended form, like the rest of the stamp, wants +01:00.
    std::snprintf(buf, size, "%s%.3s:%.2s", stamp, zone, zone + 3);
}
