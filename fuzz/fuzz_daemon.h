// What the fuzz targets share: the test world (tests/support/world.h), which aborts on any
// fault. Each input builds it afresh and tears it down, so a finding replays from its input
// alone, the model must hold together at the end, and every record must be given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/world.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

struct nsm_view;

namespace vesk_fuzz {

// The time of day frames are built and judged at.
constexpr long kTimeOfDay = 1700000000;

extern vesk_test::World world;
// Starts the world with its log going nowhere, the time of day at kTimeOfDay.
void start(vesk_test::WorldOptions options = {});
void stop();
// The switch of the command-line targets: ports ge1 (VLANs 1, 10, 20), ge2 (1, 10), ge10 (30)
// and xe1 (1) of bridge "1", and eth0, an interface of no bridge.
void add_switch();
// Runs text as a configuration file: the number of failing lines, or -1.
int read_config(const std::string &text);
// The daemon's running configuration, read into a fresh daemon with the same switch, must give
// the same lines (a port's protect VLANs follow the order they were added in, so order may
// differ), and reading that once more the same text. Stops the daemon on the way.
void check_round_trip_and_stop();
// Applies an NSM view through the client to the daemon's handlers; the model must hold.
void apply_view(const nsm_view &view);
// Every interface goes (an empty view): no port may be left.
void check_all_gone();
// Runs the process where files that commands create can do no harm: $VESK_FUZZ_SCRATCH, else a
// fresh directory under /tmp; standard output (dump commands) goes to /dev/null.
void enter_scratch();
// Aborts with message (and the formatted values) as a finding.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vesk_fuzz
