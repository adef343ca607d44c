#include "vesk/machine/loop_log.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <map>
#include <string>

#include "vesk/host/zet.h"

namespace {

constexpr long long USEC_PER_SEC = 1000000;
// A probe comes back a little sooner or later than the one before: a line that misses the
// interval by less than this is on time, so a loop seen once a probe is logged once a probe.
constexpr long long VESK_LOOP_LOG_SLACK_USEC = 500000;

struct vesk_loop_line {
    long long written_usec;
    // The latest repeat held back.
    long long seen_usec;
    long long interval_usec;
    unsigned held;
};

// By the text of the line: the same text is the same loop, seen from the same ports.
std::map<std::string, vesk_loop_line> vesk_loop_lines;
struct thread *vesk_loop_log_timer;
long long vesk_loop_log_due;

long long vesk_loop_seconds(long long usec) {
    return (usec + USEC_PER_SEC / 2) / USEC_PER_SEC;
}

// A line that has not come again within a second interval is forgotten, its count written.
long long vesk_loop_log_expiry(const vesk_loop_line &line) {
    return line.written_usec + 2 * line.interval_usec;
}

int vesk_loop_log_expire(struct thread *t);

// Without a timer the lines are still held back; only the count of a loop gone quiet waits for
// the next line.
void vesk_loop_log_arm(struct lib_globals *handle, long long due, long long now) {
    if (vesk_loop_log_timer != nullptr && vesk_loop_log_due <= due)
        return;
    thread_cancel(vesk_loop_log_timer);
    const long long msec = std::max((due - now + 999) / 1000, 1LL);
    vesk_loop_log_timer =
        thread_add_timer_msec(handle, vesk_loop_log_expire, nullptr, static_cast<long>(msec));
    vesk_loop_log_due = due;
}

int vesk_loop_log_expire(struct thread *t) {
    vesk_loop_log_timer = nullptr;
    struct lib_globals *handle = THREAD_GLOB(t);
    const long long now = zet_clock_now_usec();
    long long next = 0;
    for (auto it = vesk_loop_lines.begin(); it != vesk_loop_lines.end();) {
        const vesk_loop_line &line = it->second;
        const long long expiry = vesk_loop_log_expiry(line);
        if (expiry > now) {
            next = next == 0 ? expiry : std::min(next, expiry);
            ++it;
            continue;
        }
        if (line.held != 0)
            zlog_warn(handle, "%s (%u more like this in the last %lld s; none in the last %lld s)",
                      it->first.c_str(), line.held, vesk_loop_seconds(now - line.written_usec),
                      vesk_loop_seconds(now - line.seen_usec));
        it = vesk_loop_lines.erase(it);
    }
    if (next != 0)
        vesk_loop_log_arm(handle, next, now);
    return 0;
}

} // namespace

void vesk_loop_log(struct lib_globals *handle, uint32_t interval, const char *format, ...) {
    char text[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    const long long now = zet_clock_now_usec();
    const long long interval_usec = interval * USEC_PER_SEC;
    auto [it, fresh] = vesk_loop_lines.try_emplace(text);
    vesk_loop_line &line = it->second;
    if (!fresh && now - line.written_usec < interval_usec - VESK_LOOP_LOG_SLACK_USEC) {
        line.held++;
        line.seen_usec = now;
        return;
    }
    if (line.held == 0)
        zlog_warn(handle, "%s", text);
    else
        zlog_warn(handle, "%s (%u more like this in the last %lld s)", text, line.held,
                  vesk_loop_seconds(now - line.written_usec));
    line = {now, now, interval_usec, 0};
    vesk_loop_log_arm(handle, vesk_loop_log_expiry(line), now);
}

void vesk_loop_log_forget(void) {
    thread_cancel(vesk_loop_log_timer);
    vesk_loop_log_timer = nullptr;
    vesk_loop_lines.clear();
}
