#include "vesk/daemon/start.h"

#include "vesk/daemon/state_file.h"
#include "vesk/host/zet.h"
#include "vesk/model/port.h"

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
void vesk_framework_settings(struct lib_globals *zg) {
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
void vesk_log_dir_start(struct lib_globals *zg) {
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
int vesk_monitor_notify(pid_t parent) {
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

static void vesk_state_keep(struct lib_globals *zg) {
    vesk_state_save(zg);
}

static void vesk_state_track(struct nsm_client *nc) {
    vesk_state_follow(nsm_client_globals(nc));
}

void vesk_state_start(struct lib_globals *zg) {
    const char *path = std::getenv("VESK_STATE");
    vesk_state_set_path(path != nullptr && *path != '\0' ? path : VESK_STATE_PATH_DEFAULT);
    // Only after adoption: a save before it would overwrite what the last veskd left.
    vesk_state_adopt(zg);
    vesk_port_state_listener = vesk_state_keep;
    nsm_client_set_applied_hook(zg->nc, vesk_state_track);
}
