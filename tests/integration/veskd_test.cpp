// A real veskd on the socket backends driven by scenarios/, and its writes of the configuration
// killed at random points: the file is always the old or the new one, whole, beside one temporary.
#include <random>
#include <thread>

#include "support/daemon_process.h"
#include "vesk/daemon/recv_thread.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using vesk_test::read_file;

VESK_SCENARIOS(Socket, VESK_SOURCE_DIR "/tests/integration/scenarios", ".*");

// A signal during start-up stops the daemon before its receive thread ever ran: nothing to stop
// is no failure, so the framework is still freed.
TEST(ReceiveThread, StopBeforeItEverRanIsNoFailure) {
    EXPECT_EQ(vesk_recv_thread_stop(nullptr), 0);
}

// "write" on the vty, veskd killed at a random moment after it, spread over twice the time the
// fastest of three whole writes took in the build at hand, so that kills land before, inside and
// after it: one slow first write would put nearly every kill after the rename.
TEST(Faults, DaemonWriteKilledAtRandomPoints) {
    vesk_test::Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    long fastest_us = 1000000;
    for (int i = 0; i < 3; i++) {
        const auto t0 = steady_clock::now();
        rig.cmd("write");
        fastest_us = std::min(fastest_us, long((steady_clock::now() - t0) / 1us));
    }
    std::uniform_int_distribution<long> delay_us(0, 2 * fastest_us);
    ASSERT_EQ(rig.stop(SIGKILL), -1);
    std::mt19937 rng(7);
    int got_through = 0, before = 0;
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string old_text = read_file(rig.config_path());
        ASSERT_NO_FATAL_FAILURE(rig.start());
        rig.configure(
            {"interface ge1", "loop-detect tx-interval time " + std::to_string(10 + round)});
        const std::string new_text = rig.cmd("show running-config");
        const int raw = vesk_test::connect_unix(rig.vty_path());
        EXPECT_EQ(write(raw, "write\n", 6), 6);
        std::this_thread::sleep_for(delay_us(rng) * 1us);
        EXPECT_EQ(rig.stop(SIGKILL), -1);
        close(raw);
        const std::string now = read_file(rig.config_path());
        EXPECT_TRUE(now == old_text || now == new_text)
            << "the file has " << now.size() << " bytes";
        int temporaries = 0;
        for (const auto &e : std::filesystem::directory_iterator(rig.dir))
            temporaries += e.path().filename().string().starts_with("veskd.conf.tmp") ? 1 : 0;
        EXPECT_LE(temporaries, 1);
        (now == new_text ? got_through : before)++;
    }
    EXPECT_GT(before, 0) << "no kill landed before the rename";
    EXPECT_GT(got_through, 0) << "no write completed";
}

} // namespace
