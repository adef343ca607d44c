#include "vesk/host/lldp_cache.h"

#include <map>
#include <mutex>
#include <string>

namespace {

std::mutex vesk_lldp_mu;
std::map<std::string, vesk_lldp_neighbour> vesk_lldp_known;

} // namespace

bool vesk_lldp_cache_get(const char *ifname, struct vesk_lldp_neighbour *nb) {
    if (ifname == nullptr || *ifname == '\0')
        return false;
    std::lock_guard lock(vesk_lldp_mu);
    auto it = vesk_lldp_known.find(ifname);
    if (it == vesk_lldp_known.end())
        return false;
    *nb = it->second;
    return true;
}

void vesk_lldp_cache_replace(const char *const *ifnames, const struct vesk_lldp_neighbour *nbs,
                             size_t count) {
    std::map<std::string, vesk_lldp_neighbour> fresh;
    for (size_t i = 0; i < count; i++)
        fresh[ifnames[i]] = nbs[i];
    std::lock_guard lock(vesk_lldp_mu);
    vesk_lldp_known.swap(fresh);
}
