// Pieces of start-up that touch the process around the daemon: the monitor handshake, the
// console redirection and the capability flag.
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Only a parent whose program path (not an argument) names the monitor gets the first real-time
// signal, which ends a sleep that has no handler for it; a parent already gone is no error.
TEST(VeskStart, OnlyAMonitorParentGetsTheFirstRealTimeSignal) {
    const struct {
        const char *argv0, *argument;
        int notified;
    } cases[] = {{"/usr/lib/switch/vesk-monitor", nullptr, 1},
                 {"/bin/sleep", nullptr, 0},
                 {"/bin/bash", "monitor", 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv0);
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (c.argument == nullptr)
                execl("/bin/sleep", c.argv0, "30", static_cast<char *>(nullptr));
            else // two commands, so the shell stays with its own command line
                execl("/bin/bash", c.argv0, "-c", "sleep 30; :", c.argument,
                      static_cast<char *>(nullptr));
            _exit(127);
        }
        const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
        const std::string shows = c.argument != nullptr ? c.argument : c.argv0;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (read_file(path).find(shows) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(vesk_monitor_notify(pid), c.notified);
        if (c.notified == 0)
            kill(-pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status));
        EXPECT_EQ(WTERMSIG(status), c.notified != 0 ? SIGRTMIN : SIGTERM);
    }
    pid_t gone = fork();
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);
    EXPECT_EQ(vesk_monitor_notify(gone), 0);
}

TEST(VeskStart, ConsoleBecomesStandardInputOutputAndError) {
    char path[] = "/tmp/dmn-console-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // What the test program printed before must not be written a second time by the child.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Without a newline this stays in stdio's buffer whatever the stream is; it was
        // written for the old stream and must not reach the console.
        std::fputs(" ", stdout);
        if (vesk_console_redirect(path) != 0)
            _exit(2);
        std::printf("out\n");
        std::fflush(stdout);
        std::fprintf(stderr, "err\n");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path), "out\nerr\n");
    unlink(path);
}

TEST(VeskStart, ConsoleThatCannotOpenLeavesTheStreams) {
    struct stat before[3]{};
    for (int fd = 0; fd < 3; fd++)
        fstat(fd, &before[fd]);
    EXPECT_EQ(vesk_console_redirect("/nonexistent/dmn/console"), -1);
    for (int fd = 0; fd < 3; fd++) {
        struct stat after {};
        ASSERT_EQ(fstat(fd, &after), 0);
        EXPECT_EQ(after.st_ino, before[fd].st_ino) << fd;
        EXPECT_EQ(after.st_dev, before[fd].st_dev) << fd;
    }
}

TEST(VeskStart, CapabilityCheckSetsTheVrfFlag) {
    vesk_cap_have_vrf = 0;
    vesk_feature_capability_check(nullptr);
    EXPECT_EQ(vesk_cap_have_vrf, 1);
}

} // namespace
