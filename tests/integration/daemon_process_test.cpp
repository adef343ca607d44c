// The veskd process from outside: its command line, the monitor and service-manager handshakes,
// its signals; and stopping while frames keep arriving. The daemon runs on the socket backends
// (the test plays the wire, nobody serves the NSM path), so nothing of the machine is touched.
#include "support/daemon_process.h"
#include "support/vty_server.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/signals.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vesk_test::read_file;
using vesk_test::wait_for;

constexpr char kUsage[] =
    "Usage : veskd [OPTION...]\n\n"
    "Daemon which manages kernel routing table management and redistribution between "
    "different routing protocols.\n\n"
    "-d, --daemon       Runs in daemon mode\n"
    "-f, --config_file  Set configuration file name\n"
    "-P, --vty_port     Set vty's port number\n"
    "-v, --version      Print program version\n"
    "-h, --help         Display this help and exit\n\n"
    "Report bugs to <veskd-bugs@example.org>\n";
constexpr char kHint[] = "Try `veskd --help' for more information.\n";

bool tcp_connects(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

class DaemonProcessTest : public ::testing::Test {
  protected:
    // Keeps the daemon off the machine's interfaces and shared paths.
    std::vector<std::string> env() {
        return {"VESK_FRAME=" + wire_.spec(), "VESK_NSM=unix:" + d_.dir() + "/no-nsm",
                "VESK_VTY_SOCKET=" + d_.vty_path()};
    }
    // Runs veskd with args to its end: its exit code, its standard output and error.
    int run_to_exit(const std::vector<std::string> &args) {
        EXPECT_TRUE(proc_.start(args, env()));
        int status = 0;
        EXPECT_TRUE(proc_.wait_exit(&status)) << "veskd did not end";
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void start(const std::vector<std::string> &extra_env = {}, const std::string &wrapper = "",
               const std::string &parent_log = "") {
        std::vector<std::string> all = env();
        all.insert(all.end(), extra_env.begin(), extra_env.end());
        ASSERT_TRUE(proc_.start({"-f", d_.config_path(), "-P", "0"}, all, wrapper, parent_log));
        ASSERT_TRUE(vty_.connect(d_.vty_path(), 10s)) << "the vty of veskd did not answer";
        ASSERT_TRUE(wait_for([&] { return proc_.daemon_pid() > 0; }));
    }
    int stop(int signo) {
        int status = 0;
        EXPECT_EQ(proc_.signal(signo), 0);
        EXPECT_TRUE(proc_.wait_exit(&status));
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    vesk_test::Veskd d_;
    vesk_test::DaemonProcess proc_{d_.dir()};
    vesk_test::VtyClient vty_;
    vesk_test::WirePeer wire_;
};

struct OptionCase {
    std::vector<std::string> args;
    int code;
    std::string out, err_has; // out "*": any non-empty output
};

TEST_F(DaemonProcessTest, CommandLineOptions) {
    const OptionCase cases[] = {
        {{"-h"}, 0, kUsage, ""},
        {{"--help", "-r"}, 0, kUsage, ""},
        {{"-r"}, 1, "", kHint},
        {{"-p", "x"}, 1, "", kHint},
        {{"-v", "--no-such-option"}, 0, "*", ""},
        {{"-P", "x"}, 1, "", "invalid vty port 'x'"},
        {{"-P", "x"}, 1, "", kHint},
    };
    for (const OptionCase &c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        EXPECT_EQ(run_to_exit(c.args), c.code);
        if (c.out == "*")
            EXPECT_NE(proc_.out(), "");
        else
            EXPECT_EQ(proc_.out(), c.out);
        if (c.err_has.empty())
            EXPECT_EQ(proc_.err().find(kHint), std::string::npos) << proc_.err();
        else
            EXPECT_NE(proc_.err().find(c.err_has), std::string::npos) << proc_.err();
    }
}

TEST_F(DaemonProcessTest, TwoVtyPortsUseTheLaterOne) {
    uint16_t first = vesk_test::free_tcp_port(), later = vesk_test::free_tcp_port();
    ASSERT_NE(first, later);
    ASSERT_TRUE(proc_.start(
        {"-f", d_.config_path(), "-P", std::to_string(first), "-P", std::to_string(later)}, env()));
    EXPECT_TRUE(wait_for([&] { return tcp_connects(later); })) << "nothing listens on " << later;
    EXPECT_FALSE(tcp_connects(first));
}

// The handshake comes before the event loop: once a signal has been handled there, no second
// SIGRTMIN can be on its way. Only the monitor is told.
TEST_F(DaemonProcessTest, OnlyAMonitorParentGetsTheFirstRealTimeSignalOnce) {
    for (const char *parent : {"vesk-monitor", "vesk-supervisor"}) {
        SCOPED_TRACE(parent);
        const std::string parent_log = d_.dir() + "/" + parent + ".log";
        ASSERT_NO_FATAL_FAILURE(start({}, std::string("/usr/lib/switch/") + parent, parent_log));
        const std::string want = parent == std::string("vesk-monitor") ? "rtmin\n" : "";
        ASSERT_TRUE(wait_for([&] { return read_file(parent_log) == want; }));
        const size_t hups = d_.log_count("SIGHUP received");
        kill(proc_.daemon_pid(), SIGHUP);
        ASSERT_TRUE(wait_for([&] { return d_.log_count("SIGHUP received") > hups; }));
        EXPECT_EQ(read_file(parent_log), want);
        kill(proc_.daemon_pid(), SIGKILL);
        proc_.wait_exit(nullptr);
    }
}

TEST_F(DaemonProcessTest, SighupLogsAndLeavesTheDaemonRunning) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(proc_.signal(SIGHUP), 0);
    ASSERT_TRUE(d_.logged("SIGHUP received"));
    ASSERT_TRUE(d_.logged("veskd restarting!"));
    EXPECT_TRUE(proc_.running());
    EXPECT_EQ(vty_.command("configure terminal"), "");
    EXPECT_EQ(vty_.prompt(), "veskd(config)# ");
}

TEST_F(DaemonProcessTest, SigtermAndSigintRemoveThePidFileAndExitZero) {
    const char *pid_file = "/var/run/vesk.pid";
    for (int signo : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signo);
        ASSERT_NO_FATAL_FAILURE(start());
        mkdir("/var/run", 0755);
        ASSERT_TRUE(std::ofstream(pid_file) << proc_.pid() << "\n");
        const size_t ends = d_.log_count("Terminating on signal");
        EXPECT_EQ(stop(signo), 0);
        EXPECT_NE(access(pid_file, F_OK), 0) << pid_file << " is still there";
        EXPECT_EQ(d_.log_count("Terminating on signal"), ends + 1);
        EXPECT_EQ(d_.log_count("receive thread did not stop"), 0u);
    }
}

// The service manager's side of the notify protocol: every datagram veskd sends, in order.
TEST_F(DaemonProcessTest, ServiceManagerHearsReadyKeepAlivesAndStopping) {
    const std::string path = d_.dir() + "/notify";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string heard;
    auto hears = [&](const std::string &text) {
        return wait_for([&] {
            char buf[512];
            for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
                heard.append(buf, static_cast<size_t>(n)).push_back('|');
            return heard.find(text) != std::string::npos;
        });
    };
    ASSERT_NO_FATAL_FAILURE(start({"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=2000000"}));
    // Kicks keep coming from the event loop, one a second for a 2 s watchdog.
    EXPECT_TRUE(hears("READY=1|WATCHDOG=1|WATCHDOG=1|WATCHDOG=1|")) << heard;
    EXPECT_EQ(stop(SIGTERM), 0);
    EXPECT_TRUE(hears("|STOPPING=1|")) << heard;
    close(fd);
}

TEST_F(DaemonProcessTest, DaemonModeDetachesAndKeepsServing) {
    EXPECT_EQ(run_to_exit({"-d", "-f", d_.config_path(), "-P", "0"}), 0);
    pid_t detached = 0;
    ASSERT_TRUE(wait_for([&] {
        for (const auto &e : std::filesystem::directory_iterator("/proc"))
            if (read_file(e.path() / "cmdline").find(d_.config_path()) != std::string::npos)
                detached = static_cast<pid_t>(std::atoi(e.path().filename().c_str()));
        return detached > 0;
    }));
    bool served = vty_.connect(d_.vty_path(), 10s);
    pid_t session = getsid(detached);
    kill(detached, SIGTERM);
    EXPECT_TRUE(served) << "the detached daemon did not answer on its vty";
    EXPECT_EQ(session, detached) << "it did not leave the terminal's session";
    EXPECT_TRUE(wait_for([&] { return kill(detached, 0) != 0; })) << "it did not stop";
}

TEST_F(DaemonProcessTest, FrameSocketThatCannotOpenEndsStartUpWithStatusZero) {
    ASSERT_TRUE(proc_.start({"-P", "0"}, {"VESK_FRAME=unix:" + d_.dir() + "/nobody-listens",
                                          "VESK_NSM=unix:" + d_.dir() + "/no-nsm",
                                          "VESK_VTY_SOCKET=" + d_.vty_path()}));
    int status = 0;
    ASSERT_TRUE(proc_.wait_exit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_NE(access(d_.vty_path().c_str(), F_OK), 0) << "the vty must not have been opened";
}

// Stopping while frames keep arriving, in this process: the receive thread must be gone before
// the framework it posts into is freed (the sanitizer builds turn a late post into a failure).
class DaemonStopTest : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        veskm = lib_start();
        ASSERT_NE(veskm, nullptr);
        veskm->protocol = VESK_PROTOCOL;
        veskm->master = thread_master_create();
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "%s",
                      wire_.spec().c_str());
        ASSERT_GE(vesk_sock_init(veskm), 0);
        ASSERT_TRUE(wire_.wait_hello());
        vesk_set_pid_file(pid_file_.c_str());
    }
    void TearDown() override {
        stop_.store(true);
        if (storm_.joinable())
            storm_.join();
        if (veskm != nullptr)
            vesk_stop();
        vesk_set_pid_file(nullptr);
        unlink(pid_file_.c_str());
        sockfd = -1;
    }
    // Frames of the right size, as fast as the wire takes them, until TearDown.
    void start_storm() {
        storm_ = std::thread([this] {
            const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
            uint8_t frame[46] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
            while (!stop_.load())
                wire_.deliver(1, mac, mac, frame, sizeof frame) ? void(delivered_++)
                                                                : std::this_thread::yield();
        });
        ASSERT_TRUE(wait_for([&] { return delivered_.load() >= 1000; }, 5s)) << "no storm";
    }

    vesk_test::WirePeer wire_;
    std::string pid_file_ = "/tmp/dmn-stop-" + std::to_string(getpid()) + ".pid";
    std::thread storm_;
    std::atomic<bool> stop_{false};
    std::atomic<long> delivered_{0};
};

// 0: no receive thread; 1: one stopped on its own first; 2: one left to vesk_stop.
TEST_P(DaemonStopTest, StopDuringAStormRemovesThePidFileAndClearsTheHandle) {
    if (GetParam() > 0) { // without a thread there is no pid file either: no error
        ASSERT_TRUE(std::ofstream(pid_file_) << "1\n");
        ASSERT_EQ(vesk_recv_thread_start(veskm), 0);
        ASSERT_NO_FATAL_FAILURE(start_storm());
    }
    if (GetParam() < 2) {
        const auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(vesk_recv_thread_stop(veskm), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, 500ms);
        EXPECT_EQ(vesk_recv_thread_stop(veskm), 0) << "a second stop finds nothing to stop";
    }
    vesk_stop();
    EXPECT_EQ(veskm, nullptr);
    EXPECT_NE(access(pid_file_.c_str(), F_OK), 0);
}

INSTANTIATE_TEST_SUITE_P(ReceiveThread, DaemonStopTest, ::testing::Values(0, 1, 2));

} // namespace
