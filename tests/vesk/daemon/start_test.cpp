// Pieces of start-up that touch the process around the daemon: the monitor handshake, the
// console redirection and the capability flag.
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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

// Starts "sleep 30" under the program path argv0 and waits until the new command line shows.
pid_t spawn_sleeper(const char *argv0) {
    pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sleep", argv0, "30", static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (read_file(path).rfind(argv0, 0) != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    return pid;
}

int reap_signal(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFSIGNALED(status) ? WTERMSIG(status) : -1;
}

TEST(VeskStart, ParentWhoseProgramPathHasMonitorGetsTheFirstRealTimeSignal) {
    pid_t pid = spawn_sleeper("/usr/lib/switch/vesk-monitor");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(vesk_monitor_notify(pid), 1);
    // sleep has no handler for it, so the real-time signal's default action ends it.
    EXPECT_EQ(reap_signal(pid), SIGRTMIN);
}

TEST(VeskStart, AnyOtherParentGetsNothing) {
    pid_t pid = spawn_sleeper("/bin/sleep");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(vesk_monitor_notify(pid), 0);
    kill(pid, SIGTERM);
    EXPECT_EQ(reap_signal(pid), SIGTERM);
}

TEST(VeskStart, OnlyTheProgramPathCountsNotTheArguments) {
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // Two commands, so the shell stays and keeps its own command line.
        execl("/bin/bash", "/bin/bash", "-c", "sleep 30; :", "monitor",
              static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (read_file(path).find("monitor") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_NE(read_file(path).find("monitor"), std::string::npos);
    EXPECT_EQ(vesk_monitor_notify(pid), 0);
    kill(-pid, SIGTERM);
    EXPECT_EQ(reap_signal(pid), SIGTERM);
}

TEST(VeskStart, UnreadableParentCommandLineIsNoError) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    waitpid(pid, nullptr, 0);
    EXPECT_EQ(vesk_monitor_notify(pid), 0);
}

TEST(VeskStart, ConsoleBecomesStandardInputOutputAndError) {
    char path[] = "/tmp/dmn-console-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
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
