// The states of a port's machine and of the port itself, the loop actions, and the machine's
// timing defaults. The port record (vesk/model/port.h) carries these values; the machine alone
// gives them meaning.
#pragma once

#include <cstdint>

// Per-port defaults, in seconds.
constexpr uint32_t VESK_TX_INTERVAL_DEFAULT = 10;
constexpr uint32_t VESK_TX_UP_TIME_DEFAULT = 1;
constexpr uint32_t VESK_RESUME_TIME_DEFAULT = 180;
// How soon a port resumes after a force up or after losing its looped protect VLAN.
constexpr uint32_t VESK_RESUME_SOON = 1;
// Start-phase transmissions before the steady interval applies.
constexpr uint32_t VESK_TX_UP_COUNT = 3;

// Loop handling of a port (loop_process).
constexpr uint8_t VESK_LOOP_LOG = 0;
constexpr uint8_t VESK_LOOP_SHUTDOWN = 1;
// The bridge stops forwarding on the port while its link stays up.
constexpr uint8_t VESK_LOOP_BLOCK = 2;

// Port states (pstate); names in portState / portCliState.
constexpr uint32_t VESK_PORT_DOWN = 0;
constexpr uint32_t VESK_PORT_UP = 1;
constexpr uint32_t VESK_PORT_SHUTDOWN = 2;
constexpr uint32_t VESK_PORT_NOSHUTDOWN = 3;
constexpr uint32_t VESK_PORT_BLOCKED = 4;
constexpr uint32_t VESK_PORT_STATE_MAX = 5;

// Fast detection: at most one probe per port in this many microseconds, however many moves of
// forwarding entries the bridge reports.
constexpr long long VESK_PROBE_MIN_USEC = 100000;
// A blocked port probes once a second; a probe that is not back within the check time counts
// as a miss, and this many misses in a row lift the block.
constexpr long VESK_BLOCK_PROBE_MSEC = 1000;
constexpr long VESK_BLOCK_CHECK_MSEC = 250;
constexpr uint8_t VESK_BLOCK_MISSES = 2;

// Machine states (mstate); names in portMachineState.
constexpr uint32_t SMS_INITIALIZE = 0;
constexpr uint32_t SMS_SENDING = 1;
constexpr uint32_t SMS_WAIT_TX = 2;
constexpr uint32_t SMS_SHUTDOWN = 3;
constexpr uint32_t SMS_RESUME = 4;
constexpr uint32_t SMS_NOSHUTDOWN = 5;
constexpr uint32_t SMS_MAX = 6;

// Names of the machine states, indexed by SMS_*.
extern const char *const portMachineState[SMS_MAX];
// Log names of the port states, indexed by VESK_PORT_*.
extern const char *const portState[VESK_PORT_STATE_MAX];
// Operator words of the port states, indexed by VESK_PORT_*.
extern const char *const portCliState[VESK_PORT_STATE_MAX];
// Table lookups that give "unknown" for a value outside the tables.
const char *vesk_machine_state_name(uint32_t mstate);
const char *vesk_port_state_name(uint32_t pstate);
const char *vesk_port_cli_state_name(uint32_t pstate);
