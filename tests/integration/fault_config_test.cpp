// The configuration file under abuse: a megabyte of random bytes as the file read at start-up,
// and "write" killed outright at random points, over a hundred times. The daemon must start
// and serve with whatever lines are good, and the file must always be the old one or the new
// one, complete.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "zet/cli/config.h"

namespace {

using namespace std::chrono_literals;
using vesk_test::Veskd;

std::string random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(rng() & 0xff);
    return out;
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Temporary files of writes to veskd.conf in dir. A write killed before its rename may leave
// its own behind, but never more than that one in all.
int temporaries(const std::string &dir) {
    int n = 0;
    for (const auto &e : std::filesystem::directory_iterator(dir))
        n += e.path().filename().string().starts_with("veskd.conf.tmp") ? 1 : 0;
    return n;
}

TEST(FaultConfig, MegabyteOfRandomBytesAtStartUp) {
    Veskd rig(random_bytes(1 << 20, 20261206));
    const auto begin = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 10s) << "start-up with 1 MB of garbage";
    std::chrono::milliseconds answer{};
    EXPECT_NE(rig.vty().command("show loop-detect", 10s, &answer), "");
    EXPECT_LT(answer, 1000ms);
    // The good first line applied; every garbage line failed on its own and changed nothing.
    const std::string log = rig.log();
    const size_t summary = log.find(": 1 commands applied, ");
    ASSERT_NE(summary, std::string::npos) << "no summary of the file";
    const int failed = std::atoi(log.c_str() + summary + std::strlen(": 1 commands applied, "));
    EXPECT_GT(failed, 3000) << "a megabyte of random bytes holds about 4000 lines";
    ASSERT_NO_FATAL_FAILURE(rig.configure({"interface ge1", "loop-detect enable"}));
    EXPECT_NE(rig.cmd("show running-config").find("loop-detect enable"), std::string::npos);
    EXPECT_TRUE(rig.alive());
}

// A writer process replaces the file and is killed at a random moment; the file is always
// whole. The text is large, so that kills land inside the write as well as around it.
TEST(FaultConfig, AtomicWriteKilledAtRandomPoints) {
    const std::string dir = vesk_test::make_temp_dir("flt-wr-");
    const std::string path = dir + "/veskd.conf";
    const std::string texts[2] = {std::string(1 << 20, 'a') + "\n",
                                  std::string(1 << 19, 'b') + "\n"};
    write_file(path, texts[0]);
    // Kills are spread over twice the time a whole write takes here, so they land before, inside
    // and after it on a fast build as on a sanitizer build of a busy machine.
    const auto t0 = std::chrono::steady_clock::now();
    pid_t writer = fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        std::string err;
        _exit(zet::config::write_atomic(path.c_str(), texts[0], err) ? 0 : 1);
    }
    int writer_status = 0;
    waitpid(writer, &writer_status, 0);
    ASSERT_TRUE(WIFEXITED(writer_status) && WEXITSTATUS(writer_status) == 0);
    const auto whole = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - t0);
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> delay_us(
        0, std::max(20000, static_cast<int>(2 * whole.count())));
    int old_kept = 0, new_found = 0;
    for (int round = 0; round < 100; round++) {
        const std::string &old_text = texts[round % 2];
        const std::string &new_text = texts[(round + 1) % 2];
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string err;
            _exit(zet::config::write_atomic(path.c_str(), new_text, err) ? 0 : 1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        std::string now = vesk_test::read_file(path);
        ASSERT_TRUE(now == old_text || now == new_text)
            << "round " << round << ": the file has " << now.size() << " bytes";
        ASSERT_LE(temporaries(dir), 1) << "round " << round;
        if (now == new_text) {
            new_found++;
        } else {
            old_kept++;
            write_file(path, new_text); // the next round replaces the other text
        }
    }
    std::cerr << "kills: " << old_kept << " before the rename, " << new_found << " after it\n";
    EXPECT_GT(old_kept, 0) << "no kill landed before the rename";
    EXPECT_GT(new_found, 0) << "no write completed";
    vesk_test::remove_dir(dir);
}

// The same through the daemon: "write" on the vty, veskd killed at a random moment after it.
TEST(FaultConfig, DaemonWriteKilledAtRandomPoints) {
    Veskd rig;
    std::mt19937 rng(11);
    std::uniform_int_distribution<int> delay_us(0, 8000);
    int old_kept = 0, new_found = 0;
    for (int round = 0; round < 60; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string old_text = vesk_test::read_file(rig.config_path());
        ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
        const std::string value = std::to_string(10 + round % 290);
        ASSERT_NO_FATAL_FAILURE(
            rig.configure({"interface ge1", "loop-detect tx-interval time " + value}));
        const std::string new_text = rig.cmd("show running-config");
        int raw = -1;
        {
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::strncpy(addr.sun_path, rig.vty_path().c_str(), sizeof addr.sun_path - 1);
            raw = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            ASSERT_EQ(connect(raw, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        }
        ASSERT_EQ(write(raw, "write\n", 6), 6);
        std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
        rig.process().signal(SIGKILL);
        ASSERT_TRUE(rig.process().wait_exit(nullptr));
        close(raw);
        std::string now = vesk_test::read_file(rig.config_path());
        ASSERT_TRUE(now == old_text || now == new_text) << "the file is neither:\n" << now;
        ASSERT_LE(temporaries(rig.dir()), 1);
        (now == new_text && now != old_text ? new_found : old_kept)++;
    }
    std::cerr << "daemon kills: " << old_kept << " kept the old file, " << new_found
              << " found the new one\n";
    EXPECT_GT(new_found, 0) << "no write completed";
}

} // namespace
