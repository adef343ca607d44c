#include "vesk/machine/state_machine.h"

#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"
#include "vesk/nsm/port_state.h"

const char *const portMachineState[SMS_MAX] = {
    "SMS_INITIALIZE", "SMS_SENDING", "SMS_WAIT_TX", "SMS_SHUTDOWN", "SMS_RESUME", "SMS_NOSHUTDOWN",
};

namespace {

constexpr uint32_t IFF_UP_BIT = 0x1;
constexpr uint32_t IFF_RUNNING_BIT = 0x40;

void vesk_machine_enter(struct vesk_port *port, uint32_t state) {
    port->mstate = state;
    if (IS_VESK_DEBUG_MACHINE())
        zlog_debug(veskm, "Port %s mstate change to %s", port->name,
                   vesk_machine_state_name(state));
}

void vesk_cancel_timer(struct thread **timer) {
    if (*timer == nullptr)
        return;
    thread_cancel(*timer);
    *timer = nullptr;
}

// A timer that cannot be made leaves its handle null, which the evaluation step reads as an
// expiry; the operator at least learns why the port did not move on.
struct thread *vesk_arm_timer(struct vesk_port *port, thread_func func, uint32_t seconds,
                              const char *what) {
    struct thread *timer = thread_add_timer(veskm, func, port, seconds);
    if (timer == nullptr)
        zlog_err(veskm, "Port %s cannot arm its %s timer", port->name, what);
    return timer;
}

bool vesk_port_may_send(struct vesk_port *port) {
    return port->vesk_enable != 0 && vesk_port_is_running(port) == 1;
}

void vesk_machine_transmit(struct vesk_port *port) {
    if (!vesk_port_may_send(port))
        return;
    vesk_state_machine_tx(port);
    vesk_state_machine_wait_tx(port);
}

struct vesk_port *vesk_timer_port(struct thread *t) {
    return t != nullptr ? static_cast<struct vesk_port *>(THREAD_ARG(t)) : nullptr;
}

} // namespace

const char *vesk_machine_state_name(uint32_t mstate) {
    return mstate < SMS_MAX ? portMachineState[mstate] : "unknown";
}

int vesk_port_is_running(struct vesk_port *port) {
    if (port == nullptr)
        return 0;
    const uint32_t want = IFF_UP_BIT | IFF_RUNNING_BIT;
    return (port->flags & want) == want ? 1 : 0;
}

void vesk_state_machine_init(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_INITIALIZE);
    vesk_cancel_timer(&port->resume_timer);
    vesk_cancel_timer(&port->tx_timer);
}

void vesk_state_machine_tx(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_SENDING);
    if (port->tx_type == 0) {
        port->tx_count++;
        if (port->tx_count >= VESK_TX_UP_COUNT) {
            port->tx_count = 0;
            port->tx_type = 1;
        }
    }
    vesk_send_pkt(port);
}

void vesk_state_machine_wait_tx(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_WAIT_TX);
    if (port->tx_timer != nullptr)
        return;
    const uint32_t seconds = port->tx_type != 0 ? port->tx_interval_time : port->tx_up_time;
    port->tx_timer = vesk_arm_timer(port, vesk_port_tx_handle, seconds, "tx");
}

void vesk_state_machine_shutdown(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_SHUTDOWN);
    vesk_cancel_timer(&port->tx_timer);
    vesk_set_port_state(port, VESK_PORT_SHUTDOWN);
}

void vesk_state_machine_resume(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_RESUME);
    if (port->resume_timer != nullptr)
        return;
    port->resume_timer = vesk_arm_timer(port, vesk_port_resume_handle, port->resume_time, "resume");
    vesk_port_state_changed();
}

void vesk_state_machine_noshutdown(struct vesk_port *port) {
    vesk_machine_enter(port, SMS_NOSHUTDOWN);
    vesk_set_port_state(port, VESK_PORT_NOSHUTDOWN);
}

void vesk_update_state_machine(struct vesk_port *port) {
    if (port == nullptr)
        return;
    if (IS_VESK_DEBUG_MACHINE())
        zlog_debug(veskm, "Vesk port %s start update machine, mstate is %s", port->name,
                   vesk_machine_state_name(port->mstate));
    switch (port->mstate) {
    case SMS_WAIT_TX:
        if (port->tx_timer == nullptr) {
            vesk_machine_transmit(port);
            return;
        }
        vesk_state_machine_shutdown(port);
        vesk_state_machine_resume(port);
        return;
    case SMS_RESUME:
        if (port->resume_timer == nullptr)
            vesk_state_machine_noshutdown(port);
        return;
    case SMS_INITIALIZE:
        vesk_machine_transmit(port);
        return;
    default:
        return;
    }
}

void vesk_enable_port(struct vesk_port *port) {
    if (port == nullptr)
        return;
    if (IS_VESK_DEBUG_EVENT())
        zlog_debug(veskm, "Port %s enable vesk", port->name);
    vesk_state_machine_init(port);
    vesk_update_state_machine(port);
}

void vesk_disable_port(struct vesk_port *port) {
    if (port == nullptr)
        return;
    if (IS_VESK_DEBUG_EVENT())
        zlog_debug(veskm, "Port %s disable vesk", port->name);
    vesk_state_machine_init(port);
    if (port->pstate == VESK_PORT_SHUTDOWN) {
        port->release_cause = VESK_CAUSE_DISABLED;
        vesk_set_port_state(port, VESK_PORT_NOSHUTDOWN);
    }
}

int vesk_port_tx_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->tx_timer = nullptr;
    if (IS_VESK_DEBUG_MACHINE())
        zlog_debug(veskm, "Port %s tx time expire, mstate is %s", port->name,
                   vesk_machine_state_name(port->mstate));
    vesk_update_state_machine(port);
    return 0;
}

int vesk_port_resume_handle(struct thread *t) {
    struct vesk_port *port = vesk_timer_port(t);
    if (port == nullptr)
        return 0;
    port->resume_timer = nullptr;
    if (IS_VESK_DEBUG_MACHINE())
        zlog_debug(veskm, "Port %s resume time expire, mstate is %s", port->name,
                   vesk_machine_state_name(port->mstate));
    vesk_update_state_machine(port);
    return 0;
}

void vesk_port_resume_soon(struct vesk_port *port) {
    if (port == nullptr || port->resume_timer == nullptr)
        return;
    vesk_cancel_timer(&port->resume_timer);
    port->resume_timer = vesk_arm_timer(port, vesk_port_resume_handle, VESK_RESUME_SOON, "resume");
    vesk_port_state_changed();
}
