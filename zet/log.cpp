#include "zet/log.h"

#include "zet/lib.h"
#include "zet/pal.h"

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
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

struct zlog {
    mutable std::mutex mu;
    int protocol = 0;
    uint32_t instance = 0;
    uint32_t dest = ZLOG_DEST_SYSLOG;
    FILE *file = nullptr;
    std::string path;
    zlog_sink sink = nullptr;
    void *sink_ctx = nullptr;
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

void to_stderr(const char *name, const std::string &text) {
    std::lock_guard lock(stderr_mu);
    write_stream(stderr, name, text);
    fflush(stderr);
}

void open_syslog(zlog_rec *log) {
    if (log->syslog_open)
        return;
    snprintf(syslog_ident, sizeof syslog_ident, "%s", zet_protocol_name(log->protocol));
    openlog(syslog_ident, LOG_PID | LOG_NDELAY, LOG_DAEMON);
    log->syslog_open = true;
}

FILE *open_file(const char *path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    if (fd < 0)
        return nullptr;
    FILE *f = fdopen(fd, "a");
    if (f == nullptr) {
        int err = errno;
        close(fd);
        errno = err;
        return nullptr;
    }
    setvbuf(f, nullptr, _IOLBF, 0);
    return f;
}

void emit(zlog_rec *log, int priority, const std::string &text) {
    std::lock_guard lock(log->mu);
    const char *name = zet_protocol_name(log->protocol);
    if (log->dest & ZLOG_DEST_SYSLOG)
        syslog(priority & LOG_PRIMASK, "%s", text.c_str());
    if ((log->dest & ZLOG_DEST_FILE) && log->file != nullptr)
        write_stream(log->file, name, text);
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
        to_stderr(zet_protocol_name(zg != nullptr ? zg->protocol : 0), text);
    else
        emit(log, priority, text);
}

} // namespace

struct zlog *openzlog(struct lib_globals *zg, uint32_t instance, int protocol, uint32_t flags) {
    auto log = std::make_unique<zlog_rec>();
    log->protocol = protocol;
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
    if (log->file != nullptr)
        fclose(log->file);
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
    if (log->file == nullptr)
        return 0;
    FILE *f = open_file(log->path.c_str());
    if (f == nullptr)
        return -1;
    fclose(log->file);
    log->file = f;
    return 0;
}

int zlog_set_file(zlog_rec *log, const char *path) {
    if (log == nullptr || path == nullptr || *path == '\0')
        return -1;
    FILE *f = open_file(path);
    if (f == nullptr)
        return -1;
    std::lock_guard lock(log->mu);
    if (log->file != nullptr)
        fclose(log->file);
    log->file = f;
    log->path = path;
    log->dest = ZLOG_DEST_FILE;
    return 0;
}

int zlog_set_syslog(zlog_rec *log) {
    if (log == nullptr)
        return -1;
    std::lock_guard lock(log->mu);
    if (log->file != nullptr)
        fclose(log->file);
    log->file = nullptr;
    log->path.clear();
    open_syslog(log);
    log->dest = ZLOG_DEST_SYSLOG;
    return 0;
}

int zlog_set_stderr(zlog_rec *log) {
    if (log == nullptr)
        return -1;
    std::lock_guard lock(log->mu);
    if (log->file != nullptr)
        fclose(log->file);
    log->file = nullptr;
    log->path.clear();
    log->dest = ZLOG_DEST_STDERR;
    return 0;
}

void zlog_set_sink(zlog_rec *log, zlog_sink sink, void *ctx) {
    if (log == nullptr)
        return;
    std::lock_guard lock(log->mu);
    log->sink = sink;
    log->sink_ctx = sink != nullptr ? ctx : nullptr;
}

const char *zlog_file(const zlog_rec *log) {
    if (log == nullptr)
        return nullptr;
    std::lock_guard lock(log->mu);
    return log->file != nullptr ? log->path.c_str() : nullptr;
}

uint32_t zlog_destinations(const zlog_rec *log) {
    if (log == nullptr)
        return 0;
    std::lock_guard lock(log->mu);
    return log->dest;
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
