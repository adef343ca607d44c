// Result codes, allocation types and limits shared by the whole daemon.
#pragma once

#include <cstdint>

// Results of operations: 0 or negative.
enum : int {
    VESK_SUCCESS = 0,
    // Missing argument or failed allocation.
    VESK_ERR_ARG = -1,
    VESK_ERR_BRIDGE_NOT_FOUND = -4,
    VESK_ERR_PORT_NOT_FOUND = -11,
    // Known to the operator messages only; no operation gives it.
    VESK_ERR_VLAN_NOT_MEMBER = -12,
    VESK_ERR_PROVLAN_LIMIT = -13,
    VESK_ERR_PROVLAN_NOMEM = -14,
    VESK_ERR_HANDLER = -100,
};

// Allocation types of the daemon's records (mfh_calloc / pal_mem_free).
enum : int {
    MTYPE_VESK_MASTER = 652,
    MTYPE_VESK_BRIDGE = 653,
    MTYPE_VESK_VLAN = 654,
    MTYPE_VESK_PORT = 655,
    MTYPE_VESK_RLIST = 656,
    MTYPE_VESK_PROVLAN = 657,
};

constexpr unsigned VESK_MAX_PROVLAN = 16;

// The bridge that every command and VLAN-port message works on.
inline constexpr char VESK_BRIDGE_NAME[] = "1";

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
