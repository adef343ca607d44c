// A daemon state for the fuzz targets: the framework on a virtual clock, logging nowhere, an
// NSM client that only records what it would send, the master record and bridge "1". Each
// input builds its state afresh and tears it down, so a finding replays from its input alone,
// and every record must be given back (a leak is a finding too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

struct vesk_bridge;
struct vesk_port;

namespace vesk_fuzz {

// Seconds of the virtual clock at start, and the time of day frames are built and judged at.
constexpr long kClockStart = 1000000;
constexpr long kTimeOfDay = 1700000000;

// Options of start().
struct StartOptions {
    bool commands = false;     // the framework's and the daemon's command tables
    bool nsm_handlers = false; // the daemon's NSM message handlers and unbind hook
    bool bridge = true;        // bridge "1" made up front (else NSM messages make it)
};

// Starts the framework and the model; aborts when it cannot (that is a finding).
void start(const StartOptions &options = {});
// Frees the model, stops the framework and aborts when any record is still live.
void stop();

// Bridge "1", or null.
vesk_bridge *bridge();
// A running port of bridge "1" on a new interface (MAC 02:00:00:00:00:<ifindex>), member of
// vlans.
vesk_port *add_port(const char *name, uint32_t ifindex, std::initializer_list<uint16_t> vlans);
void join(vesk_port *port, uint16_t vid);
// Moves the frames' time of day (seconds).
void set_time_of_day(long seconds);
// Runs what is due and moves the virtual clock on by seconds.
void advance(long seconds);
// Forgets the port-state requests recorded so far.
void clear_requests();

// Aborts with a message when the model of any bridge contradicts itself: entry counts against
// entries,
// memberships on the port's side against the VLANs' side, protect entries against
// memberships, states and timers in range.
void check_model();

// Aborts with message (and the formatted values) as a finding.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vesk_fuzz
