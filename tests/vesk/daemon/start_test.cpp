// Pieces of start-up that touch the process around the daemon: the monitor handshake, the
// console redirection, the capability flag and the framework's settings from the environment.
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

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

class FrameworkSettings : public ::testing::Test {
  protected:
    void SetUp() override { unset(); }
    void TearDown() override { unset(); }
    static void unset() {
        for (const char *v : {"VESK_NSM", "VESK_FRAME", "VESK_BRIDGE", "VESK_PORT_MAC",
                              "VESK_VTY_SOCKET", "VESK_VTY_GROUP"})
            unsetenv(v);
    }
};

TEST_F(FrameworkSettings, UnsetOrEmptyVariablesKeepTheDefaults) {
    setenv("VESK_NSM", "", 1);
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    vesk_framework_settings(zg);
    EXPECT_STREQ(zg->platform.nsm, "kernel");
    EXPECT_STREQ(zg->platform.frame, "packet");
    EXPECT_STREQ(zg->platform.bridge, "");
    EXPECT_STREQ(zg->platform.port_mac, "bridge");
    lib_stop(zg);
}

TEST_F(FrameworkSettings, PlatformAndVtySocketComeFromTheEnvironment) {
    char dir[] = "/tmp/vesk-settings-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string socket = std::string(dir) + "/vty";
    setenv("VESK_NSM", "unix:/tmp/nsm.sock", 1);
    setenv("VESK_FRAME", "unix:/tmp/wire.sock", 1);
    std::string long_bridge(100, 'b');
    setenv("VESK_BRIDGE", long_bridge.c_str(), 1);
    setenv("VESK_PORT_MAC", "own", 1);
    setenv("VESK_VTY_SOCKET", socket.c_str(), 1);
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    vesk_framework_settings(zg);
    EXPECT_STREQ(zg->platform.nsm, "unix:/tmp/nsm.sock");
    EXPECT_STREQ(zg->platform.frame, "unix:/tmp/wire.sock");
    EXPECT_EQ(std::string(zg->platform.bridge),
              long_bridge.substr(0, sizeof zg->platform.bridge - 1)); // cut to its field
    EXPECT_STREQ(zg->platform.port_mac, "own");
    // The place lock sits beside the socket the daemon handed over.
    EXPECT_EQ(host_lock_place(zg, nullptr, 0), 0);
    EXPECT_EQ(access((socket + ".lock").c_str(), F_OK), 0);
    lib_stop(zg);
    unlink((socket + ".lock").c_str());
    rmdir(dir);
}

TEST(VeskStart, CapabilityCheckSetsTheVrfFlag) {
    vesk_cap_have_vrf = 0;
    vesk_feature_capability_check(nullptr);
    EXPECT_EQ(vesk_cap_have_vrf, 1);
}

} // namespace
