// The daemon object: what one veskd is made of, built before and apart from its event loop.
#pragma once

#include <cstdint>

#include "vesk/frame/auth.h"
#include "vesk/frame/receive.h"

struct lib_globals;
struct vesk_master;

struct vesk_daemon {
    // The framework: event loop, clock, log, command shell and vty, NSM link and frame socket.
    struct lib_globals *zg = nullptr;
    // The model: bridges, their ports and protect VLANs.
    struct vesk_master *master = nullptr;
    // The frame socket's descriptor, negative until it is open.
    int sockfd = -1;
    // "loop-detect fast-detect": moves of forwarding entries make the ports involved probe.
    uint8_t fast_detect = 1;
    // "loop-detect authentication" and its key.
    struct vesk_frame_auth auth {};
    // Stale frames seen by the verdict.
    struct vesk_stale_record stale {};
};

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

// The daemon whose framework handle zg is, or null.
struct vesk_daemon *vesk_daemon_of(const struct lib_globals *zg);
