// A real veskd on the socket backends driven by scenarios/, and writes of its configuration killed
// at random points: the file is always the old or the new one, whole, beside at most one temporary.
#include <fstream>
#include <random>
#include <sys/wait.h>
#include <thread>

#include "support/daemon_process.h"
#include "vesk/daemon/recv_thread.h"
#include "zet/cli/config.h"

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

using Texts = std::pair<std::string, std::string>;

// Rounds of a write begun by begin(round), which gives the old and the new text, and ended by
// kill() at a random moment. The moments spread over twice the time a whole write took in the
// build at hand, so that they land before, inside and after it on a busy sanitizer build too.
void kill_writes(const std::string &path, int rounds, steady_clock::duration whole, long least_us,
                 const std::function<Texts(int)> &begin, const std::function<void()> &kill) {
    std::mt19937 rng(7);
    std::uniform_int_distribution<long> delay_us(0, std::max(least_us, 2 * long(whole / 1us)));
    int got_through = 0, before = 0;
    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const auto [old_text, new_text] = begin(round);
        ASSERT_FALSE(::testing::Test::HasFatalFailure());
        std::this_thread::sleep_for(delay_us(rng) * 1us);
        kill();
        const std::string now = read_file(path);
        EXPECT_TRUE(now == old_text || now == new_text)
            << "the file has " << now.size() << " bytes";
        int temporaries = 0;
        for (const auto &e :
             std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
            temporaries += e.path().filename().string().starts_with("veskd.conf.tmp") ? 1 : 0;
        EXPECT_LE(temporaries, 1);
        (now == new_text ? got_through : before)++;
    }
    EXPECT_GT(before, 0) << "no kill landed before the rename";
    EXPECT_GT(got_through, 0) << "no write completed";
}

// A writer process replaces a large file.
TEST(Faults, AtomicWriteKilledAtRandomPoints) {
    vesk_test::Veskd rig; // for its directory
    const std::string path = rig.config_path();
    const std::string texts[2] = {std::string(1 << 20, 'a') + "\n",
                                  std::string(1 << 19, 'b') + "\n"};
    pid_t writer = -1;
    auto begin = [&](int round) {
        const Texts t = {texts[round % 2], texts[(round + 1) % 2]};
        std::ofstream(path, std::ios::binary | std::ios::trunc) << t.first;
        std::string err;
        if ((writer = fork()) == 0)
            _exit(zet::config::write_atomic(path.c_str(), t.second, err) ? 0 : 1);
        return t;
    };
    const auto t0 = steady_clock::now();
    int status = 0;
    begin(0);
    waitpid(writer, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    kill_writes(path, 100, steady_clock::now() - t0, 20000, begin, [&] {
        kill(writer, SIGKILL);
        waitpid(writer, nullptr, 0);
    });
}

// "write" on the vty, veskd killed after it.
TEST(Faults, DaemonWriteKilledAtRandomPoints) {
    vesk_test::Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start());
    const auto t0 = steady_clock::now();
    rig.cmd("write");
    const auto whole = steady_clock::now() - t0;
    ASSERT_EQ(rig.stop(SIGKILL), -1);
    int raw = -1;
    auto begin = [&](int round) {
        Texts t = {read_file(rig.config_path()), ""};
        rig.start();
        rig.configure(
            {"interface ge1", "loop-detect tx-interval time " + std::to_string(10 + round)});
        t.second = rig.cmd("show running-config");
        raw = vesk_test::connect_unix(rig.vty_path());
        EXPECT_EQ(write(raw, "write\n", 6), 6);
        return t;
    };
    kill_writes(rig.config_path(), 60, whole, 8000, begin, [&] {
        EXPECT_EQ(rig.stop(SIGKILL), -1);
        close(raw);
    });
}

} // namespace
