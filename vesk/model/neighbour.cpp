#include "vesk/model/neighbour.h"

#include <algorithm>
#include <cstring>

namespace {

std::vector<struct vesk_neighbour> vesk_neighbours;

bool vesk_neighbour_same(const struct vesk_neighbour &n, const uint8_t *mac,
                         uint32_t their_ifindex) {
    return n.their_ifindex == their_ifindex && std::memcmp(n.mac, mac, sizeof n.mac) == 0;
}

struct vesk_neighbour *vesk_neighbour_find(const uint8_t *mac, uint32_t their_ifindex,
                                           long long now) {
    for (auto &n : vesk_neighbours)
        if (n.until_usec >= now && vesk_neighbour_same(n, mac, their_ifindex))
            return &n;
    return nullptr;
}

struct vesk_neighbour *vesk_neighbour_slot(long long now) {
    for (auto &n : vesk_neighbours)
        if (n.until_usec < now)
            return &n;
    if (vesk_neighbours.size() < VESK_NEIGHBOURS_MAX)
        return &vesk_neighbours.emplace_back();
    return &*std::min_element(vesk_neighbours.begin(), vesk_neighbours.end(),
                              [](const vesk_neighbour &a, const vesk_neighbour &b) {
                                  return a.until_usec < b.until_usec;
                              });
}

} // namespace

void vesk_neighbour_heard(const uint8_t *mac, uint32_t their_ifindex, uint32_t port_ifindex,
                          long long now, long long keep_usec) {
    struct vesk_neighbour *n = vesk_neighbour_find(mac, their_ifindex, now);
    if (n != nullptr && n->port_ifindex != port_ifindex)
        return;
    if (n == nullptr) {
        n = vesk_neighbour_slot(now);
        std::memcpy(n->mac, mac, sizeof n->mac);
        n->their_ifindex = their_ifindex;
        n->port_ifindex = port_ifindex;
    }
    n->seen_usec = now;
    n->until_usec = now + keep_usec;
}

bool vesk_neighbour_behind(uint32_t port_ifindex, long long now, uint8_t *lowest) {
    bool found = false;
    for (const auto &n : vesk_neighbours) {
        if (n.port_ifindex != port_ifindex || n.until_usec < now)
            continue;
        if (!found || std::memcmp(n.mac, lowest, sizeof n.mac) < 0)
            std::memcpy(lowest, n.mac, sizeof n.mac);
        found = true;
    }
    return found;
}

std::vector<struct vesk_neighbour> vesk_neighbour_list(long long now) {
    std::vector<struct vesk_neighbour> list;
    for (const auto &n : vesk_neighbours)
        if (n.until_usec >= now)
            list.push_back(n);
    std::sort(list.begin(), list.end(), [](const vesk_neighbour &a, const vesk_neighbour &b) {
        if (a.port_ifindex != b.port_ifindex)
            return a.port_ifindex < b.port_ifindex;
        int c = std::memcmp(a.mac, b.mac, sizeof a.mac);
        return c != 0 ? c < 0 : a.their_ifindex < b.their_ifindex;
    });
    return list;
}

void vesk_neighbour_clear(void) {
    vesk_neighbours.clear();
}
