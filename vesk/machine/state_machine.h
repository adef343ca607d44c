// The per-port state machine with its transmit and resume timers.
#pragma once

#include <cstdint>

#include "vesk/model/result.h"

struct thread;
struct vesk_port;

// Names of the machine states, indexed by SMS_*.
extern const char *const portMachineState[SMS_MAX];
// The name of mstate, or "unknown" for a value outside the table.
const char *vesk_machine_state_name(uint32_t mstate);

// 1 when the port's flags have both IFF_UP and IFF_RUNNING, else 0.
int vesk_port_is_running(struct vesk_port *port);

// Resets the machine and starts it if the port may send.
void vesk_enable_port(struct vesk_port *port);
// Stops the machine; releases a port that loop detection shut down.
void vesk_disable_port(struct vesk_port *port);
// One evaluation step: a timer expiry, an enable, or a loop report from the receive path.
void vesk_update_state_machine(struct vesk_port *port);

// Timer callbacks; the port is the timer's argument. Both give 0.
int vesk_port_tx_handle(struct thread *t);
int vesk_port_resume_handle(struct thread *t);
// Replaces an armed resume timer by one of VESK_RESUME_SOON seconds; nothing otherwise.
void vesk_port_resume_soon(struct vesk_port *port);
// The probe timer of a blocked port: sends a probe, or checks the latest one. Gives 0.
int vesk_port_probe_handle(struct thread *t);
// Fast detection: a port that is sending sends at once, outside its cadence (its transmit
// timer keeps its schedule), at most once per VESK_PROBE_MIN_USEC. 0 when it sent, else -1.
int vesk_port_probe(struct vesk_port *port);

// State entries, one per state; only the machine calls them.
void vesk_state_machine_init(struct vesk_port *port);
void vesk_state_machine_tx(struct vesk_port *port);
void vesk_state_machine_wait_tx(struct vesk_port *port);
void vesk_state_machine_shutdown(struct vesk_port *port);
void vesk_state_machine_resume(struct vesk_port *port);
void vesk_state_machine_noshutdown(struct vesk_port *port);
// Blocks the port (or shuts it down where the block is refused) until its probes stop coming
// back twice in a row, its resume time passes or it is forced up.
void vesk_state_machine_block(struct vesk_port *port);
// Takes back a port that an earlier veskd shut down or blocked: in that state, released after
// wait seconds like one this veskd cut.
void vesk_state_machine_adopt(struct vesk_port *port, bool blocked, uint32_t wait);
