#include "vesk/daemon/service.h"

#include "vesk/host/zet.h"

#include <cstdint>
#include <sched.h>
#include <systemd/sd-daemon.h>

static struct thread *vesk_watchdog_timer;
static long vesk_watchdog_seconds;

// The keep-alive runs on the event loop on purpose: only a loop that still turns sends it.
static int vesk_watchdog_kick(struct thread *t) {
    struct lib_globals *zg = THREAD_GLOB(t);
    sd_notify(0, "WATCHDOG=1");
    vesk_watchdog_timer = thread_add_timer(zg, vesk_watchdog_kick, nullptr, vesk_watchdog_seconds);
    return 0;
}

void vesk_service_ready(struct lib_globals *zg) {
    sd_notify(0, "READY=1");
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0)
        return;
    // Timers count whole seconds; a watchdog under 2 s still gets one kick a second.
    vesk_watchdog_seconds = static_cast<long>(usec / 2 / 1000000);
    if (vesk_watchdog_seconds < 1)
        vesk_watchdog_seconds = 1;
    sd_notify(0, "WATCHDOG=1");
    vesk_watchdog_timer = thread_add_timer(zg, vesk_watchdog_kick, nullptr, vesk_watchdog_seconds);
}

void vesk_service_stopping(void) {
    sd_notify(0, "STOPPING=1");
    if (vesk_watchdog_timer != nullptr)
        thread_cancel(vesk_watchdog_timer);
    vesk_watchdog_timer = nullptr;
}

void vesk_service_note_scheduling(struct lib_globals *zg) {
    const int policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
    sched_param param{};
    if ((policy == SCHED_FIFO || policy == SCHED_RR) && sched_getparam(0, &param) == 0) {
        zlog_info(zg, "Real-time scheduling (%s, priority %d)",
                  policy == SCHED_FIFO ? "fifo" : "rr", param.sched_priority);
        return;
    }
    zlog_info(zg, "Normal scheduling: in a loop storm a cut may come tens of milliseconds later "
                  "(the packaged unit gives veskd real-time scheduling)");
}
