#include "vesk/daemon/start.h"

#include "vesk/cli/cli.h"
#include "vesk/daemon/journal.h"
#include "vesk/daemon/lldp.h"
#include "vesk/daemon/metrics.h"
#include "vesk/daemon/privilege.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/service.h"
#include "vesk/daemon/state_file.h"
#include "vesk/daemon/teardown.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/auth.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/master.h"
#include "vesk/nsm/nsm.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

void vesk_lib_cli_init(struct lib_globals *zg) {
    host_vty_init(zg);
}

// An unset or empty variable leaves the setting as it is; a value too long for it is cut.
static void vesk_setting_from_env(char *setting, size_t size, const char *name) {
    const char *value = std::getenv(name);
    if (value != nullptr && *value != '\0')
        std::snprintf(setting, size, "%s", value);
}

// Hands the framework what the operator chose in the environment: VESK_NSM, VESK_FRAME,
// VESK_BRIDGE and VESK_PORT_MAC (zg->platform), VESK_VTY_SOCKET and VESK_VTY_GROUP (the vty's
// Unix socket). An unset or empty variable keeps the default.
static void vesk_framework_settings(struct lib_globals *zg) {
    vesk_setting_from_env(zg->platform.nsm, sizeof zg->platform.nsm, "VESK_NSM");
    vesk_setting_from_env(zg->platform.frame, sizeof zg->platform.frame, "VESK_FRAME");
    vesk_setting_from_env(zg->platform.bridge, sizeof zg->platform.bridge, "VESK_BRIDGE");
    vesk_setting_from_env(zg->platform.port_mac, sizeof zg->platform.port_mac, "VESK_PORT_MAC");
    const char *socket = std::getenv("VESK_VTY_SOCKET");
    if (socket == nullptr || *socket == '\0')
        socket = VESK_VTY_SOCKET_DEFAULT;
    host_vty_set_unix(zg, socket, std::getenv("VESK_VTY_GROUP"), VESK_VTY_GROUP_DEFAULT);
}

// Tells the framework the log directory (VESK_LOG_DIR, else VESK_LOG_DIR_DEFAULT) and makes it,
// mode 0750, when missing: owned by VESK_USER when veskd will run as that user, so its log
// files can be opened there after the privileges are dropped.
static void vesk_log_dir_start(struct lib_globals *zg) {
    const char *dir = std::getenv("VESK_LOG_DIR");
    if (dir == nullptr || *dir == '\0')
        dir = VESK_LOG_DIR_DEFAULT;
    host_set_log_dir(zg, dir);
    if (mkdir(dir, 0750) != 0) {
        if (errno != EEXIST)
            zlog_warn(zg, "Cannot make the log directory %s: %s", dir, std::strerror(errno));
        return;
    }
    const char *user = std::getenv("VESK_USER");
    struct passwd *pw =
        user != nullptr && *user != '\0' && geteuid() == 0 ? getpwnam(user) : nullptr;
    if (pw != nullptr && chown(dir, pw->pw_uid, pw->pw_gid) != 0)
        zlog_warn(zg, "Cannot give the log directory %s to %s: %s", dir, user,
                  std::strerror(errno));
}

// Whether the parent catches or blocks SIGRTMIN: a parent that does neither would die of it.
static bool vesk_parent_expects_rtmin(pid_t parent) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(parent));
    FILE *f = std::fopen(path, "r");
    if (f == nullptr)
        return false;
    const unsigned long long bit = 1ULL << (SIGRTMIN - 1);
    unsigned long long mask = 0;
    bool expects = false;
    char line[256];
    while (!expects && std::fgets(line, sizeof line, f) != nullptr)
        expects = (std::sscanf(line, "SigBlk: %llx", &mask) == 1 ||
                   std::sscanf(line, "SigCgt: %llx", &mask) == 1) &&
                  (mask & bit) != 0;
    std::fclose(f);
    return expects;
}

// Sends SIGRTMIN to parent when the first word of its command line contains "monitor" and the
// parent catches or blocks that signal (the handshake it asked for, never a signal that would
// kill it): 1 when it was sent, else 0.
static int vesk_monitor_notify(pid_t parent) {
    if (!vesk_parent_expects_rtmin(parent))
        return 0;
    char buf[128];
    std::memset(buf, 0, sizeof buf);
    std::snprintf(buf, sizeof buf, "/proc/%d/cmdline", static_cast<int>(parent));
    FILE *f = std::fopen(buf, "r");
    if (f == nullptr)
        return 0;
    std::memset(buf, 0, sizeof buf);
    int sent = 0;
    // The words of cmdline are NUL-separated, so the string is the parent's program path.
    if (std::fgets(buf, sizeof buf, f) != nullptr && std::strstr(buf, "monitor") != nullptr)
        sent = kill(parent, SIGRTMIN) == 0;
    std::fclose(f);
    return sent;
}

int vesk_console_redirect(const char *path) {
    // O_NOCTTY: the console must not become the controlling terminal of a foreground daemon.
    int fd = open(path, O_RDWR | O_NOCTTY);
    if (fd < 0)
        return -1;
    // What stdio still holds was written for the old streams; flushed after the switch it
    // would land on the console.
    std::fflush(stdout);
    std::fflush(stderr);
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO)
        close(fd);
    return 0;
}

static void vesk_state_keep(void) {
    vesk_state_save(veskm);
}

static void vesk_state_track(struct nsm_client *) {
    vesk_state_follow(veskm);
}

// Adopts the ports the state file (VESK_STATE, else /run/veskd/state) names, then keeps it.
static void vesk_state_start(struct lib_globals *zg) {
    const char *path = std::getenv("VESK_STATE");
    vesk_state_set_path(path != nullptr && *path != '\0' ? path : VESK_STATE_PATH_DEFAULT);
    // Only after adoption: a save before it would overwrite what the last veskd left.
    vesk_state_adopt(zg);
    vesk_port_state_listener = vesk_state_keep;
    nsm_client_set_applied_hook(zg->nc, vesk_state_track);
}

// Runs the framework's event loop until it ends.
static int vesk_event_loop(struct lib_globals *zg) {
    struct thread thread {};
    while (thread_fetch(zg, &thread) != nullptr)
        thread_call(&thread);
    return 0;
}

int vesk_start(int daemon_mode, const char *config_file, uint16_t vty_port, const char *progname) {
    vesk_machine_hook_install();
    veskm = lib_start();
    if (veskm == nullptr)
        return -1;
    vesk_framework_settings(veskm);
    veskm->log = openzlog(veskm, veskm->instance, ZLOG_DEST_SYSLOG);
    veskm->master = thread_master_create();
    // A second daemon of the same place would act on the same ports: it goes before it has
    // touched anything.
    char why[512];
    if (host_lock_place(veskm, why, sizeof why) != 0) {
        std::fprintf(stderr, "%s: %s; exiting\n", progname != nullptr ? progname : VESK_NAME, why);
        lib_stop(veskm);
        veskm = nullptr;
        return VESK_START_LOCKED;
    }
    vesk_log_dir_start(veskm);
    if (vesk_auth_init() != 0)
        zlog_err(veskm, "No random key for frame authentication: %s", std::strerror(errno));
    vesk_lib_cli_init(veskm);
    vesk_cli_init(veskm);
    struct ovx_vr *vr = ovx_vr_get_privileged(veskm);
    if (vr != nullptr)
        vesk_master_init(vr);
    vesk_nsm_init(veskm);
    sockfd = vesk_sock_init(veskm);
    if (sockfd < 0) {
        zlog_err(veskm, "Error opening socket (%d)", sockfd);
        vesk_release_model(veskm);
        lib_stop(veskm);
        veskm = nullptr;
        return -1;
    }
    if (daemon_mode)
        pal_daemonize(0, 0);
    host_config_start(veskm, config_file, vty_port);
    vesk_state_start(veskm);
    // Everything that needs more than the two capabilities is open and the state file adopted;
    // the receive thread, the only other thread, inherits what is left.
    if (vesk_drop_privileges(veskm) != 0) {
        vesk_release_model(veskm);
        lib_stop(veskm);
        veskm = nullptr;
        return -1;
    }
    vesk_recv_thread_start(veskm);
    vesk_service_note_scheduling(veskm);
    vesk_metrics_start(veskm);
    vesk_journal_start(veskm);
    vesk_lldp_start(veskm);
    vesk_monitor_notify(getppid());
    vesk_service_ready(veskm);
    vesk_console_redirect("/dev/console");
    return vesk_event_loop(veskm);
}
