#include "vesk/daemon/lifecycle.h"

#include "vesk/cli/cli.h"
#include "vesk/daemon/journal.h"
#include "vesk/daemon/lldp.h"
#include "vesk/daemon/metrics.h"
#include "vesk/daemon/privilege.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/service.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/teardown.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/master.h"
#include "vesk/nsm/nsm.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

int vesk_daemon_fail(struct vesk_daemon *d, int result) {
    vesk_daemon_release(d);
    return result;
}

} // namespace

int vesk_daemon_make(struct vesk_daemon *d) {
    *d = vesk_daemon{};
    vesk_machine_hook_install();
    zet_set_name(VESK_NAME, VESK_CLIENT_NAME);
    d->zg = lib_start();
    if (d->zg == nullptr)
        return -1;
    d->zg->log = openzlog(d->zg, d->zg->instance, ZLOG_DEST_SYSLOG);
    d->zg->master = thread_master_create();
    if (d->zg->log == nullptr || d->zg->master == nullptr ||
        vesk_master_init(ovx_vr_get_privileged(d->zg)) != 0 ||
        nsm_client_create(d->zg, 0) == nullptr)
        return vesk_daemon_fail(d, -1);
    d->master = vesk_get_master(d->zg);
    d->master->daemon = d;
    vesk_lib_cli_init(d->zg);
    vesk_cli_init(d->zg);
    vesk_nsm_client_setup(d->zg, d->zg->nc);
    return 0;
}

int vesk_daemon_build(struct vesk_daemon *d, const struct vesk_daemon_config *config) {
    if (vesk_daemon_make(d) != 0)
        return -1;
    struct lib_globals *zg = d->zg;
    vesk_framework_settings(zg);
    // A second daemon of the same place would act on the same ports: it goes before it has
    // touched anything.
    char why[512];
    if (host_lock_place(zg, why, sizeof why) != 0) {
        std::fprintf(stderr, "%s: %s; exiting\n",
                     config->progname != nullptr ? config->progname : VESK_NAME, why);
        return vesk_daemon_fail(d, VESK_START_LOCKED);
    }
    vesk_log_dir_start(zg);
    if (vesk_auth_init(&d->auth) != 0)
        zlog_err(zg, "No random key for frame authentication: %s", std::strerror(errno));
    nsm_client_start(zg->nc);
    d->sockfd = vesk_sock_init(d);
    if (d->sockfd < 0) {
        zlog_err(zg, "Error opening socket (%d)", d->sockfd);
        return vesk_daemon_fail(d, -1);
    }
    if (config->daemon_mode)
        pal_daemonize(0, 0);
    host_config_start(zg, config->config_file, config->vty_port);
    vesk_state_start(zg);
    // Everything that needs more than the two capabilities is open and the state file adopted;
    // the receive thread, the only other thread, inherits what is left.
    if (vesk_drop_privileges(zg) != 0)
        return vesk_daemon_fail(d, -1);
    return 0;
}

int vesk_daemon_run(struct vesk_daemon *d) {
    struct lib_globals *zg = d->zg;
    vesk_recv_thread_start(zg);
    vesk_service_note_scheduling(zg);
    vesk_metrics_start(zg);
    vesk_journal_start(zg);
    vesk_lldp_start(zg);
    vesk_monitor_notify(getppid());
    vesk_service_ready(zg);
    vesk_console_redirect("/dev/console");
    struct thread thread {};
    while (thread_fetch(zg, &thread) != nullptr)
        thread_call(&thread);
    return 0;
}

void vesk_daemon_release(struct vesk_daemon *d) {
    if (d->zg != nullptr) {
        vesk_release_model(d->zg);
        lib_stop(d->zg);
    }
    *d = vesk_daemon{};
}
