// tools/vesk-cli against a real veskd, driven by the scenario files beside this one (their steps
// are in docs/testing.md).
#include "support/daemon_process.h"

namespace {

VESK_SCENARIOS(VeskCli, VESK_SOURCE_DIR "/tests/tools", ".*");

} // namespace
