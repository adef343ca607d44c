// The veskd process from outside: its command line, the monitor handshake, and its signals.
// The daemon runs on the socket backends (a wire peer played by the test, an NSM path nobody
// serves), with its vty on a private Unix socket and its log in a file, so nothing of the
// machine is touched.
#include "support/daemon_process.h"
#include "support/vty_server.h"
#include "support/wire_peer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using vesk_test::DaemonProcess;
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
constexpr char kPidFile[] = "/var/run/vesk.pid";

int exit_code(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1000 - status;
}

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
    void SetUp() override {
        dir_ = vesk_test::make_temp_dir("dmn-proc-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        config_path_ = dir_ + "/veskd.conf";
        std::ofstream(config_path_) << "log file " << log_path_ << "\n";
        daemon_ = std::make_unique<DaemonProcess>(dir_);
    }

    void TearDown() override {
        if (HasFailure())
            std::cerr << "---- veskd log ----\n"
                      << read_file(log_path_) << "---- stderr ----\n"
                      << daemon_->err() << "-------------------\n";
        daemon_.reset();
        vesk_test::remove_dir(dir_);
    }

    // Environment that keeps the daemon off the machine's interfaces and shared paths.
    std::vector<std::string> private_env() {
        return {"VESK_FRAME=" + wire_.spec(), "VESK_NSM=unix:" + dir_ + "/no-nsm",
                "VESK_VTY_SOCKET=" + vty_path()};
    }
    std::string vty_path() const { return dir_ + "/vty"; }

    // Runs veskd to its end with args: its exit code.
    int run_to_exit(const std::vector<std::string> &args) {
        EXPECT_TRUE(daemon_->start(args, private_env()));
        int status = 0;
        EXPECT_TRUE(daemon_->wait_exit(&status)) << "veskd did not end";
        return exit_code(status);
    }

    // Starts a daemon that reads the configuration, and waits until its vty answers.
    void start_running(const std::vector<std::string> &extra = {}, const std::string &wrapper = "",
                       const std::string &parent_log = "") {
        std::vector<std::string> args = {"-f", config_path_, "-P", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(daemon_->start(args, private_env(), wrapper, parent_log));
        vesk_test::VtyClient vty;
        ASSERT_TRUE(vty.connect(vty_path(), std::chrono::seconds(10)))
            << "the vty of veskd did not answer";
        ASSERT_TRUE(wait_for([&] { return daemon_->daemon_pid() > 0; }));
    }

    bool log_has(const std::string &text) {
        return wait_for([&] { return read_file(log_path_).find(text) != std::string::npos; });
    }

    std::string dir_;
    std::string log_path_;
    std::string config_path_;
    vesk_test::WirePeer wire_;
    std::unique_ptr<DaemonProcess> daemon_;
};

TEST_F(DaemonProcessTest, HelpPrintsTheUsageAndExitsZero) {
    EXPECT_EQ(run_to_exit({"-h"}), 0);
    EXPECT_EQ(daemon_->out(), kUsage);
    EXPECT_EQ(daemon_->err(), "");
}

TEST_F(DaemonProcessTest, LongHelpIsTheSame) {
    EXPECT_EQ(run_to_exit({"--help", "-r"}), 0);
    EXPECT_EQ(daemon_->out(), kUsage);
}

TEST_F(DaemonProcessTest, MinusRGivesTheHintLineAndExitsOne) {
    EXPECT_EQ(run_to_exit({"-r"}), 1);
    EXPECT_NE(daemon_->err().find(kHint), std::string::npos) << daemon_->err();
    EXPECT_EQ(daemon_->out(), "");
}

TEST_F(DaemonProcessTest, MinusPWithAnArgumentGivesTheHintLineAndExitsOne) {
    EXPECT_EQ(run_to_exit({"-p", "x"}), 1);
    EXPECT_NE(daemon_->err().find(kHint), std::string::npos) << daemon_->err();
    EXPECT_EQ(daemon_->out(), "");
}

TEST_F(DaemonProcessTest, VersionActsBeforeAnUnknownOptionAndExitsZero) {
    EXPECT_EQ(run_to_exit({"-v", "--no-such-option"}), 0);
    EXPECT_NE(daemon_->out(), "");
    EXPECT_EQ(daemon_->err().find(kHint), std::string::npos) << daemon_->err();
}

TEST_F(DaemonProcessTest, VtyPortThatIsNoNumberIsRefused) {
    EXPECT_EQ(run_to_exit({"-P", "x"}), 1);
    EXPECT_NE(daemon_->err().find("invalid vty port 'x'"), std::string::npos) << daemon_->err();
    EXPECT_NE(daemon_->err().find(kHint), std::string::npos) << daemon_->err();
}

TEST_F(DaemonProcessTest, TwoVtyPortsUseTheLaterOne) {
    uint16_t first = vesk_test::free_tcp_port();
    uint16_t later = vesk_test::free_tcp_port();
    ASSERT_NE(first, later);
    ASSERT_TRUE(daemon_->start(
        {"-f", config_path_, "-P", std::to_string(first), "-P", std::to_string(later)},
        private_env()));
    EXPECT_TRUE(wait_for([&] { return tcp_connects(later); })) << "nothing listens on " << later;
    EXPECT_FALSE(tcp_connects(first));
}

TEST_F(DaemonProcessTest, MonitorParentGetsTheFirstRealTimeSignalOnce) {
    const std::string parent_log = dir_ + "/parent.log";
    start_running({}, "/usr/lib/switch/vesk-monitor", parent_log);
    ASSERT_TRUE(wait_for([&] { return read_file(parent_log) == "rtmin\n"; }))
        << "parent saw: " << read_file(parent_log);
    // The handshake comes before the event loop: once a signal has been handled there, no
    // second SIGRTMIN can be on its way.
    kill(daemon_->daemon_pid(), SIGHUP);
    ASSERT_TRUE(log_has("SIGHUP received"));
    EXPECT_EQ(read_file(parent_log), "rtmin\n");
}

TEST_F(DaemonProcessTest, OtherParentGetsNothing) {
    const std::string parent_log = dir_ + "/parent.log";
    start_running({}, "/usr/lib/switch/vesk-supervisor", parent_log);
    kill(daemon_->daemon_pid(), SIGHUP);
    ASSERT_TRUE(log_has("SIGHUP received"));
    EXPECT_EQ(read_file(parent_log), "");
}

TEST_F(DaemonProcessTest, SighupLogsAndLeavesTheDaemonRunning) {
    start_running();
    ASSERT_EQ(daemon_->signal(SIGHUP), 0);
    ASSERT_TRUE(log_has("SIGHUP received"));
    ASSERT_TRUE(log_has("veskd restarting!"));
    EXPECT_TRUE(daemon_->running());
    vesk_test::VtyClient vty;
    ASSERT_TRUE(vty.connect(vty_path()));
    EXPECT_EQ(vty.command("configure terminal"), "");
    EXPECT_EQ(vty.prompt(), "veskd(config)# ");
}

TEST_F(DaemonProcessTest, SigtermRemovesThePidFileAndExitsZero) {
    start_running();
    mkdir("/var/run", 0755);
    ASSERT_TRUE(std::ofstream(kPidFile) << daemon_->pid() << "\n");
    ASSERT_EQ(daemon_->signal(SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(daemon_->wait_exit(&status));
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_NE(access(kPidFile, F_OK), 0) << kPidFile << " is still there";
    EXPECT_NE(read_file(log_path_).find("Terminating on signal"), std::string::npos);
    EXPECT_EQ(read_file(log_path_).find("receive thread did not stop"), std::string::npos);
}

// The service manager's side of the notify protocol: every datagram veskd sends, in order.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string &path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    }
    ~NotifySocket() { close(fd_); }
    // Waits until a datagram holding text has come.
    bool heard(const std::string &text) {
        return wait_for([&] {
            char buf[512];
            ssize_t n;
            while ((n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT)) > 0)
                heard_.append(buf, static_cast<size_t>(n)).push_back('|');
            return heard_.find(text) != std::string::npos;
        });
    }
    std::string all() const { return heard_; }

  private:
    std::string path_;
    std::string heard_;
    int fd_ = -1;
};

TEST_F(DaemonProcessTest, ServiceManagerHearsReadyKeepAlivesAndStopping) {
    NotifySocket manager(dir_ + "/notify");
    std::vector<std::string> env = private_env();
    env.push_back("NOTIFY_SOCKET=" + dir_ + "/notify");
    env.push_back("WATCHDOG_USEC=2000000");
    ASSERT_TRUE(daemon_->start({"-f", config_path_, "-P", "0"}, env));
    ASSERT_TRUE(manager.heard("READY=1|WATCHDOG=1|")) << manager.all();
    // Kicks keep coming from the event loop, one a second for a 2 s watchdog.
    ASSERT_TRUE(manager.heard("READY=1|WATCHDOG=1|WATCHDOG=1|WATCHDOG=1|")) << manager.all();
    ASSERT_EQ(daemon_->signal(SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(daemon_->wait_exit(&status));
    EXPECT_TRUE(manager.heard("|STOPPING=1|")) << manager.all();
}

TEST_F(DaemonProcessTest, SigintStopsLikeSigterm) {
    start_running();
    ASSERT_EQ(daemon_->signal(SIGINT), 0);
    int status = 0;
    ASSERT_TRUE(daemon_->wait_exit(&status));
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_NE(read_file(log_path_).find("Terminating on signal"), std::string::npos);
}

// The pid of a process whose command line mentions text, or 0.
pid_t find_process(const std::string &text) {
    for (const auto &entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        if (read_file(entry.path() / "cmdline").find(text) != std::string::npos)
            return static_cast<pid_t>(std::stoi(name));
    }
    return 0;
}

TEST_F(DaemonProcessTest, DaemonModeDetachesAndKeepsServing) {
    int status = 0;
    ASSERT_TRUE(daemon_->start({"-d", "-f", config_path_, "-P", "0"}, private_env()));
    ASSERT_TRUE(daemon_->wait_exit(&status)) << "the starting process did not return";
    EXPECT_EQ(exit_code(status), 0);
    pid_t detached = 0;
    ASSERT_TRUE(wait_for([&] { return (detached = find_process(config_path_)) > 0; }));
    vesk_test::VtyClient vty;
    bool served = vty.connect(vty_path(), std::chrono::seconds(10));
    pid_t session = getsid(detached);
    kill(detached, SIGTERM);
    EXPECT_TRUE(served) << "the detached daemon did not answer on its vty";
    EXPECT_EQ(session, detached) << "it did not leave the terminal's session";
    EXPECT_TRUE(wait_for([&] { return kill(detached, 0) != 0; })) << "it did not stop";
}

TEST_F(DaemonProcessTest, FrameSocketThatCannotOpenEndsStartUpWithStatusZero) {
    std::vector<std::string> env = {"VESK_FRAME=unix:" + dir_ + "/nobody-listens",
                                    "VESK_NSM=unix:" + dir_ + "/no-nsm",
                                    "VESK_VTY_SOCKET=" + vty_path()};
    ASSERT_TRUE(daemon_->start({"-P", "0"}, env));
    int status = 0;
    ASSERT_TRUE(daemon_->wait_exit(&status));
    EXPECT_EQ(exit_code(status), 0);
    EXPECT_NE(access(vty_path().c_str(), F_OK), 0) << "the vty must not have been opened";
}

} // namespace
