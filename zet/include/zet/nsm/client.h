// The network services client: the protocol gives the client its change callbacks and starts
// it; the client then keeps the interface group and the privileged virtual router current and
// tells the protocol each change the network services module reports.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zet/nsm/msg.h"
#include "zet/nsm/view.h"

struct lib_globals;
struct nsm_client;

// Makes the client and keeps it in zg->nc; null on no memory.
struct nsm_client *nsm_client_create(struct lib_globals *zg, int flags);
// Stops the backend and frees the client; clears zg->nc. Null is ignored.
void nsm_client_free(struct nsm_client *nc);

int nsm_client_set_protocol(struct nsm_client *nc, int protocol);
// Asks for a service of the module; the set is announced to a peer module.
int nsm_client_set_service(struct nsm_client *nc, int service);

// What the client tells the protocol, on the event-loop thread, as the module's picture
// changes; a null member is not told. Interfaces are named by index.
struct nsm_client_events {
    // Each event names the framework handle of the client that tells it.
    // A bridge appeared or changed its type (NSM_BRIDGE_TYPE_*); a bridge went.
    void (*bridge_added)(struct lib_globals *zg, const char *name, uint8_t type);
    void (*bridge_deleted)(struct lib_globals *zg, const char *name, uint8_t type);
    // A bridge gained or lost a VLAN.
    void (*vlan_added)(struct lib_globals *zg, const char *bridge, uint16_t vid);
    void (*vlan_deleted)(struct lib_globals *zg, const char *bridge, uint16_t vid);
    // A port of bridge "1" is in more VLANs, or has just become a port (with or without
    // VLANs).
    void (*port_vlans_added)(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                             size_t count);
    // A port of bridge "1" left VLANs.
    void (*port_vlans_deleted)(struct lib_globals *zg, uint32_t ifindex, const uint16_t *vids,
                               size_t count);
    // The interface's record took the link's new state and address: was_up is its up state
    // before, new_address whether the hardware address was told.
    void (*link)(struct lib_globals *zg, uint32_t ifindex, bool was_up, bool new_address);
    // A learned MAC address moved between two ports.
    void (*fdb_move)(struct lib_globals *zg, const struct nsm_msg_fdb_move &move);
    // The bridge stopped or started forwarding on a port of bridge "1" in one of its VLANs by
    // the VLAN's own port state (the spanning tree's, not a block the protocol asked for).
    void (*port_vlan_forwarding)(struct lib_globals *zg, uint32_t ifindex, uint16_t vid,
                                 bool forwarding);
};
void nsm_client_set_events(struct nsm_client *nc, const struct nsm_client_events &events);
// Connects the backend that zg->platform.nsm names and completes the initial
// synchronisation before it returns: 0, or -1 (the protocol then runs without the module).
int nsm_client_start(struct nsm_client *nc);

// Asks the module to shut down, bring up, block or unblock (NSM_PORT_STATE_*) the interface:
// 0 when done, 1 when an interface that is no longer a port of bridge 1 was brought up, -1 when
// it cannot be sent or the module refuses it. Every request is also kept for
// nsm_client_sent_* (the latest 4096). A client that was never started only keeps the request
// and gives 0; one whose start failed gives -1. Call it from the event-loop thread: the
// backends read state that only that thread changes.
int nsm_client_send_port_state(struct nsm_client *nc, uint16_t flags, uint32_t ifindex);

// Asks the module to block or unblock (NSM_PORT_STATE_VLAN_*) the port in VLAN vid only: 0 when
// done, -1 when it cannot be sent or the module refuses it. Kept for nsm_client_sent_* as
// nsm_client_send_port_state's requests are, with its VLAN.
int nsm_client_send_vlan_state(struct nsm_client *nc, uint16_t flags, uint32_t ifindex,
                               uint16_t vid);

// The bridge-port flags (NSM_BRPORT_*) the module reports for a port now: -1 when it does
// not say.
int nsm_client_port_flags(const struct nsm_client *nc, uint32_t ifindex);
// What an unblock of the port restores, the flags it had before the module blocked it: -1 when
// the module keeps none (an unblock then gives the bridge's defaults).
int nsm_client_blocked_flags(const struct nsm_client *nc, uint32_t ifindex);
// Makes flags (NSM_BRPORT_*) what an unblock of the port restores, for a port blocked before a
// restart: 0, or -1 when the module keeps no such thing.
int nsm_client_keep_blocked_flags(struct nsm_client *nc, uint32_t ifindex, uint8_t flags);

// Called on the event-loop thread once each change the module reported has reached the
// protocol's callbacks (renames, deletions and ports joining included); null for none.
typedef void (*nsm_client_applied_func)(struct nsm_client *nc);
void nsm_client_set_applied_hook(struct nsm_client *nc, nsm_client_applied_func hook);

// What the protocol registered, for tests and for announcing to a peer module.
const struct nsm_client_events &nsm_client_get_events(const struct nsm_client *nc);
uint64_t nsm_client_services(const struct nsm_client *nc);
int nsm_client_protocol(const struct nsm_client *nc);

// The framework handle the client was made with.
struct lib_globals *nsm_client_globals(struct nsm_client *nc);

// The port-state requests the client sent, for tests, oldest first.
size_t nsm_client_sent_count(const struct nsm_client *nc);
int nsm_client_sent_get(const struct nsm_client *nc, size_t i, uint16_t *flags, uint32_t *ifindex);
void nsm_client_sent_clear(struct nsm_client *nc);
// The VLAN of the i-th request kept: 0 for a request of the whole port (or none).
uint16_t nsm_client_sent_vid(const struct nsm_client *nc, size_t i);

// Counters of the link to the module.
void nsm_client_get_stats(const struct nsm_client *nc, struct nsm_client_stats *stats);
struct nsm_client_stats *nsm_client_counters(struct nsm_client *nc);

// Receive buffer of the kernel backend's event socket, before nsm_client_start (tests use a
// tiny one to provoke overruns). 0 keeps the default of a few MiB.
int nsm_client_set_rcvbuf(struct nsm_client *nc, int bytes);

// For the backends, on the event-loop thread: brings the framework's interfaces and the
// protocol's callbacks from the view applied last to next, one difference at a time.
void nsm_client_apply_view(struct nsm_client *nc, const nsm_view &next);
// Tells the protocol of a move of a learned MAC address between two known interfaces; anything
// else is dropped.
void nsm_client_fdb_move(struct nsm_client *nc, const struct nsm_msg_fdb_move &move);
// The view applied last.
const nsm_view &nsm_client_view(const struct nsm_client *nc);
