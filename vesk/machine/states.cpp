#include "vesk/machine/states.h"

const char *const portMachineState[SMS_MAX] = {
    "SMS_INITIALIZE", "SMS_SENDING", "SMS_WAIT_TX", "SMS_SHUTDOWN", "SMS_RESUME", "SMS_NOSHUTDOWN",
};

const char *const portState[VESK_PORT_STATE_MAX] = {
    "VESK_PORT_DOWN",       "VESK_PORT_UP",      "VESK_PORT_SHUTDOWN",
    "VESK_PORT_NOSHUTDOWN", "VESK_PORT_BLOCKED",
};

const char *const portCliState[VESK_PORT_STATE_MAX] = {
    "down", "up", "shutdown", "no shutdown", "blocked",
};

const char *vesk_machine_state_name(uint32_t mstate) {
    return mstate < SMS_MAX ? portMachineState[mstate] : "unknown";
}

const char *vesk_port_state_name(uint32_t pstate) {
    return pstate < VESK_PORT_STATE_MAX ? portState[pstate] : "unknown";
}

const char *vesk_port_cli_state_name(uint32_t pstate) {
    return pstate < VESK_PORT_STATE_MAX ? portCliState[pstate] : "unknown";
}
