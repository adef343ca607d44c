// The log lines that tell of a loop event, recognised by their text: the journal gives them their
// fields and the LLDP neighbour is added to them, while the machine logs them as it always has.
#pragma once

#include <cstddef>

#include "zet/core/if.h"

enum vesk_event_line_kind : unsigned char {
    VESK_LINE_DETECTED,
    VESK_LINE_CUT,
    VESK_LINE_NOT_CUT,
    VESK_LINE_RELEASED,
    VESK_LINE_BLOCKED,
    VESK_LINE_UNBLOCKED,
    VESK_LINE_UPLINK,
};

struct vesk_event_line {
    enum vesk_event_line_kind kind;
    // What became of the port: shutdown, block, none, release, unblock or log.
    const char *action;
    char port[INTERFACE_NAMSIZ + 1];
    // Empty, and vlan 0, where the line does not name them.
    char partner[INTERFACE_NAMSIZ + 1];
    int vlan;
};

// Fills ev and gives true when line tells of a loop event.
bool vesk_event_line_parse(const char *line, struct vesk_event_line *ev);
// The kind's name: "detected", "cut", "not-cut", "released", "blocked", "unblocked", "uplink".
const char *vesk_event_line_kind_name(enum vesk_event_line_kind kind);
