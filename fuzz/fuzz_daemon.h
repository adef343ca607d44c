// What the fuzz targets share: the test world, aborting on any fault, built afresh for each input
// (a finding replays from its input alone) and torn down after it, checked and every record back.
// Every target that uses it runs where files that commands create do no harm ($VESK_FUZZ_SCRATCH,
// else a fresh directory under /tmp), standard output to /dev/null.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "support/world.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

struct nsm_view;

namespace vesk_fuzz {

constexpr long kTimeOfDay = 1700000000; // frames are built and judged at this time of day

extern vesk_test::World world;
void start(vesk_test::WorldOptions options = {}); // its log going nowhere
void stop();
// Runs text as a configuration file: the number of failing lines, or -1.
int read_config(const std::string &text);
// Starts with ports ge1 (VLANs 1, 10, 20), ge2 (1, 10), ge10 (30) and xe1 (1), and eth0 of no
// bridge, then reads config: read_config's result.
int start_switch(const std::string &config);
// The running configuration read into a fresh daemon with the same switch gives the same lines
// (protect VLANs follow the order they were added in), and read once more the same text.
// Stops the daemon on the way.
void check_round_trip_and_stop();
void apply_view(const nsm_view &view); // through the client to the handlers; the model must hold
void check_all_gone_and_stop();        // every interface goes: no port may be left
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace vesk_fuzz
