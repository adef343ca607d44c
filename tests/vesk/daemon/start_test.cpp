// What start-up reads and touches around the daemon (its options, the state file, the monitor
// handshake, the console) and what stopping leaves of the model. Option and state-file cases
// are data: usage-cases.txt, state-file-cases.txt, usage.golden.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <thread>

#include "support/daemon_process.h"
#include "support/log_capture.h"
#include "support/transcript.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/state_file.h"
#include "vesk/daemon/teardown.h"
#include "vesk/daemon/usage.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::read_file;
const std::string kDir = VESK_SOURCE_DIR "/tests/vesk/daemon/";

// "ACTION DAEMON PORT FILE [PROGNAME]", and " (port named)" when the error stream named the port.
std::string parse(const std::string &line, vesk_options *opts) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "\"\"" ? "" : w);
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    const int action = vesk_parse_options(static_cast<int>(words.size()), argv.data(), opts);
    const std::string err = testing::internal::GetCapturedStderr();
    const char *names[] = {"start", "help", "version", "bad"};
    return std::string(names[action]) + " " + std::to_string(opts->daemon_mode) + " " +
           std::to_string(opts->vty_port) + " " +
           (opts->config_file != nullptr ? opts->config_file : "-") + " [" + opts->progname + "]" +
           (err.find("invalid vty port") != std::string::npos ? " (port named)" : "");
}

TEST(VeskStart, OptionsInAnyOrderTheLaterWinningAndBadOnesRefused) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(kDir + "usage-cases.txt", cases), "");
    vesk_options opts{};
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.input, &opts), c.expected) << c.where;
    // The usage text goes to the output stream, the hint line to the error stream.
    const std::string want[2] = {read_file(kDir + "usage.golden") + "|",
                                 "|Try `veskd --help' for more information.\n"};
    for (int status : {0, 1}) {
        char *text[2] = {};
        size_t len[2] = {};
        FILE *out = open_memstream(&text[0], &len[0]), *err = open_memstream(&text[1], &len[1]);
        vesk_print_usage(out, err, status, "veskd");
        fclose(out);
        fclose(err);
        EXPECT_EQ(std::string(text[0], len[0]) + "|" + std::string(text[1], len[1]), want[status]);
        free(text[0]);
        free(text[1]);
    }
}

// The state file is read by root at start-up and may have been written by anyone who could
// write there: only what veskd writes itself is accepted, anything else is refused whole.
TEST(VeskStart, StateFileAcceptsOnlyWhatVeskdWrites) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(kDir + "state-file-cases.txt", cases), "");
    for (const auto &c : cases) {
        vesk_state_entry entries[4]{};
        int bad_line = 0;
        const int n = vesk_state_parse(c.input.data(), c.input.size(), entries, 4, &bad_line);
        EXPECT_EQ(std::to_string(n) + " " + std::to_string(bad_line), c.expected) << c.where;
    }
    const std::string text = "veskd-state 1\nshutdown 4294967295 xe1/1 1765000000\n";
    vesk_state_entry e{};
    ASSERT_EQ(vesk_state_parse(text.data(), text.size(), &e, 1, nullptr), 1);
    EXPECT_EQ(e.ifindex, 4294967295u);
    EXPECT_STREQ(e.name, "xe1/1");
    EXPECT_EQ(e.deadline, 1765000000);
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
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (read_file(path).find(c.argument ? c.argument : c.argv0) == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(vesk_monitor_notify(pid), c.notified) << c.argv0;
        if (c.notified == 0)
            kill(-pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, c.notified ? SIGRTMIN : SIGTERM);
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
    // A console that cannot be opened leaves the streams as they are.
    struct stat before[3]{}, after[3]{};
    for (fd = 0; fd < 3; fd++)
        fstat(fd, &before[fd]);
    EXPECT_EQ(vesk_console_redirect("/nonexistent/dmn/console"), -1);
    for (fd = 0; fd < 3; fd++) {
        ASSERT_EQ(fstat(fd, &after[fd]), 0);
        EXPECT_EQ(after[fd].st_ino, before[fd].st_ino) << fd;
        EXPECT_EQ(after[fd].st_dev, before[fd].st_dev) << fd;
    }
}

// Stopping frees every record of the model, sends nothing (a port that loop detection shut
// down stays down), and leaves no timer of the freed ports behind; a second release has
// nothing left to do.
TEST(VeskStart, StoppingFreesTheModelAndAShutDownPortStaysDown) {
    vesk_machine_hook_install();
    zet_clock_use_virtual(1000);
    veskm = lib_start();
    veskm->protocol = VESK_PROTOCOL;
    veskm->master = thread_master_create();
    ASSERT_NE(openzlog(veskm, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG), nullptr);
    auto log = std::make_unique<vesk_test::LogCapture>(veskm);
    ASSERT_NE(nsm_client_create(veskm, 0), nullptr);
    ASSERT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
    vesk_bridge *bridge = vesk_add_bridge(vesk_get_master(veskm)->bridge_list, VESK_BRIDGE_NAME);
    vesk_port *ports[2] = {};
    for (uint32_t i : {0u, 1u}) {
        interface *ifp = if_create(veskm, i == 0 ? "ge1" : "ge2", i + 1);
        ifp->flags = 0x1 | 0x40;
        ports[i] = vesk_bridge_add_port(bridge, ifp);
        for (uint16_t vid : {1, 30})
            vesk_bridge_vlan_add_port(vesk_bridge_add_vlan(bridge, vid), ports[i]);
        EXPECT_EQ(vesk_api_add_protect_vlan(1, ifp, bridge), 0);
        EXPECT_EQ(vesk_api_add_protect_vlan(40, ifp, bridge), 0);
    }
    interface *ifp = ports[0]->ifp;
    vesk_update_state_machine(ports[0]); // a frame of ge1 came back: shut down
    ASSERT_EQ(ports[0]->pstate, VESK_PORT_SHUTDOWN);
    nsm_client_sent_clear(veskm->nc);
    log->clear();
    vesk_release_model(veskm);
    vesk_release_model(veskm);
    for (int type : {MTYPE_VESK_MASTER, MTYPE_VESK_BRIDGE, MTYPE_VESK_VLAN, MTYPE_VESK_PORT,
                     MTYPE_VESK_RLIST, MTYPE_VESK_PROVLAN})
        EXPECT_EQ(memory_live(type), 0) << "allocation type " << type;
    EXPECT_EQ(vesk_get_master(veskm), nullptr);
    EXPECT_EQ(ifp->info, nullptr);
    thread_advance(veskm, 200);
    EXPECT_EQ(nsm_client_sent_count(veskm->nc), 0u);
    EXPECT_FALSE(log->contains("Cancel a loop")) << log->text();
    log.reset();
    lib_stop(veskm);
    veskm = nullptr;
    zet_clock_use_monotonic();
}

} // namespace

// The framework reads no environment: the daemon hands it the VESK_* settings.
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
