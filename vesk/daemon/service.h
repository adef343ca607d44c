// Telling a service manager (systemd) how veskd is doing: ready, alive, stopping. Silent when
// veskd was not started by one.
#pragma once

struct lib_globals;

// Start-up is done: READY=1, and when the manager watches veskd (WATCHDOG_USEC), a keep-alive
// from the event loop at half the watchdog interval, so a stuck loop gets veskd restarted.
void vesk_service_ready(struct lib_globals *zg);
// STOPPING=1, and the keep-alive ends.
void vesk_service_stopping(void);
// Logs the scheduling veskd runs with, which its service manager sets (veskd asks for none); the
// receive thread inherits it from the main thread.
void vesk_service_note_scheduling(struct lib_globals *zg);
