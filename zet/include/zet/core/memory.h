// Typed, zero-filled allocation with live counters per type.
#pragma once

#include <cstddef>

// Types of the framework's own records; a daemon numbers its own above them.
enum : int {
    MTYPE_ZET_THREAD = 5,
    MTYPE_ZET_IF = 6,
    MTYPE_ZET_VR = 7,       // virtual-router record
    MTYPE_ZET_IF_GROUP = 8, // the interface group
    MTYPE_ZET_IF_TABLE = 9, // a virtual router's interface table
    MTYPE_MAX = 1024,
};

// Zero-filled memory of size bytes, or null (also when a failure was injected for type, and
// for a type outside 0..MTYPE_MAX-1). Size 0 gives a valid, distinct pointer. Thread-safe.
void *mfh_calloc(int type, size_t size);
// Frees memory that mfh_calloc gave for the same type; null is ignored. Thread-safe.
void pal_mem_free(int type, void *p);

// Live records of a type (allocated and not yet freed).
long memory_live(int type);
// Sum of live records over every type.
long memory_live_total(void);
// The next n allocations of type fail (tests); n = 0 clears it.
void memory_fail_next(int type, int n);
// Allocations of type still set to fail (tests).
int memory_fail_pending(int type);
// Calls fn for each type with live records, in ascending type order.
void memory_foreach_live(void (*fn)(void *ctx, int type, long live), void *ctx);
