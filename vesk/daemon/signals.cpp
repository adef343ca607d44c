#include "vesk/daemon/signals.h"

#include "vesk/daemon/lifecycle.h"
#include "vesk/daemon/lldp.h"
#include "vesk/daemon/metrics.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/service.h"
#include "vesk/host/zet.h"

#include <csignal>
#include <cstdlib>

// Signals reach the process, not an object: the daemon they act on.
static struct vesk_daemon *vesk_signalled = nullptr;

// Logs the signal; nothing is reloaded or restarted.
static void sighup(int) {
    struct lib_globals *zg = vesk_signalled->zg;
    zlog(zg, nullptr, ZLOG_INFO, "SIGHUP received");
    zlog_info(zg, "veskd restarting!");
}

// Logs, stops the daemon and exits with status 0.
static void sigint(int) {
    zlog(vesk_signalled->zg, nullptr, ZLOG_INFO, "Terminating on signal");
    vesk_stop(vesk_signalled);
    std::exit(0);
}

// Reopens the log file.
static void sigusr1(int) {
    struct lib_globals *zg = vesk_signalled->zg;
    if (zg == nullptr)
        return;
    if (zlog_rotate(zg, zg->log) != 0)
        zlog_warn(zg, "Cannot reopen the log file %s; still writing the old one",
                  zlog_file(zg->log));
}

void signal_init(struct vesk_daemon *d) {
    vesk_signalled = d;
    pal_signal_init();
    pal_signal_set(SIGHUP, sighup);
    pal_signal_set(SIGINT, sigint);
    pal_signal_set(SIGTERM, sigint);
    pal_signal_set(SIGUSR1, sigusr1);
}

void vesk_stop(struct vesk_daemon *d) {
    vesk_service_stopping();
    vesk_metrics_stop();
    vesk_lldp_stop();
    // The receive thread posts into the framework's loop: it must be gone before the loop is
    // freed. One that does not end in time keeps the framework alive until the process exits.
    if (vesk_recv_thread_stop(d->zg) != 0) {
        zlog_err(d->zg, "The receive thread did not stop; the framework is left to the exit");
        return;
    }
    vesk_daemon_release(d);
}
