#include "vesk/model/port.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/bridge.h"
#include "vesk/model/master.h"
#include "vesk/model/provlan.h"

namespace {

vesk_machine_hook vesk_machine_hook_registered = nullptr;

} // namespace

void vesk_model_set_machine_hook(vesk_machine_hook hook) {
    vesk_machine_hook_registered = hook;
}

void vesk_model_tell_machine(struct vesk_port *port, enum vesk_machine_request request) {
    if (vesk_machine_hook_registered != nullptr)
        vesk_machine_hook_registered(port, request);
}

int vsek_interface_cmp(void *a, void *b) {
    const auto *pa = static_cast<const struct vesk_port *>(a);
    const auto *pb = static_cast<const struct vesk_port *>(b);
    return ifname_cmp3(pa->ifp->name, pb->ifp->name);
}

struct vesk_port *vesk_port_from_ifindex(struct lib_globals *handle, uint32_t ifindex) {
    struct ovx_vr *vr = ovx_vr_get_privileged(handle);
    if (vr == nullptr)
        return nullptr;
    struct interface *ifp = if_lookup_by_index(vr->ifm, ifindex);
    return ifp == nullptr ? nullptr : static_cast<struct vesk_port *>(ifp->info);
}

struct vesk_port *vesk_find_port_from_bridge(struct interface *ifp, struct vesk_bridge *bridge) {
    if (ifp == nullptr || bridge == nullptr)
        return nullptr;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (port->ifindex == ifp->ifindex)
            return port;
    }
    return nullptr;
}

namespace {

// Puts port into the bridge's order: after every port whose name sorts before or equal to its
// own, so ports of equal names keep the order they came in.
void vesk_bridge_place_port(struct vesk_bridge *bridge, std::unique_ptr<struct vesk_port> port) {
    auto at = std::upper_bound(
        bridge->ports.begin(), bridge->ports.end(), port,
        [](const auto &a, const auto &b) { return vsek_interface_cmp(a.get(), b.get()) < 0; });
    bridge->ports.insert(at, std::move(port));
}

// Takes port out of the bridge and gives it to the caller.
std::unique_ptr<struct vesk_port> vesk_bridge_take_port(struct vesk_bridge *bridge,
                                                        struct vesk_port *port) {
    auto at = std::find_if(bridge->ports.begin(), bridge->ports.end(),
                           [port](const auto &p) { return p.get() == port; });
    if (at == bridge->ports.end())
        return nullptr;
    std::unique_ptr<struct vesk_port> taken = std::move(*at);
    bridge->ports.erase(at);
    return taken;
}

// A port with its defaults, linked with ifp.
struct vesk_port *vesk_new_port(struct vesk_bridge *bridge, struct interface *ifp) {
    auto *port = new vesk_port{};
    port->bridge = bridge;
    port->ifp = ifp;
    port->ifindex = ifp->ifindex;
    std::memcpy(port->name, ifp->name, sizeof port->name);
    port->name[INTERFACE_NAMSIZ] = '\0';
    std::memcpy(port->mac_address, ifp->hw_addr, sizeof port->mac_address);
    port->flags = ifp->flags;
    port->pstate = VESK_PORT_DOWN;
    port->mstate = SMS_INITIALIZE;
    port->tx_up_time = VESK_TX_UP_TIME_DEFAULT;
    return port;
}

} // namespace

bool vesk_port_name_ok(const char *name) {
    size_t n = std::strlen(name);
    if (n == 0 || n > INTERFACE_NAMSIZ)
        return false;
    for (size_t i = 0; i < n; i++)
        if (name[i] <= ' ' || name[i] > '~')
            return false;
    return true;
}

bool vesk_port_in_vlan(const struct vesk_port *port, uint16_t vid) {
    return port->vlans.contains(vid);
}

struct lib_globals *vesk_port_zg(const struct vesk_port *port) {
    return port != nullptr ? vesk_bridge_zg(port->bridge) : nullptr;
}

bool vesk_port_is_cut(const struct vesk_port *port) {
    return port->pstate == VESK_PORT_SHUTDOWN || port->pstate == VESK_PORT_BLOCKED;
}

struct vesk_port *vesk_bridge_add_port(struct vesk_bridge *bridge, struct interface *ifp) {
    if (bridge == nullptr || ifp == nullptr)
        return nullptr;
    const unsigned long ifindex = ifp->ifindex;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port != nullptr) {
        VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "port %lu is in bridge %s already", ifindex,
                             bridge->name);
        return port;
    }
    port = vesk_new_port(bridge, ifp);
    vesk_bridge_place_port(bridge, std::unique_ptr<struct vesk_port>(port));
    ifp->info = port;
    std::memcpy(ifp->bridge_name, bridge->name, sizeof ifp->bridge_name);
    VESK_DEBUG_LOG_EVENT(vesk_bridge_zg(bridge), "port %lu add to bridge %s", ifindex,
                         bridge->name);
    return port;
}

void vesk_port_follow_name(struct vesk_port *port) {
    if (port == nullptr || port->ifp == nullptr)
        return;
    std::memcpy(port->name, port->ifp->name, sizeof port->name);
    port->name[INTERFACE_NAMSIZ] = '\0';
    if (port->bridge != nullptr)
        vesk_bridge_place_port(port->bridge, vesk_bridge_take_port(port->bridge, port));
}

int vesk_remove_port_from_bridge(struct interface *ifp, const char *bridge_name) {
    if (bridge_name == nullptr || ifp == nullptr)
        return VESK_ERR_ARG;
    if (ifp->vr == nullptr)
        return VESK_SUCCESS;
    auto *master = static_cast<struct vesk_master *>(ifp->vr->proto);
    struct vesk_bridge *bridge = vesk_find_bridge_from_master(bridge_name, master);
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port == nullptr)
        return VESK_SUCCESS;
    vesk_model_tell_machine(port, VESK_MACHINE_STOP);
    if (port->ifp != nullptr && port->ifp->info == port)
        port->ifp->info = nullptr;
    if (ifp->info == port)
        ifp->info = nullptr;
    vesk_bridge_take_port(bridge, port);
    return VESK_SUCCESS;
}

int vesk_port_is_running(struct vesk_port *port) {
    return port != nullptr && if_flags_up(port->flags) ? 1 : 0;
}

void (*vesk_port_state_listener)(struct lib_globals *zg);

void vesk_port_state_changed(const struct vesk_port *port) {
    if (vesk_port_state_listener != nullptr)
        vesk_port_state_listener(vesk_port_zg(port));
}
