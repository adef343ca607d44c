#include "vesk/daemon/metrics.h"

#include "vesk/cli/metrics.h"
#include "vesk/host/zet.h"
#include "vesk/model/history.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr long VESK_METRICS_TICK_SECONDS = 1;
constexpr time_t VESK_METRICS_REFRESH_SECONDS = 60;

struct vesk_metrics_file {
    struct lib_globals *zg = nullptr;
    struct thread *timer = nullptr;
    std::string path;
    std::string last;
    time_t written = 0;
    bool failed = false;
};

vesk_metrics_file vesk_metrics;

// The history tells its events without a daemon; the loops it counts are of this one's ports.
struct lib_globals *vesk_metrics_events_zg = nullptr;

void vesk_metrics_note(const struct vesk_event *e) {
    vesk_metrics_note_event(vesk_metrics_events_zg, e);
}

// The collector may read at any moment: it sees the old file or the new one, never half.
int vesk_metrics_write(const std::string &text) {
    const std::string tmp = vesk_metrics.path + ".tmp";
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0)
        return -1;
    // node exporter reads as its own user: the service's umask must not hide the file from it.
    fchmod(fd, 0644);
    const bool whole = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (close(fd) != 0 || !whole || rename(tmp.c_str(), vesk_metrics.path.c_str()) != 0) {
        const int err = errno;
        unlink(tmp.c_str());
        errno = err != 0 ? err : EIO;
        return -1;
    }
    return 0;
}

int vesk_metrics_tick(struct thread *);

void vesk_metrics_arm(void) {
    vesk_metrics.timer =
        thread_add_timer(vesk_metrics.zg, vesk_metrics_tick, nullptr, VESK_METRICS_TICK_SECONDS);
}

int vesk_metrics_tick(struct thread *) {
    vesk_metrics.timer = nullptr;
    const std::string text = vesk_metrics_text(vesk_metrics.zg);
    const time_t now = std::time(nullptr);
    const bool due =
        text != vesk_metrics.last || now - vesk_metrics.written >= VESK_METRICS_REFRESH_SECONDS;
    if (due && vesk_metrics_write(text) == 0) {
        vesk_metrics.last = text;
        vesk_metrics.written = now;
        vesk_metrics.failed = false;
    } else if (due && !vesk_metrics.failed) {
        // Once per run of failures: a full disk must not fill the log as well.
        zlog_warn(vesk_metrics.zg, "Cannot write the metrics file %s: %s",
                  vesk_metrics.path.c_str(), std::strerror(errno));
        vesk_metrics.failed = true;
    }
    vesk_metrics_arm();
    return 0;
}

} // namespace

void vesk_metrics_start(struct lib_globals *zg) {
    vesk_metrics_events_zg = zg;
    vesk_history_listener = vesk_metrics_note;
    const char *dir = std::getenv("VESK_METRICS_DIR");
    if (dir == nullptr || *dir == '\0')
        dir = VESK_METRICS_DIR_DEFAULT;
    struct stat st {};
    if (stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) {
        zlog_info(zg, "No metrics directory %s: no metrics file written", dir);
        return;
    }
    vesk_metrics.zg = zg;
    vesk_metrics.path = std::string(dir) + "/" + VESK_METRICS_FILE;
    vesk_metrics_arm();
}

void vesk_metrics_stop(void) {
    if (vesk_metrics.zg == nullptr)
        return;
    thread_cancel(vesk_metrics.timer);
    vesk_metrics.timer = nullptr;
    unlink(vesk_metrics.path.c_str());
    vesk_metrics = {};
}
