// The process clock: CLOCK_MONOTONIC in production, a virtual clock that only moves when a
// test advances it. Both are read as microseconds since an arbitrary origin.
#include "zet/core/clock.h"

#include <atomic>
#include <cstdint>
#include <ctime>

namespace {

std::atomic<bool> g_virtual{false};
std::atomic<int64_t> g_virtual_usec{0};

int64_t monotonic_usec() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

} // namespace

long long zet_clock_now_usec(void) {
    if (g_virtual.load(std::memory_order_acquire))
        return g_virtual_usec.load(std::memory_order_acquire);
    return monotonic_usec();
}

int pal_time_tzcurrent(struct timeval *tv, void *tz) {
    (void)tz;
    if (tv == nullptr)
        return -1;
    long long now = zet_clock_now_usec();
    tv->tv_sec = static_cast<time_t>(now / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(now % 1000000);
    return 0;
}

void zet_clock_use_virtual(long start_sec) {
    g_virtual_usec.store(static_cast<int64_t>(start_sec) * 1000000, std::memory_order_release);
    g_virtual.store(true, std::memory_order_release);
}

void zet_clock_use_monotonic(void) {
    g_virtual.store(false, std::memory_order_release);
}

bool zet_clock_is_virtual(void) {
    return g_virtual.load(std::memory_order_acquire);
}

void zet_clock_advance_usec(long long usec) {
    if (usec <= 0)
        return;
    g_virtual_usec.fetch_add(usec, std::memory_order_acq_rel);
}
