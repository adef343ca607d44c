// Logging: one line per call with a time stamp and the protocol's name, to syslog (default),
// a file, standard error, or a capture sink for tests.
#pragma once

#include <cstddef>
#include <cstdint>

struct lib_globals;
struct zlog;

enum zlog_priority : int {
    ZLOG_EMERG = 0,
    ZLOG_ALERT = 1,
    ZLOG_CRIT = 2,
    ZLOG_ERR = 3,
    ZLOG_WARNING = 4,
    ZLOG_NOTICE = 5,
    ZLOG_INFO = 6,
    ZLOG_DEBUG = 7,
};

// Log destinations for openzlog's flags word.
enum : uint32_t {
    ZLOG_DEST_SYSLOG = 1,
    ZLOG_DEST_STDERR = 2,
    ZLOG_DEST_FILE = 4, // set by zlog_set_file only
};

// line is the message alone (no time stamp, no name, no line end).
typedef void (*zlog_sink)(void *ctx, int priority, const char *line);

// Writes to buf (NUL-terminated, at most size bytes) what goes after line, or nothing.
typedef void (*zlog_suffix)(void *ctx, const char *line, char *buf, size_t size);
// Takes a syslog line instead of syslog(3): true when it did, false to let syslog have it.
typedef bool (*zlog_syslog_writer)(void *ctx, int priority, const char *line);

// Opens the process's log; gives the log handle, or null on no memory. flags: ZLOG_DEST_*
// bits (0 = syslog). Lines to a file or stderr read "YYYY/MM/DD HH:MM:SS.mmm NAME: text" where
// NAME is zet_name(). When zg->log is null it becomes this log, and lib_stop
// closes it; any other log is the caller's to close. Thread-safe: any thread may log.
struct zlog *openzlog(struct lib_globals *zg, uint32_t instance, uint32_t flags);
void closezlog(struct lib_globals *zg, struct zlog *log);

// log null means the handle's own log (zg->log). Lines before openzlog go to standard error.
void zlog(struct lib_globals *zg, struct zlog *log, int priority, const char *format, ...)
    __attribute__((format(printf, 4, 5)));
void zlog_err(struct lib_globals *zg, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void zlog_warn(struct lib_globals *zg, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void zlog_info(struct lib_globals *zg, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
void zlog_debug(struct lib_globals *zg, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Reopens the log file (after rotation by another program).
int zlog_rotate(struct lib_globals *zg, struct zlog *log);

// Destinations; each replaces the previous one ("log file", "log syslog", "log stderr").
// Each gives 0, or -1 (file cannot be opened: the old destination stays, errno tells why).
// A log file is opened O_NOFOLLOW|O_NONBLOCK|O_APPEND|O_CREAT (mode 0640) and must be a regular
// file with one name: a symbolic link, FIFO, device, directory or hard-linked file is refused,
// here and when zlog_rotate reopens it. A line the file does not take at once is lost and
// counted (zlog_lost_lines), so logging never waits on the file.
int zlog_set_file(struct zlog *log, const char *path);
// As zlog_set_file; on failure why gets the reason in words ("it is a symbolic link").
int zlog_set_file_why(struct zlog *log, const char *path, char *why, size_t why_size);
// Lines go to no destination (the sink still sees them): fuzzers and benchmarks.
int zlog_set_discard(struct zlog *log);
// Lines the log file did not take (full disk, write error) since the log was opened.
uint64_t zlog_lost_lines(const struct zlog *log);
int zlog_set_syslog(struct zlog *log);
// Every line also goes to sink (null removes it). Tests use this to read the log. The sink runs
// on the logging thread with the log's lock held: it must not log itself.
void zlog_set_sink(struct zlog *log, zlog_sink sink, void *ctx);
// Each line, on every destination and the sink, ends with what suffix writes (null removes it);
// each syslog line goes to writer first (null removes it). Both run on the logging thread with
// the log's lock held: they must not log, and must not wait.
void zlog_set_suffix(struct zlog *log, zlog_suffix suffix, void *ctx);
void zlog_set_syslog_writer(struct zlog *log, zlog_syslog_writer writer, void *ctx);
// Removes the sink registered with ctx; does nothing when log is closed already or has
// another sink (safe for a test's capture that may outlive lib_stop).
void zlog_unset_sink(struct zlog *log, void *ctx);
// Whether log is an open log (from openzlog, not yet closed).
bool zlog_is_open(const struct zlog *log);
// The file in use, or null when not logging to a file. Valid until the destination changes.
const char *zlog_file(const struct zlog *log);
