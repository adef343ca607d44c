// The clock that timers and pal_time_tzcurrent read: monotonic in production, virtual in tests.
// There is one clock per process; reads are thread-safe.
#pragma once

#include <sys/time.h>

// Reads the current time on the process clock. tz is ignored and may be null. Gives 0, or -1
// when tv is null.
int pal_time_tzcurrent(struct timeval *tv, void *tz);
// The same time in microseconds.
long long zet_clock_now_usec(void);

// Switches the process clock to a virtual one that stands still until advanced, starting at
// start_sec seconds. Tests only.
void zet_clock_use_virtual(long start_sec);
// Back to the monotonic clock.
void zet_clock_use_monotonic(void);
bool zet_clock_is_virtual(void);
// Moves the virtual clock forward (a negative or zero step does nothing: time never goes back).
void zet_clock_advance_usec(long long usec);
