#include "vesk/model/provlan.h"

#include <algorithm>

#include "vesk/host/debug_flags.h"
#include "vesk/model/bridge.h"
#include "vesk/model/port.h"
#include "vesk/model/result.h"

namespace {

// Starts the machine when the port gains its first active entry; a further one gets a fast
// start of its own (the others are not sent again), unless the port is shut down or about to
// resume.
void vesk_provlan_gained(struct vesk_port *port, unsigned old_active, struct vesk_provlan *entry) {
    const unsigned now = vesk_port_active_provlan_count(port);
    if (old_active == 0 && now == 1) {
        port->vesk_enable = 1;
        vesk_model_tell_machine(port, VESK_MACHINE_START);
        return;
    }
    if (now < 2 || now == old_active)
        return;
    if (vesk_port_is_cut(port) || port->resume_timer.armed())
        return;
    entry->fast_left = VESK_TX_UP_COUNT;
    vesk_model_tell_machine(port, VESK_MACHINE_VLAN_GAINED);
}

// After an entry went inactive or away: stops the machine when no active entry is left, or lets
// a cut port resume soon when its looped VLAN went.
void vesk_provlan_lost(struct vesk_port *port, bool was_loop) {
    if (vesk_port_active_provlan_count(port) == 0) {
        port->vesk_enable = 0;
        vesk_model_tell_machine(port, VESK_MACHINE_STOP);
        return;
    }
    if (was_loop && vesk_port_is_cut(port))
        vesk_model_tell_machine(port, VESK_MACHINE_RESUME_SOON);
}

} // namespace

std::vector<const struct vesk_provlan *> vesk_port_provlans_in_order(const struct vesk_port *port) {
    std::vector<const struct vesk_provlan *> entries;
    for (const auto &[vid, entry] : port->provlans)
        entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(),
              [](const vesk_provlan *a, const vesk_provlan *b) { return a->added < b->added; });
    return entries;
}

std::vector<struct vesk_provlan *> vesk_port_provlans_in_order(struct vesk_port *port) {
    std::vector<struct vesk_provlan *> entries;
    for (const struct vesk_provlan *entry :
         vesk_port_provlans_in_order(static_cast<const struct vesk_port *>(port)))
        entries.push_back(&port->provlans.at(entry->vid));
    return entries;
}

struct vesk_provlan *vesk_find_provlan_from_port(uint16_t vid, struct vesk_port *port) {
    if (port == nullptr)
        return nullptr;
    auto it = port->provlans.find(vid);
    return it != port->provlans.end() ? &it->second : nullptr;
}

bool vesk_provlan_active(const struct vesk_port *port, const struct vesk_provlan &entry) {
    return vesk_port_in_vlan(port, entry.vid);
}

unsigned vesk_port_provlan_count(const struct vesk_port *port) {
    return static_cast<unsigned>(port->provlans.size());
}

unsigned vesk_port_active_provlan_count(const struct vesk_port *port) {
    unsigned count = 0;
    for (const auto &[vid, entry] : port->provlans)
        count += vesk_provlan_active(port, entry) ? 1 : 0;
    return count;
}

unsigned vesk_port_loop_vlan_count(const struct vesk_port *port) {
    unsigned count = 0;
    for (const auto &[vid, entry] : port->provlans)
        count += entry.is_loop != 0 ? 1 : 0;
    return count;
}

int vesk_add_provlan_to_port(uint16_t vid, struct vesk_port *port) {
    if (port->provlans.contains(vid))
        return VESK_SUCCESS;
    if (port->provlans.size() >= VESK_MAX_PROVLAN)
        return VESK_ERR_PROVLAN_LIMIT;
    const unsigned old_active = vesk_port_active_provlan_count(port);
    struct vesk_provlan &entry = port->provlans[vid];
    entry.vid = vid;
    entry.added = port->provlans_added++;
    vesk_provlan_gained(port, old_active, &entry);
    return VESK_SUCCESS;
}

void vesk_remove_provlan_from_port(uint16_t vid, struct vesk_port *port) {
    auto it = port->provlans.find(vid);
    if (it == port->provlans.end())
        return;
    const bool was_loop = it->second.is_loop != 0;
    port->provlans.erase(it);
    vesk_provlan_lost(port, was_loop);
}

void vesk_remove_all_provlans(struct vesk_port *port) {
    for (struct vesk_provlan *entry : vesk_port_provlans_in_order(port))
        vesk_remove_provlan_from_port(entry->vid, port);
}

void vesk_provlan_vlan_joined(struct vesk_port *port, uint16_t vid, unsigned old_active) {
    struct vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
    if (entry != nullptr)
        vesk_provlan_gained(port, old_active, entry);
}

void vesk_provlan_vlan_left(struct vesk_port *port, uint16_t vid) {
    struct vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
    if (entry == nullptr)
        return;
    const bool was_loop = entry->is_loop != 0;
    entry->is_loop = 0;
    vesk_provlan_lost(port, was_loop);
}

void vesk_port_clear_all_provlan_loopflag(struct vesk_port *port) {
    if (port == nullptr || port->bridge == nullptr)
        return;
    if (vesk_find_port_from_bridge(port->ifp, port->bridge) != port)
        return;
    const unsigned loops = vesk_port_loop_vlan_count(port);
    if (loops == 0)
        return;
    VESK_DEBUG_LOG_EVENT(vesk_port_zg(port), "Port %s has %d num loop vlan, clear all", port->name,
                         static_cast<int>(loops));
    for (auto &[vid, entry] : port->provlans)
        entry.is_loop = 0;
}
