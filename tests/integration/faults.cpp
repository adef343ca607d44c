// A real veskd under abuse: a megabyte of random bytes as its configuration file, writes of the
// file killed at random points, vty sessions that never read or come two hundred at once (peers
// that misbehave are the scenario peers_misbehave.scn). It must keep serving within a second,
// keep its file whole and its configuration, and not leak.
#include <cerrno>
#include <fstream>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>

#include "support/daemon_process.h"
#include "zet/cli/config.h"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;
using vesk_test::open_descriptors;
using vesk_test::proc_status_kib;
using vesk_test::read_file;
using vesk_test::Veskd;
using vesk_test::wait_for;

// The vty answers another session within a second.
void answers_quickly(Veskd &rig, const std::string &while_what) {
    const auto t0 = steady_clock::now();
    EXPECT_NE(rig.cmd("show loop-detect"), "") << while_what;
    EXPECT_LT(steady_clock::now() - t0, 1s) << "vty slow " << while_what;
}

TEST(Faults, MegabyteOfRandomBytesAtStartUp) {
    std::mt19937 rng(20261206);
    std::string garbage(1 << 20, '\0');
    for (char &c : garbage)
        c = static_cast<char>(rng() & 0xff);
    Veskd rig(garbage);
    const auto t0 = steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    EXPECT_LT(steady_clock::now() - t0, 10s) << "start-up with 1 MB of garbage";
    answers_quickly(rig, "after 1 MB of garbage");
    // The good first line applied; every garbage line failed on its own and changed nothing.
    const std::string log = rig.log(), summary = ": 1 commands applied, ";
    const size_t at = log.find(summary);
    ASSERT_NE(at, std::string::npos) << "no summary of the file";
    EXPECT_GT(std::atoi(log.c_str() + at + summary.size()), 3000)
        << "a megabyte of random bytes holds about 4000 lines";
    ASSERT_NO_FATAL_FAILURE(rig.configure({"interface ge1", "loop-detect enable"}));
    EXPECT_NE(rig.cmd("show running-config").find("loop-detect enable"), std::string::npos);
}

// After a write of new_text over old_text was killed, the file is one of them, whole, and at most
// the temporary file of that one write is left beside it. Gives whether the write got through.
bool judge_killed_write(const std::string &path, const std::string &old_text,
                        const std::string &new_text) {
    const std::string now = read_file(path);
    EXPECT_TRUE(now == old_text || now == new_text) << "the file has " << now.size() << " bytes";
    int temporaries = 0;
    for (const auto &e :
         std::filesystem::directory_iterator(std::filesystem::path(path).parent_path()))
        temporaries += e.path().filename().string().starts_with("veskd.conf.tmp") ? 1 : 0;
    EXPECT_LE(temporaries, 1);
    return now == new_text && now != old_text;
}

// A moment to kill a write at, spread over twice the time a whole write took in the build at
// hand, so that kills land before, inside and after it on a sanitizer build of a busy machine too.
std::chrono::microseconds kill_delay(std::mt19937 &rng, steady_clock::duration whole, long least) {
    return 1us *
           std::uniform_int_distribution<long>(0, std::max(least, 2 * long(whole / 1us)))(rng);
}

// A writer process replaces the file and is killed at a random moment.
TEST(Faults, AtomicWriteKilledAtRandomPoints) {
    const std::string dir = vesk_test::make_temp_dir("flt-wr-"), path = dir + "/veskd.conf";
    const std::string texts[2] = {std::string(1 << 20, 'a') + "\n",
                                  std::string(1 << 19, 'b') + "\n"};
    auto writer = [&](const std::string &text) {
        pid_t pid = fork();
        std::string err;
        if (pid == 0)
            _exit(zet::config::write_atomic(path.c_str(), text, err) ? 0 : 1);
        return pid;
    };
    const auto t0 = steady_clock::now();
    int status = 0;
    waitpid(writer(texts[0]), &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto whole = steady_clock::now() - t0;
    std::mt19937 rng(7);
    int new_found = 0;
    for (int round = 0; round < 100; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string &old_text = texts[round % 2], &new_text = texts[(round + 1) % 2];
        pid_t child = writer(new_text);
        std::this_thread::sleep_for(kill_delay(rng, whole, 20000));
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        if (judge_killed_write(path, old_text, new_text))
            new_found++;
        else // the next round replaces the other text
            std::ofstream(path, std::ios::binary | std::ios::trunc) << new_text;
    }
    EXPECT_GT(100 - new_found, 0) << "no kill landed before the rename";
    EXPECT_GT(new_found, 0) << "no write completed";
    vesk_test::remove_dir(dir);
}

// The same through the daemon: "write" on the vty, veskd killed at a random moment after it.
TEST(Faults, DaemonWriteKilledAtRandomPoints) {
    Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    const auto t0 = steady_clock::now();
    rig.cmd("write");
    const auto whole = steady_clock::now() - t0;
    ASSERT_EQ(rig.stop(SIGKILL), -1);
    std::mt19937 rng(11);
    int new_found = 0;
    for (int round = 0; round < 60; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string old_text = read_file(rig.config_path());
        ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
        ASSERT_NO_FATAL_FAILURE(rig.configure(
            {"interface ge1", "loop-detect tx-interval time " + std::to_string(10 + round)}));
        const std::string new_text = rig.cmd("show running-config");
        int raw = vesk_test::connect_unix(rig.vty_path());
        ASSERT_EQ(write(raw, "write\n", 6), 6);
        std::this_thread::sleep_for(kill_delay(rng, whole, 8000));
        ASSERT_EQ(rig.stop(SIGKILL), -1);
        close(raw);
        new_found += judge_killed_write(rig.config_path(), old_text, new_text) ? 1 : 0;
    }
    EXPECT_GT(new_found, 0) << "no write completed";
}

// Sends text for at most limit; gives the bytes the daemon took.
size_t send_for(int fd, const std::string &text, std::chrono::milliseconds limit) {
    size_t sent = 0;
    for (auto until = steady_clock::now() + limit; steady_clock::now() < until;) {
        pollfd p{fd, POLLOUT, 0};
        const ssize_t n = poll(&p, 1, 50) == 1
                              ? send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                              : 0;
        sent += size_t(std::max<ssize_t>(n, 0));
    }
    return sent;
}

// True once the daemon has closed fd's session (end of file or reset after what it sent).
bool closed_by_daemon(int fd) {
    char buf[65536];
    for (ssize_t n;;)
        if ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) <= 0)
            return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

// One session sends commands for six seconds and never reads what they print; then two hundred
// connect at once. The daemon stops reading a session while its output waits, refuses sessions
// past its limit, and gives every descriptor back.
TEST(Faults, VtyClientThatNeverReadsAndTwoHundredConnectionsAtOnce) {
    Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    const long rss = proc_status_kib(rig.pid(), "VmRSS");
    const int descriptors = open_descriptors(rig.pid());
    int silent = vesk_test::connect_unix(rig.vty_path());
    ASSERT_GE(silent, 0);
    std::string burst; // each line asks for the whole running configuration and the full state
    for (int i = 0; i < 200; i++)
        burst += "show running-config\nshow loop-detect\nshow version\n";
    size_t sent = send_for(silent, burst, 3000ms);
    EXPECT_GT(sent, 0u);
    answers_quickly(rig, "while a client does not read");
    sent += send_for(silent, burst, 3000ms);
    answers_quickly(rig, "while a client does not read");
    long grown = proc_status_kib(rig.pid(), "VmRSS") - rss;
    EXPECT_TRUE(!vesk_test::kMemoryMeasurable || grown < 4096)
        << "veskd grew by " << grown << " KiB for a client that never read " << sent << " bytes";
    close(silent);

    std::vector<int> fds;
    for (int i = 0; i < 200; i++)
        if (int fd = vesk_test::connect_unix(rig.vty_path()); fd >= 0)
            fds.push_back(fd);
    EXPECT_GT(fds.size(), 16u);
    answers_quickly(rig, "with 200 connections waiting");
    // Past the session limit the daemon says so and closes; none of them stays half open.
    size_t refused = 0;
    wait_for([&] {
        refused = std::count_if(fds.begin(), fds.end(), closed_by_daemon);
        return refused >= fds.size() - 16;
    });
    EXPECT_GE(refused, fds.size() - 16) << "sessions beyond the limit were not refused";
    for (int fd : fds)
        close(fd);
    EXPECT_TRUE(wait_for([&] { return open_descriptors(rig.pid()) <= descriptors; }))
        << open_descriptors(rig.pid()) << " descriptors, " << descriptors << " before";
    vesk_test::VtyClient again;
    EXPECT_TRUE(again.connect(rig.vty_path()));
    EXPECT_NE(again.command("show loop-detect"), "");
}

} // namespace
