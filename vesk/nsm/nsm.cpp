#include "vesk/nsm/nsm.h"

#include "vesk/daemon/veskd.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

#include <cstring>

namespace {

constexpr int VESK_NSM_VERSION = 1;
constexpr int VESK_NSM_SERVICE_BASE = 0;
constexpr int VESK_NSM_SERVICE_LINK = 22;
constexpr int VESK_NSM_SERVICE_VLAN = 23;
constexpr uint16_t VESK_VID_MASK = 0x0fff;

// A name field copied so that an unterminated one cannot be read past its end.
struct vesk_nsm_name {
    char text[BRIDGE_NAMSIZ + 1];
};

struct vesk_nsm_name vesk_nsm_bridge_name(const char *field) {
    struct vesk_nsm_name name = {};
    std::memcpy(name.text, field, BRIDGE_NAMSIZ);
    return name;
}

struct if_group *vesk_nsm_ifg(void *arg) {
    struct lib_globals *zg = nsm_client_globals(static_cast<struct nsm_client *>(arg));
    if (zg == nullptr)
        zg = veskm;
    return zg != nullptr ? zg->ifg : nullptr;
}

struct interface *vesk_nsm_lookup_if(void *arg, uint32_t ifindex) {
    struct if_group *ifg = vesk_nsm_ifg(arg);
    return ifg != nullptr ? ifg_lookup_by_index(ifg, ifindex) : nullptr;
}

struct vesk_bridge *vesk_nsm_bridge_one(struct vesk_master *master) {
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master);
    if (bridge == nullptr)
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s is not found", VESK_BRIDGE_NAME);
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
    struct interface *ifp = vesk_nsm_lookup_if(nullptr, ifindex);
    if (ifp != nullptr)
        vesk_port_probe(static_cast<struct vesk_port *>(ifp->info));
    return 0;
}

// One port a turn of the event loop probes at once, the others on the next turn, after the
// frames read meanwhile: in a storm a probe's send does the storm's packet work inside the call,
// for milliseconds, and the verdict on the first probe's return, with its cut, must not wait
// behind the next. A port that probes later is found again by its index, as it may be gone.
// Gives true when the port probed at once.
bool vesk_nsm_probe(struct vesk_port *port) {
    if (vesk_nsm_probed_on != veskm->master) {
        if (vesk_port_probe(port) != 0)
            return false;
        if (thread_add_timer_msec(veskm, vesk_nsm_turn_over, nullptr, 0) != nullptr)
            vesk_nsm_probed_on = veskm->master;
        return true;
    }
    auto *arg = reinterpret_cast<void *>(static_cast<uintptr_t>(port->ifindex));
    if (thread_add_timer_msec(veskm, vesk_nsm_probe_later_handle, arg, 0) == nullptr)
        zlog_err(veskm, "Port %s cannot arm its probe", port->name);
    return false;
}

struct interface *vesk_nsm_vlan_port_if(void *arg, uint32_t ifindex) {
    struct interface *ifp = vesk_nsm_lookup_if(arg, ifindex);
    if (ifp == nullptr)
        VESK_DEBUG_LOG_EVENT(veskm, "interface %lu is not in the ifg",
                             static_cast<unsigned long>(ifindex));
    return ifp;
}

uint16_t vesk_nsm_entries(const struct nsm_msg_vlan_port *msg) {
    return msg->vid_info != nullptr ? msg->num : 0;
}

// The master a bridge or VLAN message applies to, or null after logging which of the two is
// missing; the caller decides from msg what a missing one answers.
struct vesk_master *vesk_nsm_master(const void *msg, const char *null_msg,
                                    const char *null_master) {
    if (msg == nullptr) {
        VESK_DEBUG_LOG_NSM(veskm, "%s", null_msg);
        return nullptr;
    }
    struct vesk_master *master = vesk_get_master(veskm);
    if (master == nullptr)
        VESK_DEBUG_LOG_NSM(veskm, "%s", null_master);
    return master;
}

vesk_nsm_port_hook vesk_nsm_port_appeared = nullptr;
vesk_nsm_port_hook vesk_nsm_port_going = nullptr;

void vesk_nsm_tell(vesk_nsm_port_hook hook, struct vesk_port *port) {
    if (hook != nullptr && port != nullptr)
        hook(port);
}

} // namespace

void vesk_nsm_set_port_hooks(vesk_nsm_port_hook appeared, vesk_nsm_port_hook going) {
    vesk_nsm_port_appeared = appeared;
    vesk_nsm_port_going = going;
}

int vesk_nsm_init(struct lib_globals *globals) {
    struct nsm_client *nc = nsm_client_create(globals, 0);
    if (nc == nullptr)
        return -1;
    vesk_nsm_client_setup(globals, nc);
    return nsm_client_start(nc);
}

void vesk_nsm_client_setup(struct lib_globals *globals, struct nsm_client *nc) {
    nsm_client_set_version(nc, VESK_NSM_VERSION);
    nsm_client_set_protocol(nc, VESK_PROTOCOL);
    if_add_hook(globals->ifg, IF_HOOK_VR_UNBIND, vesk_nsm_if_vr_unbind);
    if_add_hook(globals->ifg, IF_HOOK_RENAME, vesk_nsm_if_rename);
    nsm_client_set_service(nc, VESK_NSM_SERVICE_LINK);
    nsm_client_set_service(nc, VESK_NSM_SERVICE_BASE);
    nsm_client_set_callback(nc, NSM_MSG_LINK_UP, vesk_nsm_recv_interface_state);
    nsm_client_set_callback(nc, NSM_MSG_LINK_DOWN, vesk_nsm_recv_interface_state);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_ADD, vesk_nsm_recv_bridge_add);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_DELETE, vesk_nsm_recv_bridge_delete);
    nsm_client_set_service(nc, VESK_NSM_SERVICE_VLAN);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_ADD_VLAN, vesk_nsm_recv_bridge_add_vlan);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_DELETE_VLAN, vesk_nsm_recv_bridge_delete_vlan);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_VLAN_ADD_IF, vesk_nsm_recv_bridge_vlan_add_if);
    nsm_client_set_callback(nc, NSM_MSG_BRIDGE_VLAN_DELETE_IF, vesk_nsm_recv_bridge_vlan_delete_if);
    nsm_client_set_callback(nc, NSM_MSG_FDB_MOVE, vesk_nsm_recv_fdb_move);
}

int vesk_nsm_recv_fdb_move(struct nsm_msg_header *, void *arg, void *message) {
    auto *msg = static_cast<struct nsm_msg_fdb_move *>(message);
    if (msg == nullptr || !vesk_fast_detect)
        return 0;
    // The port the address moved to first: behind it lies a loop of one port.
    for (uint32_t ifindex : {msg->ifindex_to, msg->ifindex_from}) {
        struct interface *ifp = vesk_nsm_lookup_if(arg, ifindex);
        auto *port = ifp != nullptr ? static_cast<struct vesk_port *>(ifp->info) : nullptr;
        if (port != nullptr && veskm != nullptr && vesk_nsm_probe(port))
            VESK_DEBUG_LOG_EVENT(
                veskm, "MAC %02x:%02x:%02x:%02x:%02x:%02x moved from %lu to %lu: port %s probes",
                msg->mac[0], msg->mac[1], msg->mac[2], msg->mac[3], msg->mac[4], msg->mac[5],
                static_cast<unsigned long>(msg->ifindex_from),
                static_cast<unsigned long>(msg->ifindex_to), port->name);
    }
    return 0;
}

int vesk_nsm_recv_interface_state(struct nsm_msg_header *header, void *arg, void *message) {
    auto *msg = static_cast<struct nsm_msg_link *>(message);
    if (header == nullptr || msg == nullptr)
        return 0;
    struct if_group *ifg = vesk_nsm_ifg(arg);
    struct interface *ifp = ifg != nullptr ? ifg_lookup_by_index(ifg, msg->ifindex) : nullptr;
    if (ifp == nullptr || ifp->vr == nullptr)
        return 0;
    bool was_up = if_is_up(ifp);
    nsm_util_interface_state(msg, ifg);
    auto *port = static_cast<struct vesk_port *>(ifp->info);
    if (port == nullptr)
        return 0;
    // A port whose frames carried an old address would never recognise them coming back.
    if ((msg->cindex & NSM_LINK_CTYPE_HW_ADDRESS) && ifp->hw_addr_len != 0)
        std::memcpy(port->mac_address, ifp->hw_addr, sizeof port->mac_address);
    if (if_is_up(ifp) == was_up)
        return 0;
    port->flags = ifp->flags;
    if (header->type == NSM_MSG_LINK_UP) {
        port->tx_type = 0;
        port->tx_count = 0;
        vesk_port_clear_all_provlan_loopflag(port);
        vesk_set_port_state(port, VESK_PORT_UP);
    } else if (header->type == NSM_MSG_LINK_DOWN) {
        vesk_set_port_state(port, VESK_PORT_DOWN);
    }
    return 0;
}

int vesk_nsm_if_vr_unbind(struct interface *ifp) {
    if (ifp == nullptr)
        return 0;
    VESK_DEBUG_LOG_NSM(veskm, "NSM: Receive interface [%s] vr unbind!", ifp->name);
    vesk_state_machine_forget(static_cast<struct vesk_port *>(ifp->info));
    struct lib_globals *zg = veskm != nullptr ? veskm : (ifp->vr ? ifp->vr->zg : nullptr);
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

int vesk_nsm_recv_bridge_add(struct nsm_msg_header *, void *, void *message) {
    auto *msg = static_cast<struct nsm_msg_bridge *>(message);
    struct vesk_master *master =
        vesk_nsm_master(msg, "Receive bridge add msg is NULL", "Receive bridge add nm is NULL");
    if (master == nullptr)
        return VESK_ERR_HANDLER;
    struct vesk_nsm_name name = vesk_nsm_bridge_name(msg->bridge_name);
    VESK_DEBUG_LOG_NSM(veskm, "Receive add bridge name %s, type %d", name.text, msg->type);
    const bool known = vesk_find_bridge_byname(master->bridge_list, name.text) != nullptr;
    struct vesk_bridge *bridge = vesk_add_bridge(master->bridge_list, name.text);
    if (bridge != nullptr)
        bridge->all_vlans = msg->type == NSM_BRIDGE_TYPE_VLAN_UNAWARE ? 1 : 0;
    // A bridge-wide enable configured before the bridge was there applies now.
    if (!known && bridge != nullptr && std::strcmp(name.text, VESK_BRIDGE_NAME) == 0)
        bridge->vesk_enable = master->kept_enable;
    return 0;
}

int vesk_nsm_recv_bridge_delete(struct nsm_msg_header *, void *, void *message) {
    auto *msg = static_cast<struct nsm_msg_bridge *>(message);
    struct vesk_master *master =
        vesk_nsm_master(msg, "Receive del bridge msg is NULL", "Receive bridge del nm is NULL");
    if (master == nullptr)
        return msg == nullptr ? VESK_ERR_HANDLER : 0;
    struct vesk_nsm_name name = vesk_nsm_bridge_name(msg->bridge_name);
    VESK_DEBUG_LOG_NSM(veskm, "Receive delete bridge name %s, type %d", name.text, msg->type);
    if (vesk_find_bridge_byname(master->bridge_list, name.text) == nullptr)
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s is not exit already", name.text);
    return 0;
}

namespace {

// The log lines that tell a VLAN add from a VLAN delete.
struct vesk_nsm_vlan_texts {
    const char *null_msg;
    const char *null_master;
    const char *verb;
};

// The bridge a VLAN message names, or null after logging why; the message is logged once the
// bridge is found.
struct vesk_bridge *vesk_nsm_vlan_bridge(const struct nsm_msg_vlan *msg,
                                         const struct vesk_nsm_vlan_texts &texts) {
    struct vesk_master *master = vesk_nsm_master(msg, texts.null_msg, texts.null_master);
    if (master == nullptr)
        return nullptr;
    struct vesk_nsm_name name = vesk_nsm_bridge_name(msg->bridge_name);
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(name.text, master);
    if (bridge == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "bridge %s is not found", name.text);
        return nullptr;
    }
    VESK_DEBUG_LOG_NSM(veskm, "Receive bridge %s %s vlan %d", name.text, texts.verb, msg->vid);
    return bridge;
}

} // namespace

int vesk_nsm_recv_bridge_add_vlan(struct nsm_msg_header *, void *, void *message) {
    auto *msg = static_cast<struct nsm_msg_vlan *>(message);
    struct vesk_bridge *bridge = vesk_nsm_vlan_bridge(
        msg, {"Receive bridge add vlan msg is NULL", "Receive bridge add vlan nm is NULL", "add"});
    if (bridge == nullptr)
        return msg == nullptr ? VESK_ERR_HANDLER : 0;
    vesk_bridge_add_vlan(bridge, msg->vid);
    return 0;
}

int vesk_nsm_recv_bridge_delete_vlan(struct nsm_msg_header *, void *, void *message) {
    auto *msg = static_cast<struct nsm_msg_vlan *>(message);
    struct vesk_bridge *bridge = vesk_nsm_vlan_bridge(
        msg, {"Receive bridge del vlan msg is NULL", "Receive bridge del vlan nm is NULL", "del"});
    if (bridge == nullptr)
        return msg == nullptr ? VESK_ERR_HANDLER : 0;
    vesk_bridge_del_vlan(bridge, msg->vid);
    return 0;
}

namespace {

// The interface a VLAN-port message names, with bridge "1" in *bridge; null after logging why.
struct interface *vesk_nsm_vlan_port_target(const struct nsm_msg_vlan_port *msg, void *arg,
                                            const char *null_msg, const char *null_master,
                                            struct vesk_bridge **bridge) {
    struct vesk_master *master = vesk_nsm_master(msg, null_msg, null_master);
    if (master == nullptr)
        return nullptr;
    *bridge = vesk_nsm_bridge_one(master);
    if (*bridge == nullptr)
        return nullptr;
    return vesk_nsm_vlan_port_if(arg, msg->ifindex);
}

} // namespace

int vesk_nsm_recv_bridge_vlan_add_if(struct nsm_msg_header *, void *arg, void *message) {
    auto *msg = static_cast<struct nsm_msg_vlan_port *>(message);
    struct vesk_bridge *bridge = nullptr;
    struct interface *ifp =
        vesk_nsm_vlan_port_target(msg, arg, "Receive bridge vlan add if msg is NULL",
                                  "Receive bridge vlan add if nm is NULL", &bridge);
    if (ifp == nullptr)
        return VESK_ERR_HANDLER;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    bool joining = port == nullptr;
    if (joining)
        port = vesk_bridge_add_port(bridge, ifp);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "interface %lu add to bridge %s failed",
                             static_cast<unsigned long>(msg->ifindex), bridge->name);
        return VESK_ERR_HANDLER;
    }
    if (joining)
        vesk_api_bridge_port_joined(bridge, port);
    uint16_t count = vesk_nsm_entries(msg);
    for (uint16_t i = 0; i < count; i++) {
        uint16_t vid = msg->vid_info[i] & VESK_VID_MASK;
        VESK_DEBUG_LOG_NSM(veskm, "Receive bridge %s vlan %d add port %s", bridge->name, vid,
                           port->name);
        vesk_bridge_vlan_add_port(bridge, vid, port);
    }
    // Its VLANs are known by now, as at a start on a finished switch, where the configuration
    // file runs after the first synchronisation.
    if (joining)
        vesk_nsm_tell(vesk_nsm_port_appeared, port);
    return 0;
}

int vesk_nsm_recv_bridge_vlan_delete_if(struct nsm_msg_header *, void *arg, void *message) {
    auto *msg = static_cast<struct nsm_msg_vlan_port *>(message);
    struct vesk_bridge *bridge = nullptr;
    struct interface *ifp =
        vesk_nsm_vlan_port_target(msg, arg, "Receive bridge vlan del if msg is NULL",
                                  "Receive bridge vlan del if nm is NULL", &bridge);
    if (ifp == nullptr)
        return VESK_ERR_HANDLER;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(veskm, "interface %lu is not in bridge %s",
                             static_cast<unsigned long>(msg->ifindex), bridge->name);
        return VESK_ERR_HANDLER;
    }
    uint16_t count = vesk_nsm_entries(msg);
    if (count == 0)
        return 0;
    for (uint16_t i = 0; i < count; i++) {
        uint16_t vid = msg->vid_info[i] & VESK_VID_MASK;
        VESK_DEBUG_LOG_NSM(veskm, "Receive bridge %s del vlan %d", bridge->name, vid);
        if (vesk_bridge_has_vlan(bridge, vid))
            vesk_bridge_vlan_del_port(vid, port);
    }
    return 0;
}
