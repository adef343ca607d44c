// The ports veskd took out of the network, kept across a restart of veskd: a new veskd adopts
// each one still down and releases it at the deadline the old one set. Entries are keyed by
// interface index, so they follow renames; one whose port is not there yet waits in the file
// until the port appears. /run is empty after a reboot, so a reboot starts clean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "zet/core/if.h"

struct lib_globals;

inline constexpr char VESK_STATE_PATH_DEFAULT[] = "/run/veskd/state";
// More lines than a switch has ports: those beyond are skipped.
constexpr int VESK_STATE_MAX_ENTRIES = 4096;

struct vesk_state_entry {
    uint32_t ifindex;
    char name[INTERFACE_NAMSIZ + 1];
    // Wall-clock seconds at which the port is due to be released.
    long long deadline;
    // Blocked rather than shut down.
    bool blocked;
    // A blocked port's bridge-port flags (NSM_BRPORT_*) before its block, which its unblock
    // restores; -1 where the line does not say (the bridge's defaults).
    int flags;
    // The VLAN a port was blocked in alone (its other VLANs forwarding); 0 for the whole port.
    uint16_t vid;
};

// Where the file lives; null keeps no file at all.
void vesk_state_set_path(const char *path);
// The entries of a state file's text: their count, or -1 when its first line is not veskd's
// header (then nothing is to be trusted). Any other line that is not what veskd writes, names
// an interface index a line before it named, or finds no room among max is skipped, and its
// number added to bad_lines when given. A port has at most one line for itself and one for each
// VLAN it was blocked in alone.
int vesk_state_parse(const char *text, size_t len, struct vesk_state_entry *entries, int max,
                     std::vector<int> *bad_lines);
// The line veskd writes for an entry, its end included: "shutdown IFINDEX NAME DEADLINE" or
// "block IFINDEX NAME DEADLINE", the latter followed by the flags the port had before when
// those are known and not the bridge's defaults, or by "vlan VID" for a block of that VLAN alone.
std::string vesk_state_line(const struct vesk_state_entry &e);
// Writes every port of the managed bridge that veskd has shut down or blocked, and every VLAN
// it blocked a port in alone, with its deadline, and the entries still waiting for their ports, to
// a temporary file renamed over the state file: 0, or -1 (logged).
int vesk_state_save(struct lib_globals *zg);
// Reads the state file (a bad line is logged and skipped) and adopts each port it names that
// is a port of the managed bridge under the same interface index, whatever its name now, and
// still admin down (shut down) or still locked (blocked): cut, released at its deadline (at
// once when that has passed). A VLAN blocked alone is blocked again while the port is still a
// member of it. Entries whose port is not there yet wait; ports of the bridge
// left without learning and flooding that no entry explains are logged.
void vesk_state_adopt(struct lib_globals *zg);
// After the module reported changes: waiting entries follow renames, are dropped when their
// interface goes, and are adopted when it becomes a port of the bridge; the file is rewritten
// when what it says changed (a cut port renamed or deleted, say).
void vesk_state_follow(struct lib_globals *zg);
