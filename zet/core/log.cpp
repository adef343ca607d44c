#include "zet/core/log.h"

#include "zet/core/globals.h"
#include "zet/core/pal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>
#include <utility>

struct zlog {
    mutable std::mutex mu;
    uint32_t instance = 0;
    uint32_t dest = ZLOG_DEST_SYSLOG;
    int fd = -1; // the log file
    std::string path;
    uint64_t lost = 0; // file lines the file did not take
    zlog_sink sink = nullptr;
    void *sink_ctx = nullptr;
    zlog_suffix suffix = nullptr;
    void *suffix_ctx = nullptr;
    zlog_syslog_writer writer = nullptr;
    void *writer_ctx = nullptr;
    bool syslog_open = false;
};

// The function zlog hides the record's plain name.
using zlog_rec = struct zlog;

namespace {

// openlog keeps the identity pointer, so it lives here for the whole process.
char syslog_ident[32];
std::mutex stderr_mu;

// Every open log, so that a late detach (a test's capture) can tell a closed log.
std::mutex open_mu;
std::set<const zlog_rec *> &open_logs() {
    static std::set<const zlog_rec *> logs;
    return logs;
}

// "YYYY/MM/DD HH:MM:SS.mmm" in local wall-clock time.
void stamp(char *buf, size_t size) {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    struct tm tm {};
    time_t t = tv.tv_sec;
    localtime_r(&t, &tm);
    size_t n = strftime(buf, size, "%Y/%m/%d %H:%M:%S", &tm);
    snprintf(buf + n, size - n, ".%03ld", static_cast<long>(tv.tv_usec / 1000));
}

// The message as one line: trailing line ends dropped, inner ones turned into spaces.
std::string format_line(const char *format, va_list ap) {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    std::string text;
    if (n < 0)
        text = format;
    else if (static_cast<size_t>(n) < sizeof small)
        text.assign(small, static_cast<size_t>(n));
    else {
        text.resize(static_cast<size_t>(n) + 1);
        vsnprintf(text.data(), text.size(), format, ap);
        text.resize(static_cast<size_t>(n));
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    for (char &c : text)
        if (c == '\n' || c == '\r')
            c = ' ';
    return text;
}

void write_stream(FILE *f, const char *name, const std::string &text) {
    char ts[40];
    stamp(ts, sizeof ts);
    fprintf(f, "%s %s: %s\n", ts, name, text.c_str());
}

// One write per line (O_APPEND keeps lines whole); a line the file does not take at once, for a
// full disk or anything else, is counted and dropped, never retried or waited for.
void write_file(zlog_rec *log, const char *name, const std::string &text) {
    char ts[40];
    stamp(ts, sizeof ts);
    std::string line = std::string(ts) + " " + name + ": " + text + "\n";
    ssize_t n = write(log->fd, line.data(), line.size());
    if (n != static_cast<ssize_t>(line.size()))
        log->lost++;
}

void to_stderr(const char *name, const std::string &text) {
    std::lock_guard lock(stderr_mu);
    write_stream(stderr, name, text);
    fflush(stderr);
}

void open_syslog(zlog_rec *log) {
    if (log->syslog_open)
        return;
    snprintf(syslog_ident, sizeof syslog_ident, "%s", zet_name());
    openlog(syslog_ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log->syslog_open = true;
}

// Opens a log file that only ever appends to a plain file of its own: never through a symbolic
// link (which could point anywhere the daemon may write), never a FIFO or device (whose open or
// write could hold the event loop), never a file with other names (a hard link to a file that
// is not the log's). Gives the descriptor, or -1 with why.
int open_file(const char *path, std::string &why) {
    int fd = open(
        path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0640);
    if (fd < 0) {
        int err = errno;
        why = err == ELOOP   ? "it is a symbolic link"
              : err == ENXIO ? "it is not a regular file"
                             : std::strerror(err);
        errno = err;
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0)
        why = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        why = "it is not a regular file";
    else if (st.st_nlink != 1)
        why = "it has other names (hard links)";
    else
        return fd;
    close(fd);
    errno = EINVAL;
    return -1;
}

void close_file(zlog_rec *log) {
    if (log->fd >= 0)
        close(log->fd);
    log->fd = -1;
}

void to_syslog(const zlog_rec *log, int priority, const std::string &text) {
    if (log->writer == nullptr || !log->writer(log->writer_ctx, priority, text.c_str()))
        syslog(priority & LOG_PRIMASK, "%s", text.c_str());
}

void emit(zlog_rec *log, int priority, std::string text) {
    std::lock_guard lock(log->mu);
    if (log->suffix != nullptr) {
        char extra[256] = "";
        log->suffix(log->suffix_ctx, text.c_str(), extra, sizeof extra);
        text += extra;
    }
    const char *name = zet_name();
    if (log->dest & ZLOG_DEST_SYSLOG)
        to_syslog(log, priority, text);
    if ((log->dest & ZLOG_DEST_FILE) && log->fd >= 0)
        write_file(log, name, text);
    if (log->dest & ZLOG_DEST_STDERR)
        to_stderr(name, text);
    if (log->sink != nullptr)
        log->sink(log->sink_ctx, priority, text.c_str());
}

void vlog(lib_globals *zg, zlog_rec *log, int priority, const char *format, va_list ap) {
    if (format == nullptr)
        return;
    if (log == nullptr && zg != nullptr)
        log = zg->log;
    std::string text = format_line(format, ap);
    if (log == nullptr)
        to_stderr(zet_name(), text);
    else
        emit(log, priority, std::move(text));
}

} // namespace

struct zlog *openzlog(struct lib_globals *zg, uint32_t instance, uint32_t flags) {
    auto log = std::make_unique<zlog_rec>();
    log->instance = instance;
    log->dest = flags & (ZLOG_DEST_SYSLOG | ZLOG_DEST_STDERR);
    if (log->dest == 0)
        log->dest = ZLOG_DEST_SYSLOG;
    if (log->dest & ZLOG_DEST_SYSLOG)
        open_syslog(log.get());
    if (zg != nullptr && zg->log == nullptr)
        zg->log = log.get();
    {
        std::lock_guard lock(open_mu);
        open_logs().insert(log.get());
    }
    return log.release();
}

void closezlog(struct lib_globals *zg, zlog_rec *log) {
    if (log == nullptr)
        return;
    if (zg != nullptr && zg->log == log)
        zg->log = nullptr;
    {
        std::lock_guard lock(open_mu);
        open_logs().erase(log);
    }
    std::unique_ptr<zlog_rec> owned(log);
    close_file(log);
    if (log->syslog_open)
        closelog();
}

void zlog(struct lib_globals *zg, zlog_rec *log, int priority, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    vlog(zg, log, priority, format, ap);
    va_end(ap);
}

#define ZLOG_LEVEL_FUNC(fname, prio)                                                               \
    void fname(struct lib_globals *zg, const char *format, ...) {                                  \
        va_list ap;                                                                                \
        va_start(ap, format);                                                                      \
        vlog(zg, nullptr, prio, format, ap);                                                       \
        va_end(ap);                                                                                \
    }

ZLOG_LEVEL_FUNC(zlog_err, ZLOG_ERR)
ZLOG_LEVEL_FUNC(zlog_warn, ZLOG_WARNING)
ZLOG_LEVEL_FUNC(zlog_info, ZLOG_INFO)
ZLOG_LEVEL_FUNC(zlog_debug, ZLOG_DEBUG)

int zlog_rotate(struct lib_globals *zg, zlog_rec *log) {
    if (log == nullptr && zg != nullptr)
        log = zg->log;
    if (log == nullptr)
        return 0;
    std::lock_guard lock(log->mu);
    if (log->fd < 0)
        return 0;
    std::string why;
    int fd = open_file(log->path.c_str(), why);
    if (fd < 0)
        return -1;
    close_file(log);
    log->fd = fd;
    return 0;
}

int zlog_set_file(zlog_rec *log, const char *path) {
    return zlog_set_file_why(log, path, nullptr, 0);
}

int zlog_set_file_why(zlog_rec *log, const char *path, char *why, size_t why_size) {
    std::string reason = "no file name";
    int fd = log != nullptr && path != nullptr && *path != '\0' ? open_file(path, reason) : -1;
    if (fd < 0) {
        int err = errno;
        if (why != nullptr && why_size > 0)
            snprintf(why, why_size, "%s", reason.c_str());
        errno = err;
        return -1;
    }
    std::lock_guard lock(log->mu);
    close_file(log);
    log->fd = fd;
    log->path = path;
    log->dest = ZLOG_DEST_FILE;
    return 0;
}

int zlog_set_discard(zlog_rec *log) {
    if (log == nullptr)
        return -1;
    std::lock_guard lock(log->mu);
    close_file(log);
    log->path.clear();
    log->dest = 0;
    return 0;
}

uint64_t zlog_lost_lines(const zlog_rec *log) {
    if (log == nullptr)
        return 0;
    std::lock_guard lock(log->mu);
    return log->lost;
}

int zlog_set_syslog(zlog_rec *log) {
    if (log == nullptr)
        return -1;
    std::lock_guard lock(log->mu);
    close_file(log);
    log->path.clear();
    open_syslog(log);
    log->dest = ZLOG_DEST_SYSLOG;
    return 0;
}

void zlog_set_sink(zlog_rec *log, zlog_sink sink, void *ctx) {
    if (log == nullptr)
        return;
    std::lock_guard lock(log->mu);
    log->sink = sink;
    log->sink_ctx = sink != nullptr ? ctx : nullptr;
}

void zlog_set_suffix(zlog_rec *log, zlog_suffix suffix, void *ctx) {
    if (log == nullptr)
        return;
    std::lock_guard lock(log->mu);
    log->suffix = suffix;
    log->suffix_ctx = ctx;
}

void zlog_set_syslog_writer(zlog_rec *log, zlog_syslog_writer writer, void *ctx) {
    if (log == nullptr)
        return;
    std::lock_guard lock(log->mu);
    log->writer = writer;
    log->writer_ctx = ctx;
}

const char *zlog_file(const zlog_rec *log) {
    if (log == nullptr)
        return nullptr;
    std::lock_guard lock(log->mu);
    return log->fd >= 0 ? log->path.c_str() : nullptr;
}

bool zlog_is_open(const zlog_rec *log) {
    std::lock_guard lock(open_mu);
    return log != nullptr && open_logs().count(log) != 0;
}

void zlog_unset_sink(zlog_rec *log, void *ctx) {
    std::lock_guard lock(open_mu);
    if (log == nullptr || open_logs().count(log) == 0)
        return;
    std::lock_guard log_lock(log->mu);
    if (log->sink_ctx == ctx) {
        log->sink = nullptr;
        log->sink_ctx = nullptr;
    }
}
