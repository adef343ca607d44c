// The daemon's life: made (the core every daemon has), built into veskd, run, released. Apart
// from the record (daemon.h), which every part of the daemon reads: this module reaches into them
// all.
#pragma once

#include <cstdint>

#include "vesk/daemon/daemon.h"

// What veskd was asked for on its command line.
struct vesk_daemon_config {
    bool daemon_mode = false;
    const char *config_file = nullptr;
    uint16_t vty_port = 0;
    const char *progname = nullptr;
};

// What vesk_daemon_build gives when another daemon holds the place (its vty socket's lock).
constexpr int VESK_START_LOCKED = -2;

// The core every daemon has, veskd's and a test's alike: the framework handle with its event
// loop and log, the command tables, the model, and an NSM client (not started) that feeds it.
// 0, or -1 when the framework cannot start (d is then empty).
int vesk_daemon_make(struct vesk_daemon *d);
// The whole of veskd's start-up before its event loop: the core, then the operator's settings
// from the environment, the place's lock, the NSM link and frame socket, the configuration file,
// the state file and the dropped privileges. 0, -1 when start-up failed, VESK_START_LOCKED when
// another daemon runs in the same place; on failure d is released.
int vesk_daemon_build(struct vesk_daemon *d, const struct vesk_daemon_config *config);
// Starts the receive thread and the services beside the daemon, then runs the event loop until it
// ends: 0.
int vesk_daemon_run(struct vesk_daemon *d);
// Frees what d holds: the model (ports that loop detection shut down stay shut down) and the
// framework. d is empty afterwards.
void vesk_daemon_release(struct vesk_daemon *d);
