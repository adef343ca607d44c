// The ports veskd took out of the network, kept across a restart of veskd: a new veskd adopts
// each one still down and releases it at the deadline the old one set. /run is empty after a
// reboot, so a reboot starts clean.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zet/core/if.h"

struct lib_globals;

inline constexpr char VESK_STATE_PATH_DEFAULT[] = "/run/veskd/state";
// More lines than a switch has ports make the file foreign.
constexpr int VESK_STATE_MAX_ENTRIES = 4096;

struct vesk_state_entry {
    uint32_t ifindex;
    char name[INTERFACE_NAMSIZ + 1];
    // Wall-clock seconds at which the port is due to be released.
    long long deadline;
    // Blocked rather than shut down.
    bool blocked;
};

// Where the file lives; null keeps no file at all.
void vesk_state_set_path(const char *path);
const char *vesk_state_path(void);
// The entries of a state file's text: their count, or -1 when any line is not what veskd
// writes (then *bad_line, when given, is its number and nothing is to be trusted).
int vesk_state_parse(const char *text, size_t len, struct vesk_state_entry *entries, int max,
                     int *bad_line);
// Writes every port of the managed bridge that veskd has shut down or blocked, with its deadline,
// to a temporary file renamed over the state file: 0, or -1 (logged).
int vesk_state_save(struct lib_globals *zg);
// Reads the state file and adopts each port it names that is still a port of the managed bridge
// under the same name and still admin down: shut down, released at its deadline (at once when
// that has passed). Gives the number adopted; a missing file is none, a bad one is logged and
// ignored.
int vesk_state_adopt(struct lib_globals *zg);
