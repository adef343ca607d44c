// The vty server's limits: a record shared by the host, which keeps them, and the server.
#pragma once

// Limits of the vty server; host_vty_set_limits changes them (tests), before or after start.
struct host_vty_limits {
    int max_sessions; // sessions at once; one more is told so and closed (default 16)
    int idle_seconds; // a session with no input for this long is closed; 0 = never (600)
    int max_line;     // bytes of one line; a longer one is refused (default CLI_LINE_MAX)
    long max_pending; // bytes of output waiting for a slow client before it is dropped (1 MiB)
};
