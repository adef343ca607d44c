// The shutdown, no-shutdown, block and unblock requests sent to the network services module.
#pragma once

#include <cstdint>

struct lib_globals;

// Requests to vesk_send_port_state_to_nsm.
constexpr int VESK_PORT_REQ_SHUTDOWN = 1;
constexpr int VESK_PORT_REQ_NOSHUTDOWN = 2;
constexpr int VESK_PORT_REQ_BLOCK = 3;
constexpr int VESK_PORT_REQ_UNBLOCK = 4;

// Sends a shutdown (request 1), block (3), unblock (4) or no-shutdown (anything else) request
// for ifindex; gives the framework's result, or -1 when there is no client.
int vesk_send_port_state_to_nsm(struct lib_globals *zg, uint32_t ifindex, int request);
// Asks that the port be blocked (or unblocked) in VLAN vid only: the framework's result, or -1
// when there is no client.
int vesk_send_vlan_state_to_nsm(struct lib_globals *zg, uint32_t ifindex, bool block, uint16_t vid);

// The bridge-port flags (NSM_BRPORT_*) the module reports for a port: -1 when it does not say.
int vesk_port_bridge_flags(struct lib_globals *zg, uint32_t ifindex);
// Flags of a port the bridge neither learns on nor floods to, as a block leaves it.
bool vesk_port_flags_locked(int flags);
