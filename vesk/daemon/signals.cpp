#include "vesk/daemon/signals.h"

#include "vesk/daemon/lldp.h"
#include "vesk/daemon/metrics.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/service.h"
#include "vesk/daemon/teardown.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

#include <csignal>
#include <cstdlib>

// Logs the signal; nothing is reloaded or restarted.
static void sighup(int) {
    zlog(veskm, nullptr, ZLOG_INFO, "SIGHUP received");
    zlog_info(veskm, "veskd restarting!");
}

// Logs, stops the daemon and exits with status 0.
static void sigint(int) {
    zlog(veskm, nullptr, ZLOG_INFO, "Terminating on signal");
    vesk_stop();
    std::exit(0);
}

// Reopens the log file.
static void sigusr1(int) {
    if (veskm == nullptr)
        return;
    if (zlog_rotate(veskm, veskm->log) != 0)
        zlog_warn(veskm, "Cannot reopen the log file %s; still writing the old one",
                  zlog_file(veskm->log));
}

void signal_init(void) {
    pal_signal_init();
    pal_signal_set(SIGHUP, sighup);
    pal_signal_set(SIGINT, sigint);
    pal_signal_set(SIGTERM, sigint);
    pal_signal_set(SIGUSR1, sigusr1);
}

void vesk_stop(void) {
    vesk_service_stopping();
    vesk_metrics_stop();
    vesk_lldp_stop();
    // The receive thread posts into the framework's loop: it must be gone before the loop is
    // freed. One that does not end in time keeps the framework alive until the process exits.
    if (vesk_recv_thread_stop(veskm) != 0) {
        zlog_err(veskm, "The receive thread did not stop; the framework is left to the exit");
        veskm = nullptr;
        return;
    }
    vesk_release_model(veskm);
    lib_stop(veskm);
    veskm = nullptr;
}
