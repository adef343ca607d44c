#include "vesk/nsm/nsm.h"

#include "vesk/daemon/daemon.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/history.h"
#include "vesk/model/model.h"

#include <cstring>

namespace {

constexpr int VESK_NSM_SERVICE_BASE = 0;
constexpr int VESK_NSM_SERVICE_LINK = 22;
constexpr int VESK_NSM_SERVICE_VLAN = 23;

struct interface *vesk_nsm_lookup_if(struct lib_globals *zg, uint32_t ifindex) {
    return ifg_lookup_by_index(zg->ifg, ifindex);
}

struct vesk_bridge *vesk_nsm_bridge_one(struct lib_globals *zg, struct vesk_master *master) {
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master);
    if (bridge == nullptr)
        VESK_DEBUG_LOG_EVENT(zg, "bridge %s is not found", VESK_BRIDGE_NAME);
    return bridge;
}

// The loop on whose current turn a port probed at once, or null; the next turn clears it. A
// loop freed before that turn (a stop, a test) leaves it set, which costs one probe a turn.
const struct thread_master *vesk_nsm_probed_on = nullptr;

int vesk_nsm_turn_over(struct thread *) {
    vesk_nsm_probed_on = nullptr;
    return 0;
}

int vesk_nsm_probe_later_handle(struct thread *t) {
    const auto ifindex = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(THREAD_ARG(t)));
    struct interface *ifp = vesk_nsm_lookup_if(THREAD_GLOB(t), ifindex);
    if (ifp != nullptr)
        vesk_port_probe(static_cast<struct vesk_port *>(ifp->info));
    return 0;
}

// One port a turn of the event loop probes at once, the others on the next turn, after the
// frames read meanwhile: in a storm a probe's send does the storm's packet work inside the call,
// for milliseconds, and the verdict on the first probe's return, with its cut, must not wait
// behind the next. A port that probes later is found again by its index, as it may be gone.
// Gives true when the port probed at once.
bool vesk_nsm_probe(struct lib_globals *zg, struct vesk_port *port) {
    if (vesk_nsm_probed_on != zg->master) {
        if (vesk_port_probe(port) != 0)
            return false;
        if (thread_add_timer_msec(zg, vesk_nsm_turn_over, nullptr, 0) != nullptr)
            vesk_nsm_probed_on = zg->master;
        return true;
    }
    auto *arg = reinterpret_cast<void *>(static_cast<uintptr_t>(port->ifindex));
    if (thread_add_timer_msec(zg, vesk_nsm_probe_later_handle, arg, 0) == nullptr)
        zlog_err(zg, "Port %s cannot arm its probe", port->name);
    return false;
}

struct interface *vesk_nsm_vlan_port_if(struct lib_globals *zg, uint32_t ifindex) {
    struct interface *ifp = vesk_nsm_lookup_if(zg, ifindex);
    if (ifp == nullptr)
        VESK_DEBUG_LOG_EVENT(zg, "interface %lu is not in the ifg",
                             static_cast<unsigned long>(ifindex));
    return ifp;
}

// The master of the bridges, or null after saying so in the words of the change.
struct vesk_master *vesk_nsm_master(struct lib_globals *zg, const char *null_master) {
    struct vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        VESK_DEBUG_LOG_NSM(zg, "%s", null_master);
    return master;
}

vesk_nsm_port_hook vesk_nsm_port_appeared = nullptr;
vesk_nsm_port_hook vesk_nsm_port_going = nullptr;

void vesk_nsm_tell(vesk_nsm_port_hook hook, struct vesk_port *port) {
    if (hook != nullptr && port != nullptr)
        hook(port);
}

// A bridge that stops filtering VLANs forwards every VLAN whatever their port states: the
// blocks of single VLANs are lifted (or they would be left for when it filters again), and a
// loop still there is cut as on any VLAN-unaware bridge.
void vesk_nsm_release_vlan_blocks(struct vesk_bridge *bridge) {
    for (const auto &port : bridge->ports)
        vesk_vlan_blocks_release(port.get(), VESK_CAUSE_DISABLED);
}

} // namespace

void vesk_nsm_set_port_hooks(vesk_nsm_port_hook appeared, vesk_nsm_port_hook going) {
    vesk_nsm_port_appeared = appeared;
    vesk_nsm_port_going = going;
}

void vesk_nsm_client_setup(struct lib_globals *globals, struct nsm_client *nc) {
    nsm_client_set_protocol(nc, VESK_PROTOCOL);
    if_add_hook(globals->ifg, IF_HOOK_VR_UNBIND, vesk_nsm_if_vr_unbind);
    if_add_hook(globals->ifg, IF_HOOK_RENAME, vesk_nsm_if_rename);
    for (int service : {VESK_NSM_SERVICE_LINK, VESK_NSM_SERVICE_BASE, VESK_NSM_SERVICE_VLAN})
        nsm_client_set_service(nc, service);
    nsm_client_set_events(nc, {vesk_nsm_bridge_added, vesk_nsm_bridge_deleted, vesk_nsm_vlan_added,
                               vesk_nsm_vlan_deleted, vesk_nsm_port_vlans_added,
                               vesk_nsm_port_vlans_deleted, vesk_nsm_link, vesk_nsm_fdb_move,
                               vesk_nsm_port_vlan_forwarding});
}

void vesk_nsm_port_vlan_forwarding(struct lib_globals *zg, uint32_t ifindex, uint16_t vid,
                                   bool forwarding) {
    struct interface *ifp = vesk_nsm_lookup_if(zg, ifindex);
    auto *port = ifp != nullptr ? static_cast<struct vesk_port *>(ifp->info) : nullptr;
    if (port == nullptr)
        return;
    if (!forwarding) {
        port->stp_vlans.insert(vid);
        return;
    }
    if (port->stp_vlans.erase(vid) == 0)
        return;
    struct vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
    if (entry == nullptr || !vesk_provlan_active(port, *entry) || port->mstate != SMS_WAIT_TX)
        return;
    entry->fast_left = VESK_TX_UP_COUNT;
    entry->is_loop = 0;
    vesk_model_tell_machine(port, VESK_MACHINE_VLAN_GAINED);
}

void vesk_nsm_fdb_move(struct lib_globals *zg, const struct nsm_msg_fdb_move &move) {
    const struct vesk_daemon *d = vesk_daemon_of(zg);
    if (d == nullptr || !d->fast_detect)
        return;
    // The port the address moved to first: behind it lies a loop of one port.
    for (uint32_t ifindex : {move.ifindex_to, move.ifindex_from}) {
        struct interface *ifp = vesk_nsm_lookup_if(zg, ifindex);
        auto *port = ifp != nullptr ? static_cast<struct vesk_port *>(ifp->info) : nullptr;
        if (port != nullptr && vesk_nsm_probe(zg, port))
            VESK_DEBUG_LOG_EVENT(
                zg, "MAC %02x:%02x:%02x:%02x:%02x:%02x moved from %lu to %lu: port %s probes",
                move.mac[0], move.mac[1], move.mac[2], move.mac[3], move.mac[4], move.mac[5],
                static_cast<unsigned long>(move.ifindex_from),
                static_cast<unsigned long>(move.ifindex_to), port->name);
    }
}

void vesk_nsm_link(struct lib_globals *zg, uint32_t ifindex, bool was_up, bool new_address) {
    struct interface *ifp = vesk_nsm_lookup_if(zg, ifindex);
    auto *port =
        ifp != nullptr && ifp->vr != nullptr ? static_cast<struct vesk_port *>(ifp->info) : nullptr;
    if (port == nullptr)
        return;
    // A port whose frames carried an old address would never recognise them coming back.
    if (new_address && ifp->hw_addr_len != 0)
        std::memcpy(port->mac_address, ifp->hw_addr, sizeof port->mac_address);
    if (if_is_up(ifp) == was_up)
        return;
    port->flags = ifp->flags;
    if (!was_up) {
        port->tx_type = 0;
        port->tx_count = 0;
        vesk_port_clear_all_provlan_loopflag(port);
        vesk_set_port_state(port, VESK_PORT_UP);
    } else {
        vesk_set_port_state(port, VESK_PORT_DOWN);
    }
}

int vesk_nsm_if_vr_unbind(struct interface *ifp) {
    if (ifp == nullptr)
        return 0;
    struct lib_globals *zg = ifp->vr != nullptr ? ifp->vr->zg : nullptr;
    VESK_DEBUG_LOG_NSM(zg, "NSM: Receive interface [%s] vr unbind!", ifp->name);
    vesk_state_machine_forget(static_cast<struct vesk_port *>(ifp->info));
    if (zg == nullptr || ifg_lookup_by_index(zg->ifg, ifp->ifindex) == nullptr)
        return 0;
    vesk_nsm_tell(vesk_nsm_port_going, static_cast<struct vesk_port *>(ifp->info));
    vesk_remove_port_from_bridge(ifp, ifp->bridge_name);
    return 0;
}

int vesk_nsm_if_rename(struct interface *ifp) {
    auto *port = ifp != nullptr ? static_cast<struct vesk_port *>(ifp->info) : nullptr;
    if (port == nullptr)
        return 0;
    vesk_port_follow_name(port);
    vesk_nsm_tell(vesk_nsm_port_appeared, port);
    return 0;
}

void vesk_nsm_bridge_added(struct lib_globals *zg, const char *name, uint8_t type) {
    struct vesk_master *master = vesk_nsm_master(zg, "Receive bridge add nm is NULL");
    if (master == nullptr)
        return;
    VESK_DEBUG_LOG_NSM(zg, "Receive add bridge name %s, type %d", name, type);
    const bool known = vesk_find_bridge_from_master(name, master) != nullptr;
    struct vesk_bridge *bridge = vesk_add_bridge(master, name);
    if (bridge != nullptr)
        bridge->all_vlans = type == NSM_BRIDGE_TYPE_VLAN_UNAWARE ? 1 : 0;
    if (bridge != nullptr && bridge->all_vlans)
        vesk_nsm_release_vlan_blocks(bridge);
    // A bridge-wide enable configured before the bridge was there applies now.
    if (!known && bridge != nullptr && std::strcmp(name, VESK_BRIDGE_NAME) == 0)
        bridge->vesk_enable = master->kept_enable;
}

// A bridge that goes keeps its record: its ports go with their interfaces.
void vesk_nsm_bridge_deleted(struct lib_globals *zg, const char *name, uint8_t type) {
    struct vesk_master *master = vesk_nsm_master(zg, "Receive bridge del nm is NULL");
    if (master == nullptr)
        return;
    VESK_DEBUG_LOG_NSM(zg, "Receive delete bridge name %s, type %d", name, type);
    if (vesk_find_bridge_from_master(name, master) == nullptr)
        VESK_DEBUG_LOG_EVENT(zg, "bridge %s is not exit already", name);
}

namespace {

// The bridge a VLAN change names, or null after logging why; the change is logged once the
// bridge is found.
struct vesk_bridge *vesk_nsm_vlan_bridge(struct lib_globals *zg, const char *name, uint16_t vid,
                                         const char *null_master, const char *verb) {
    struct vesk_master *master = vesk_nsm_master(zg, null_master);
    if (master == nullptr)
        return nullptr;
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(name, master);
    if (bridge == nullptr) {
        VESK_DEBUG_LOG_EVENT(zg, "bridge %s is not found", name);
        return nullptr;
    }
    VESK_DEBUG_LOG_NSM(zg, "Receive bridge %s %s vlan %d", name, verb, vid);
    return bridge;
}

// The interface a VLAN-port change names, with bridge "1" in *bridge; null after logging why.
struct interface *vesk_nsm_vlan_port_target(struct lib_globals *zg, uint32_t ifindex,
                                            const char *null_master, struct vesk_bridge **bridge) {
    struct vesk_master *master = vesk_nsm_master(zg, null_master);
    if (master == nullptr)
        return nullptr;
    *bridge = vesk_nsm_bridge_one(zg, master);
    if (*bridge == nullptr)
        return nullptr;
    return vesk_nsm_vlan_port_if(zg, ifindex);
}

} // namespace

void vesk_nsm_vlan_added(struct lib_globals *zg, const char *bridge_name, uint16_t vid) {
    struct vesk_bridge *bridge =
        vesk_nsm_vlan_bridge(zg, bridge_name, vid, "Receive bridge add vlan nm is NULL", "add");
    if (bridge != nullptr)
        vesk_bridge_add_vlan(bridge, vid);
}

void vesk_nsm_vlan_deleted(struct lib_globals *zg, const char *bridge_name, uint16_t vid) {
    struct vesk_bridge *bridge =
        vesk_nsm_vlan_bridge(zg, bridge_name, vid, "Receive bridge del vlan nm is NULL", "del");
    if (bridge == nullptr)
        return;
    for (struct vesk_port *port : vesk_bridge_vlan_members(bridge, vid))
        vesk_vlan_blocks_forget(port, vid);
    vesk_bridge_del_vlan(bridge, vid);
}

void vesk_nsm_port_vlans_added(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                               size_t count) {
    struct vesk_bridge *bridge = nullptr;
    struct interface *ifp =
        vesk_nsm_vlan_port_target(zg, ifindex, "Receive bridge vlan add if nm is NULL", &bridge);
    if (ifp == nullptr)
        return;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    bool joining = port == nullptr;
    if (joining)
        port = vesk_bridge_add_port(bridge, ifp);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(zg, "interface %lu add to bridge %s failed",
                             static_cast<unsigned long>(ifindex), bridge->name);
        return;
    }
    if (joining)
        vesk_api_bridge_port_joined(bridge, port);
    for (size_t i = 0; i < count; i++) {
        VESK_DEBUG_LOG_NSM(zg, "Receive bridge %s vlan %d add port %s", bridge->name, vids[i],
                           port->name);
        vesk_bridge_vlan_add_port(bridge, vids[i], port);
    }
    // Its VLANs are known by now, as at a start on a finished switch, where the configuration
    // file runs after the first synchronisation.
    if (joining)
        vesk_nsm_tell(vesk_nsm_port_appeared, port);
}

void vesk_nsm_port_vlans_deleted(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                                 size_t count) {
    struct vesk_bridge *bridge = nullptr;
    struct interface *ifp =
        vesk_nsm_vlan_port_target(zg, ifindex, "Receive bridge vlan del if nm is NULL", &bridge);
    if (ifp == nullptr)
        return;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(zg, "interface %lu is not in bridge %s",
                             static_cast<unsigned long>(ifindex), bridge->name);
        return;
    }
    for (size_t i = 0; i < count; i++) {
        VESK_DEBUG_LOG_NSM(zg, "Receive bridge %s del vlan %d", bridge->name, vids[i]);
        vesk_bridge_vlan_del_port(vids[i], port);
        vesk_vlan_blocks_forget(port, vids[i]);
    }
}
