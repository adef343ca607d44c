#include "vesk/daemon/event_line.h"

#include <cstdlib>
#include <cstring>

namespace {

// In a pattern, %p is the port, %q its partner (both end at a space or comma) and %d the VLAN;
// what follows the pattern (held-back counts, reasons) is left.
struct vesk_line_pattern {
    const char *text;
    enum vesk_event_line_kind kind;
    const char *action;
};

constexpr vesk_line_pattern VESK_LINE_PATTERNS[] = {
    {"Detect a loop on the port %p, shut down", VESK_LINE_CUT, "shutdown"},
    {"Detect a loop on the port %p, block", VESK_LINE_BLOCKED, "block"},
    {"Detect a loop on the port %p in vlan %d, block", VESK_LINE_BLOCKED, "block"},
    {"Loop on the port %p in vlan %d not cut: the port %q it came back on ", VESK_LINE_NOT_CUT,
     "none"},
    {"Cancel a loop on the port %p, no shut down", VESK_LINE_RELEASED, "release"},
    {"%p, shut down by loop detection, was brought up from outside veskd: released",
     VESK_LINE_RELEASED, "release"},
    {"Cancel a loop on the port %p, unblock", VESK_LINE_UNBLOCKED, "unblock"},
    {"Cancel a loop on the port %p in vlan %d, unblock", VESK_LINE_UNBLOCKED, "unblock"},
    {"Uplink %p exits a loop in vlan %d behind itself, not cut", VESK_LINE_UPLINK, "log"},
    {"Uplinks %p and %q exit a loop in vlan %d between them, not cut", VESK_LINE_UPLINK, "log"},
    {"port %p connection device exits a loop in vlan %d", VESK_LINE_DETECTED, "log"},
};

// Copies a name from line into out; gives how much of line it took (0: no name).
size_t vesk_line_name(const char *line, char *out) {
    const size_t n = std::strcspn(line, " ,");
    if (n == 0 || n > INTERFACE_NAMSIZ)
        return 0;
    std::memcpy(out, line, n);
    out[n] = '\0';
    return n;
}

size_t vesk_line_number(const char *line, int *out) {
    char *end = nullptr;
    const long v = std::strtol(line, &end, 10);
    if (end == line || v < 0 || v > 4095)
        return 0;
    *out = static_cast<int>(v);
    return static_cast<size_t>(end - line);
}

bool vesk_line_match(const char *pattern, const char *line, vesk_event_line *ev) {
    while (*pattern != '\0') {
        size_t took = 1;
        if (pattern[0] == '%' && pattern[1] == 'p')
            took = vesk_line_name(line, ev->port);
        else if (pattern[0] == '%' && pattern[1] == 'q')
            took = vesk_line_name(line, ev->partner);
        else if (pattern[0] == '%' && pattern[1] == 'd')
            took = vesk_line_number(line, &ev->vlan);
        else if (*pattern != *line)
            return false;
        if (took == 0)
            return false;
        pattern += *pattern == '%' ? 2 : 1;
        line += took;
    }
    return true;
}

} // namespace

bool vesk_event_line_parse(const char *line, struct vesk_event_line *ev) {
    for (const vesk_line_pattern &p : VESK_LINE_PATTERNS) {
        *ev = {};
        if (!vesk_line_match(p.text, line, ev))
            continue;
        ev->kind = p.kind;
        ev->action = p.action;
        return true;
    }
    return false;
}

const char *vesk_event_line_kind_name(enum vesk_event_line_kind kind) {
    static constexpr const char *NAMES[] = {"detected", "cut",       "not-cut", "released",
                                            "blocked",  "unblocked", "uplink"};
    return NAMES[kind];
}
