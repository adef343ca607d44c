#include "vesk/machine/api.h"

#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/history.h"
#include "vesk/model/model.h"

static unsigned long vesk_api_ifindex(const struct interface *ifp) {
    return ifp != nullptr ? ifp->ifindex : 0;
}

// Where a refused change is logged: the bridge's daemon, else the interface's.
static struct lib_globals *vesk_api_zg(const struct interface *ifp,
                                       const struct vesk_bridge *bridge) {
    if (bridge != nullptr)
        return vesk_bridge_zg(bridge);
    return ifp != nullptr && ifp->vr != nullptr ? ifp->vr->zg : nullptr;
}

static struct vesk_port *vesk_api_port(struct interface *ifp, struct vesk_bridge *bridge) {
    if (ifp == nullptr || bridge == nullptr)
        return nullptr;
    return vesk_find_port_from_bridge(ifp, bridge);
}

int vesk_api_set_setting(struct interface *ifp, struct vesk_bridge *bridge,
                         uint32_t vesk_port_settings::*field, uint32_t value, const char *what) {
    struct vesk_port *port = vesk_api_port(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(vesk_api_zg(ifp, bridge), "%s, but port %lu is not in the vesk", what,
                             vesk_api_ifindex(ifp));
        return VESK_ERR_PORT_NOT_FOUND;
    }
    port->settings.*field = value;
    return VESK_SUCCESS;
}

int vesk_api_force_up(struct interface *ifp, struct vesk_bridge *bridge) {
    struct vesk_port *port = vesk_api_port(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(vesk_api_zg(ifp, bridge),
                             "force up the interface, but port %lu is not in the vesk",
                             vesk_api_ifindex(ifp));
        return VESK_ERR_PORT_NOT_FOUND;
    }
    if (port->resume_timer.armed() || port->pstate == VESK_PORT_SHUTDOWN)
        port->release_cause = VESK_CAUSE_FORCE_UP;
    vesk_vlan_blocks_force_up(port);
    vesk_port_force_up(port);
    return VESK_SUCCESS;
}

int vesk_api_add_protect_vlan(uint16_t vid, struct interface *ifp, struct vesk_bridge *bridge) {
    struct vesk_port *port = vesk_api_port(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(vesk_api_zg(ifp, bridge),
                             "bridge %s add provlan %d, but port %lu is not in the vesk",
                             bridge != nullptr ? bridge->name : "", vid, vesk_api_ifindex(ifp));
        return VESK_ERR_PORT_NOT_FOUND;
    }
    return vesk_add_provlan_to_port(vid, port);
}

int vesk_api_remove_protect_vlan(uint16_t vid, struct interface *ifp, struct vesk_bridge *bridge) {
    struct vesk_port *port = vesk_api_port(ifp, bridge);
    if (port == nullptr) {
        VESK_DEBUG_LOG_EVENT(vesk_api_zg(ifp, bridge),
                             "bridge %s del provlan %d, but port %lu is not in the vesk",
                             bridge != nullptr ? bridge->name : "", vid, vesk_api_ifindex(ifp));
        return VESK_ERR_PORT_NOT_FOUND;
    }
    if (vid != 0)
        vesk_remove_provlan_from_port(vid, port);
    else
        vesk_remove_all_provlans(port);
    return VESK_SUCCESS;
}

static void vesk_api_enable_bridge_port(struct vesk_bridge *bridge, struct vesk_port *port) {
    vesk_enable_port(port);
    vesk_api_add_protect_vlan(1, port->ifp, bridge);
}

void vesk_api_enable_bridge(struct vesk_bridge *bridge) {
    if (bridge == nullptr)
        return;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (!port->cfg_disable)
            vesk_api_enable_bridge_port(bridge, port);
    }
}

void vesk_api_bridge_port_joined(struct vesk_bridge *bridge, struct vesk_port *port) {
    if (bridge != nullptr && port != nullptr && bridge->vesk_enable)
        vesk_api_enable_bridge_port(bridge, port);
}

void vesk_api_disable_bridge(struct vesk_bridge *bridge) {
    if (bridge == nullptr)
        return;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        port->cfg_disable = 0;
        // What the port's own enable gave stays.
        if (port->cfg_enable)
            continue;
        vesk_disable_port(port);
        vesk_api_remove_protect_vlan(1, port->ifp, bridge);
    }
}
