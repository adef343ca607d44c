// Messages from the network services module: bridges, VLANs, VLAN membership and link changes
// build the model and drive the port states.
#pragma once

struct interface;
struct lib_globals;
struct nsm_client;
struct nsm_msg_header;
struct vesk_port;

// Creates the client, registers the handlers and the unbind hook, and starts the client.
// Gives 0, or -1 when the client cannot be made or started (the daemon runs on without it).
int vesk_nsm_init(struct lib_globals *globals);
// What vesk_nsm_init does between creating the client and starting it: version, protocol,
// services, the interface unbind and rename hooks and every handler. Tests that bring their own
// client (a small receive buffer, no start) set it up through this too.
void vesk_nsm_client_setup(struct lib_globals *globals, struct nsm_client *nc);

// Handlers: header, the client, the decoded message.
int vesk_nsm_recv_interface_state(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_add(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_delete(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_add_vlan(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_delete_vlan(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_vlan_add_if(struct nsm_msg_header *header, void *arg, void *message);
int vesk_nsm_recv_bridge_vlan_delete_if(struct nsm_msg_header *header, void *arg, void *message);
// A learned MAC address moved between two ports: each of them that is sending probes at once.
int vesk_nsm_recv_fdb_move(struct nsm_msg_header *header, void *arg, void *message);

// Interface hook of kind 6: the interface leaves its virtual router and loses its port. 0.
int vesk_nsm_if_vr_unbind(struct interface *ifp);
// Interface hook of kind 7: the interface was renamed; its port takes the new name. 0.
int vesk_nsm_if_rename(struct interface *ifp);

// Told when a port appears in the bridge or takes a new name, and when its interface goes for
// good. The configuration kept by name registers them (vesk_cli_init); null: nobody is told.
typedef void (*vesk_nsm_port_hook)(struct vesk_port *port);
void vesk_nsm_set_port_hooks(vesk_nsm_port_hook appeared, vesk_nsm_port_hook going);
