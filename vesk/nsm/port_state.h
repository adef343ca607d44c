// Port states and the shutdown / no-shutdown requests sent to the network services module.
#pragma once

#include <cstdint>

#include "vesk/model/result.h"

struct vesk_port;

// Log names of the port states, indexed by VESK_PORT_*.
extern const char *const portState[VESK_PORT_STATE_MAX];
// Operator words of the port states, indexed by VESK_PORT_*.
extern const char *const portCliState[VESK_PORT_STATE_MAX];
// Table lookups that give "unknown" for a value outside the tables.
const char *vesk_port_state_name(uint32_t pstate);
const char *vesk_port_cli_state_name(uint32_t pstate);

// Requests to vesk_send_port_state_to_nsm.
constexpr int VESK_PORT_REQ_SHUTDOWN = 1;
constexpr int VESK_PORT_REQ_NOSHUTDOWN = 2;
constexpr int VESK_PORT_REQ_BLOCK = 3;
constexpr int VESK_PORT_REQ_UNBLOCK = 4;

// The flags word of a port-state record.
constexpr uint16_t VESK_PORT_STATE_FLAG_SHUTDOWN = 0x0001;
constexpr uint16_t VESK_PORT_STATE_FLAG_NOSHUTDOWN = 0x0002;
constexpr uint16_t VESK_PORT_STATE_FLAG_BLOCK = 0x0004;
constexpr uint16_t VESK_PORT_STATE_FLAG_UNBLOCK = 0x0008;

// The record sent as message type 168.
struct vesk_port_state_msg {
    uint16_t flags;
    uint16_t reserved;
    uint32_t ifindex;
};
static_assert(sizeof(struct vesk_port_state_msg) == 8);

// Sends a shutdown (request 1), block (3), unblock (4) or no-shutdown (anything else) request
// for ifindex; gives the framework's result, or -1 when there is no client.
int vesk_send_port_state_to_nsm(uint32_t ifindex, int request);
// Called, when set, after a port's state or its release deadline changed: the daemon keeps
// the ports it took out in its state file.
extern void (*vesk_port_state_listener)(void);
void vesk_port_state_changed(void);

// The one place that changes a port's state: starts or stops the machine, or asks for the
// shutdown, the block or their release, then records new_state. A block the module refuses
// becomes a shutdown; a released block records the port up or down as its link is.
void vesk_set_port_state(struct vesk_port *port, uint32_t new_state);
