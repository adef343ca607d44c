// End-to-end scenarios, root only: a real veskd on a real Linux bridge in network namespaces
// (support/switch_lab.h), driven by the files of scenarios/ (steps in
// tests/integration/scenarios/README.md). Those named storm_* measure CPU and run alone.
#include "support/daemon_process.h"

namespace {

VESK_SCENARIOS(Lab, VESK_SOURCE_DIR "/tests/e2e/scenarios", "(?!storm_).*");
VESK_SCENARIOS(StormTest, VESK_SOURCE_DIR "/tests/e2e/scenarios", "storm_.*");

} // namespace
