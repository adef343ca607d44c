// A real veskd on the socket backends, driven by the scenario files in scenarios/ (their steps are
// in scenarios/README.md). The integration tests are one program: the other sources of this
// folder join this one.
#include "support/daemon_process.h"
#include "vesk/daemon/recv_thread.h"

namespace {

VESK_SCENARIOS(Socket, VESK_SOURCE_DIR "/tests/integration/scenarios", ".*");

// A signal during start-up stops the daemon before its receive thread ever ran: nothing to stop
// is no failure, so the framework is still freed.
TEST(ReceiveThread, StopBeforeItEverRanIsNoFailure) {
    EXPECT_EQ(vesk_recv_thread_stop(nullptr), 0);
}

} // namespace
