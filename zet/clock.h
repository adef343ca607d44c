// The clock that timers and pal_time_tzcurrent read: monotonic in production, virtual in tests.
#pragma once

#include <sys/time.h>

// Reads the current time on the process clock. tz is ignored and may be null.
int pal_time_tzcurrent(struct timeval *tv, void *tz);

// Switches the process clock to a virtual one that stands still until advanced, starting at
// start_sec seconds. Tests only.
void zet_clock_use_virtual(long start_sec);
// Back to the monotonic clock.
void zet_clock_use_monotonic(void);
bool zet_clock_is_virtual(void);
// Moves the virtual clock forward.
void zet_clock_advance_usec(long long usec);
