// Changes the network services module reports (bridges, VLANs, VLAN membership, links, MAC
// moves) build the model and drive the port states.
#pragma once

#include <cstddef>
#include <cstdint>

struct interface;
struct lib_globals;
struct nsm_client;
struct nsm_msg_fdb_move;
struct vesk_port;

// Gives a client, before it starts, the protocol, services, the interface unbind and rename
// hooks and the change callbacks. Tests that bring their own client (a small receive buffer, no
// start) set it up through this too.
void vesk_nsm_client_setup(struct lib_globals *globals, struct nsm_client *nc);

// The change callbacks (struct nsm_client_events).
void vesk_nsm_bridge_added(struct lib_globals *zg, const char *name, uint8_t type);
void vesk_nsm_bridge_deleted(struct lib_globals *zg, const char *name, uint8_t type);
void vesk_nsm_vlan_added(struct lib_globals *zg, const char *bridge, uint16_t vid);
void vesk_nsm_vlan_deleted(struct lib_globals *zg, const char *bridge, uint16_t vid);
// The interface becomes a port of bridge "1" when it is none yet, and joins the VLANs.
void vesk_nsm_port_vlans_added(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                               size_t count);
void vesk_nsm_port_vlans_deleted(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                                 size_t count);
// The port follows its interface's new address and, when the link came up or went down, its
// state.
void vesk_nsm_link(struct lib_globals *zg, uint32_t ifindex, bool was_up, bool new_address);
// The bridge stopped or started forwarding on the port in vid (its per-VLAN state): a VLAN it
// forwards on again starts its protection as at link-up.
void vesk_nsm_port_vlan_forwarding(struct lib_globals *zg, uint32_t ifindex, uint16_t vid,
                                   bool forwarding);
// A learned MAC address moved between two ports: each of them that is sending probes at once.
void vesk_nsm_fdb_move(struct lib_globals *zg, const struct nsm_msg_fdb_move &move);

// Interface hook of kind 6: the interface leaves its virtual router and loses its port. 0.
int vesk_nsm_if_vr_unbind(struct interface *ifp);
// Interface hook of kind 7: the interface was renamed; its port takes the new name. 0.
int vesk_nsm_if_rename(struct interface *ifp);

// Told when a port appears in the bridge or takes a new name, and when its interface goes for
// good. The configuration kept by name registers them (vesk_cli_init); null: nobody is told.
typedef void (*vesk_nsm_port_hook)(struct vesk_port *port);
void vesk_nsm_set_port_hooks(vesk_nsm_port_hook appeared, vesk_nsm_port_hook going);
