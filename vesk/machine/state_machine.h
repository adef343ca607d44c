// The per-port state machine with its transmit and resume timers, and the one place that
// changes a port's state.
#pragma once

#include <cstdint>

#include "vesk/machine/states.h"

struct thread;
struct lib_globals;
struct vesk_port;

// Registers the machine with the model, which then tells it when a port's protect VLANs or its
// place in the bridge change. Start-up calls it before any port exists; so does every test world.
void vesk_machine_hook_install(void);

// Resets the machine and starts it if the port may send.
void vesk_enable_port(struct vesk_port *port);
// Stops the machine; releases a port that loop detection shut down.
void vesk_disable_port(struct vesk_port *port);
// What moves the machine on.
enum vesk_machine_event : uint8_t {
    // The machine was reset (vesk_enable_port): it starts sending if the port may send.
    VESK_MACHINE_EV_START,
    // The transmit timer fired: the next frame.
    VESK_MACHINE_EV_TX_TIMER,
    // A frame of the port came back: a port that is sending is shut down until it resumes.
    VESK_MACHINE_EV_LOOP,
    // The resume timer fired: the port is released.
    VESK_MACHINE_EV_RESUME_TIMER,
};
// One evaluation step: what the event means in the port's state; an event the state does not
// expect changes nothing.
void vesk_update_state_machine(struct vesk_port *port, enum vesk_machine_event event);

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
// "loop-detect force up": as vesk_port_resume_soon, and a port shown shut down without a resume
// timer (its release was refused) resumes VESK_RESUME_SOON seconds from now too; a port loop
// detection has not cut that the bridge neither learns on nor floods to gets the bridge's
// defaults.
void vesk_port_force_up(struct vesk_port *port);

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
// The interface of a port is deleted: if loop detection had cut it, that is logged once and the
// port is down, with nothing left to release and nothing asked.
void vesk_state_machine_forget(struct vesk_port *port);

// The one place that changes a port's state: starts or stops the machine, or asks for the
// shutdown, the block or their release, then records new_state. A block the module refuses
// becomes a shutdown; a released block records the port up or down as its link is; a release
// of a shutdown the module refuses leaves the port shut down (logged as an error).
void vesk_set_port_state(struct vesk_port *port, uint32_t new_state);
