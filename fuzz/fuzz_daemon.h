// A daemon state for the fuzz targets: the framework on a virtual clock, logging nowhere, an
// NSM client that only records what it would send, the master record and bridge "1". Each
// input builds its state afresh and tears it down, so a finding replays from its input alone,
// and every record must be given back (a leak is a finding too).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>

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

// The switch of the command-line targets: ports ge1 (VLANs 1, 10, 20), ge2 (1, 10), ge10 (30)
// and xe1 (1) of bridge "1", and eth0, an interface of no bridge.
void add_switch();
// Runs text as a configuration file: the number of failing lines, or -1.
int read_config(const std::string &text);
// The daemon's running configuration, read into a fresh daemon with the same switch, must give
// the same lines (the order of a port's protect VLANs may differ: it follows the order they were
// added in), and reading that once more must give the same text. Stops the daemon (with its
// leak check) on the way.
void check_round_trip_and_stop();
// Runs the fuzz process where files that commands create can do no harm: $VESK_FUZZ_SCRATCH,
// else a fresh directory under /tmp; standard output (dump commands) goes to /dev/null.
void enter_scratch();

// Aborts with a message when the model of any bridge contradicts itself: entry counts against
// entries,
// memberships on the port's side against the VLANs' side, protect entries against
// memberships, states and timers in range.
void check_model();

// Aborts with message (and the formatted values) as a finding.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vesk_fuzz
