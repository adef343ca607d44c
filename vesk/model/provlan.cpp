#include "vesk/model/provlan.h"

#include "vesk/daemon/veskd.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/port.h"
#include "vesk/model/result.h"

namespace {

struct vesk_provlan *vesk_new_provlan(uint16_t vid, struct vesk_port *port, uint32_t in_vlan) {
    auto *entry = static_cast<struct vesk_provlan *>(
        mfh_calloc(MTYPE_VESK_PROVLAN, sizeof(struct vesk_provlan)));
    if (entry == nullptr)
        return nullptr;
    entry->vid = vid;
    entry->in_vlan = in_vlan;
    if (listnode_add(port->provlan_info, entry) == nullptr) {
        vesk_free_protect_vlan(entry);
        return nullptr;
    }
    port->provlan_count++;
    if (in_vlan != 0)
        port->active_provlan_count++;
    return entry;
}

// Starts the machine when the port gains its first active entry; a further one gets a fast
// start of its own (the others are not sent again), unless the port is shut down or about to
// resume.
void vesk_provlan_gained(struct vesk_port *port, unsigned old_active, struct vesk_provlan *entry) {
    const unsigned now = port->active_provlan_count;
    if (old_active == 0 && now == 1) {
        port->vesk_enable = 1;
        vesk_model_tell_machine(port, VESK_MACHINE_START);
        return;
    }
    if (now < 2 || now == old_active)
        return;
    if (entry == nullptr || vesk_port_is_cut(port) || port->resume_timer != nullptr)
        return;
    entry->fast_left = VESK_TX_UP_COUNT;
    vesk_model_tell_machine(port, VESK_MACHINE_VLAN_GAINED);
}

// Deactivates entry and, when unlink is set, removes it; then stops the machine when no active
// entry is left, or lets a shut-down port resume soon when its looped VLAN went.
int vesk_provlan_leave(uint16_t vid, struct vesk_port *port, int remove, bool unlink) {
    struct vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
    if (entry == nullptr)
        return 0;
    if (remove == 0 && entry->in_vlan == 0)
        return 0;
    const bool was_loop = entry->is_loop != 0;
    if (was_loop) {
        entry->is_loop = 0;
        if (port->loop_vlan_count > 0)
            port->loop_vlan_count--;
    }
    if (entry->in_vlan != 0) {
        entry->in_vlan = 0;
        if (port->active_provlan_count > 0)
            port->active_provlan_count--;
    }
    if (unlink && remove != 0) {
        listnode_delete(port->provlan_info, entry);
        port->provlan_count--;
        vesk_free_protect_vlan(entry);
    }
    if (port->active_provlan_count == 0) {
        port->vesk_enable = 0;
        vesk_model_tell_machine(port, VESK_MACHINE_STOP);
        return 0;
    }
    if (was_loop && vesk_port_is_cut(port))
        vesk_model_tell_machine(port, VESK_MACHINE_RESUME_SOON);
    return 0;
}

} // namespace

struct vesk_provlan *vesk_find_provlan_from_port(uint16_t vid, struct vesk_port *port) {
    if (port == nullptr || port->provlan_count == 0)
        return nullptr;
    for (struct listnode *node = listhead(port->provlan_info); node != nullptr;
         node = listnextnode(node)) {
        auto *entry = static_cast<struct vesk_provlan *>(listgetdata(node));
        if (entry != nullptr && entry->vid == vid)
            return entry;
    }
    return nullptr;
}

int vesk_check_protect_vlan_count(struct vesk_port *port) {
    return port != nullptr && port->provlan_count < VESK_MAX_PROVLAN ? 1 : 0;
}

int vesk_add_provlan_to_port(struct vesk_provlan *entry, uint16_t vid, struct vesk_port *port,
                             uint32_t in_vlan) {
    if (port == nullptr || port->provlan_info == nullptr)
        return VESK_ERR_ARG;
    const unsigned old_active = port->active_provlan_count;
    // One entry per VLAN, whatever the caller looked up.
    if (entry == nullptr)
        entry = vesk_find_provlan_from_port(vid, port);
    if (entry == nullptr) {
        if (vesk_check_protect_vlan_count(port) == 0)
            return VESK_ERR_PROVLAN_LIMIT;
        entry = vesk_new_provlan(vid, port, in_vlan != 0 ? 1 : 0);
        if (entry == nullptr)
            return VESK_ERR_PROVLAN_NOMEM;
    } else {
        if (in_vlan == 0)
            return VESK_SUCCESS;
        if (entry->in_vlan == 0) {
            entry->in_vlan = 1;
            port->active_provlan_count++;
        }
    }
    vesk_provlan_gained(port, old_active, entry);
    return VESK_SUCCESS;
}

int vesk_remove_provlan_from_port(uint16_t vid, struct vesk_port *port, int remove) {
    return vesk_provlan_leave(vid, port, remove, true);
}

int vesk_remove_allprovlan_from_port(uint16_t vid, struct vesk_port *port, int force) {
    return vesk_provlan_leave(vid, port, force, false);
}

void vesk_port_clear_all_provlan_loopflag(struct vesk_port *port) {
    if (port == nullptr || port->bridge == nullptr)
        return;
    if (vesk_find_port_from_bridge(port->ifp, port->bridge) != port)
        return;
    if (port->loop_vlan_count == 0)
        return;
    VESK_DEBUG_LOG_EVENT(veskm, "Port %s has %d num loop vlan, clear all", port->name,
                         port->loop_vlan_count);
    for (struct listnode *node = listhead(port->provlan_info); node != nullptr;
         node = listnextnode(node)) {
        auto *entry = static_cast<struct vesk_provlan *>(listgetdata(node));
        if (entry != nullptr)
            entry->is_loop = 0;
    }
    port->loop_vlan_count = 0;
}

void vesk_free_protect_vlan(void *entry) {
    pal_mem_free(MTYPE_VESK_PROVLAN, entry);
}
