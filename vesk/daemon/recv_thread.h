// The receive thread: blocks on the frame socket and hands frames to the loop verdict.
#pragma once

struct lib_globals;

// Starts the thread with the framework handle: 0, or -1 when it cannot be created.
int vesk_recv_thread_start(struct lib_globals *zg);
// Closes zg's frame socket, which ends the receive loop, and waits up to a second for the
// thread: 0 when it is gone (or never ran), -1 when it did not end in time.
int vesk_recv_thread_stop(struct lib_globals *zg);
