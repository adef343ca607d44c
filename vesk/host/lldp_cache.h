// What lldpd knows is cabled behind each port, kept where every layer may read it: a helper
// thread (vesk/daemon/lldp.h) fills it, so that a loop's event, show and log line only ever read
// memory and never wait on lldpd.
#pragma once

#include <cstddef>

// The longest system name and port description kept; longer ones are cut.
constexpr size_t VESK_LLDP_NAME_MAX = 64;

struct vesk_lldp_neighbour {
    char system[VESK_LLDP_NAME_MAX];
    char port[VESK_LLDP_NAME_MAX];
};

// Copies the neighbour behind the interface ifname into nb: true when one is known.
bool vesk_lldp_cache_get(const char *ifname, struct vesk_lldp_neighbour *nb);
// The neighbours of every port at once, replacing what was known (count 0 forgets all).
void vesk_lldp_cache_replace(const char *const *ifnames, const struct vesk_lldp_neighbour *nbs,
                             size_t count);
