// Other veskd switches: a detection frame of another veskd arriving on a port means one lies
// behind that port. A frame is known by its sender's MAC and the port it names; the first of our
// ports it arrives on owns it, since the copies a loop carries round arrive on other ports too
// and prove nothing about what is cabled where.
#pragma once

#include <cstdint>
#include <vector>

constexpr unsigned VESK_NEIGHBOURS_MAX = 256;
// A neighbour is remembered for this many transmit intervals of the port it was heard on.
constexpr unsigned VESK_NEIGHBOUR_INTERVALS = 3;

struct vesk_neighbour {
    uint8_t mac[6];
    // The sender's port, as its frames name it.
    uint32_t their_ifindex;
    // Our port it lies behind.
    uint32_t port_ifindex;
    long long seen_usec;
    long long until_usec;
};

// A frame of another veskd from mac, naming its port their_ifindex, arrived on our port
// port_ifindex at now; remembered until now + keep_usec. When the table is full the entry that
// expires first gives way.
void vesk_neighbour_heard(const uint8_t *mac, uint32_t their_ifindex, uint32_t port_ifindex,
                          long long now, long long keep_usec);
// Whether another veskd lies behind the port at now; the lowest MAC of those in lowest.
bool vesk_neighbour_behind(uint32_t port_ifindex, long long now, uint8_t *lowest);
// The neighbours known at now, by our port's index and then MAC.
std::vector<struct vesk_neighbour> vesk_neighbour_list(long long now);
void vesk_neighbour_clear(void);
