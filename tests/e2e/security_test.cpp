// Who can turn veskd against the switch, tried from end to end: a real veskd on a real Linux
// bridge in network namespaces, attacked by another local user through both vty doors, through
// "log file", by holding TCP sessions, and by a neighbour forging detection frames. One lab is
// shared by all the tests. Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iostream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vesk_test::read_file;
using vesk_test::wait_for;

const std::string CLI = std::string(VESK_BINARY_DIR) + "/tools/vesk-cli";
constexpr uint64_t NET_ADMIN_AND_RAW = (1ULL << 12) | (1ULL << 13);
constexpr uint8_t BRIDGE_MAC[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

using Result = vesk_test::ShellResult;
using vesk_test::run_shell;

// Runs body in a child process inside network namespace ns, optionally as nobody; the child's
// exit status is body's result.
pid_t in_namespace(const std::string &ns, bool as_nobody, const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    vesk_test::NetnsEntry in(ns);
    if (!in.ok())
        _exit(100);
    if (as_nobody && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
        _exit(101);
    _exit(body());
}

int exit_status(pid_t pid) {
    int st = 0;
    waitpid(pid, &st, 0);
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// RFC 1071 over big-endian words, written into the frame low-order byte first: what anyone
// reading the frame format can compute.
void put_check(uint8_t *image, size_t at, size_t from, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i += 2)
        sum += static_cast<uint32_t>(image[from + i] << 8) |
               (i + 1 < length ? image[from + i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    uint16_t c = static_cast<uint16_t>(~sum);
    image[at] = static_cast<uint8_t>(c & 0xff);
    image[at + 1] = static_cast<uint8_t>(c >> 8);
}

// A detection frame naming port ifindex, VLAN 1 and time t, with the public check values.
std::vector<uint8_t> forged_frame(uint32_t ifindex, uint32_t t) {
    std::vector<uint8_t> f(60, 0);
    std::memset(f.data(), 0xff, 6);
    std::memcpy(f.data() + 6, BRIDGE_MAC, 6);
    const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    std::memcpy(f.data() + 12, arp, sizeof arp);
    std::memcpy(f.data() + 22, BRIDGE_MAC, 6);
    uint32_t be_index = htonl(ifindex), be_time = htonl(t);
    std::memcpy(f.data() + 42, &be_index, 4);
    f[47] = 1;
    std::memcpy(f.data() + 48, &be_time, 4);
    put_check(f.data(), 52, 22, 16);
    put_check(f.data(), 54, 38, 16);
    put_check(f.data(), 56, 0, 29);
    put_check(f.data(), 58, 29, 29);
    return f;
}

class Security : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (geteuid() == 0)
            lab_ = new vesk_test::SwitchLab(4);
    }
    static void TearDownTestSuite() {
        delete lab_;
        lab_ = nullptr;
    }

    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root";
        ASSERT_TRUE(lab_ != nullptr && lab_->ok()) << "the namespaces and the bridge failed";
        d_ = std::make_unique<vesk_test::Veskd>();
        port_ = 20000 + static_cast<int>(getpid() % 20000);
    }
    void TearDown() override {
        d_.reset();
        for (int i = 1; lab_ != nullptr && i <= 4; i++)
            lab_->hairpin(i, false), lab_->set_admin(i, true);
    }
    // Starts veskd in the switch namespace with a TCP door and the given configuration lines,
    // and waits until it knows the ports of br0.
    void start(const std::vector<std::string> &lines, const std::vector<std::string> &env = {}) {
        std::ofstream conf(d_->config_path(), std::ios::app);
        for (const auto &l : lines)
            conf << l << "\n";
        conf.close();
        ASSERT_NO_FATAL_FAILURE(lab_->start(*d_, env, {"-P", std::to_string(port_)}));
    }
    std::string cmd(const std::string &line) { return d_->cmd(line); }

    // vesk-cli in the switch namespace (where the TCP door is), as root or as nobody.
    std::string cli(bool as_nobody) const {
        return "ip netns exec " + lab_->switch_ns() + " " +
               (as_nobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") + CLI;
    }

    uint32_t ifindex(const std::string &name) const {
        Result r = run_shell("ip -n " + lab_->switch_ns() + " -o link show " + name);
        return static_cast<uint32_t>(std::strtoul(r.out.c_str(), nullptr, 10));
    }

    std::string status_field(const std::string &field) const {
        std::string status = read_file("/proc/" + std::to_string(d_->pid()) + "/status");
        size_t at = status.find("\n" + field + ":");
        if (at == std::string::npos)
            return "";
        size_t start = status.find_first_not_of(" \t", at + field.size() + 2);
        return status.substr(start, status.find('\n', start) - start);
    }

    // From behind ge2: every second of the last 12 s, 5 copies each, a frame naming ge1.
    void forge_frames_for_ge1() {
        uint32_t victim = ifindex("ge1");
        ASSERT_GT(victim, 0u);
        int fd = vesk_test::packet_socket(lab_->neighbour_ns(), "n2");
        ASSERT_GE(fd, 0);
        uint32_t now = static_cast<uint32_t>(time(nullptr));
        for (uint32_t t = now - 11; t <= now; t++) {
            std::vector<uint8_t> f = forged_frame(victim, t);
            for (int copy = 0; copy < 5; copy++)
                ASSERT_EQ(send(fd, f.data(), f.size(), 0), ssize_t(f.size())) << "not sent";
        }
        close(fd);
    }

    static vesk_test::SwitchLab *lab_;
    std::unique_ptr<vesk_test::Veskd> d_;
    int port_ = 0;
};

vesk_test::SwitchLab *Security::lab_ = nullptr;

TEST_F(Security, AnotherUserCannotConfigureThroughEitherDoorNorCreateAFile) {
    ASSERT_NO_FATAL_FAILURE(start({"password pw-login", "enable password pw-enable"}));
    ASSERT_EQ(chmod(d_->dir().c_str(), 0711), 0); // the socket's own mode and credentials decide
    const std::string target = "/tmp/dmn-e2e-made-by-root-" + std::to_string(getpid());
    const std::string guess = "/tmp/dmn-e2e-guess-" + std::to_string(getpid());
    std::ofstream(guess) << "pw-enable\n";
    chmod(guess.c_str(), 0644);
    const std::string attack = " -c 'configure terminal' -c 'log file " + target + "' 2>&1";
    Result unix_door = run_shell(cli(true) + " -s " + d_->vty_path() + attack);
    EXPECT_EQ(unix_door.status, 2) << unix_door.out;
    EXPECT_NE(unix_door.out.find("Permission denied"), std::string::npos) << unix_door.out;
    Result tcp_door = run_shell(cli(true) + " -p " + std::to_string(port_) + " --password-file " +
                                guess + attack);
    EXPECT_EQ(tcp_door.status, 2) << tcp_door.out;
    EXPECT_NE(tcp_door.out.find("login failed: % Wrong password"), std::string::npos)
        << tcp_door.out;
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "root created " << target;
    unlink(target.c_str());
    unlink(guess.c_str());
    EXPECT_EQ(cmd("show running-config").find("log file /tmp/dmn-e2e-made"), std::string::npos);
}

TEST_F(Security, PasswordLoginOverTcpGivesOneEnableGivesFifteenThreeWrongClose) {
    ASSERT_NO_FATAL_FAILURE(start({"password pw-login", "enable password pw-enable"}));
    std::ofstream(d_->dir() + "/pw") << "pw-login\npw-enable\n";
    const auto t0 = std::chrono::steady_clock::now();
    Result r = run_shell(cli(false) + " -p " + std::to_string(port_) + " --password-file " +
                         d_->dir() + "/pw -c 'show privilege' -c enable -c 'show privilege'");
    std::cout
        << "login, enable and two commands over TCP: "
        << std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count()
        << " ms\n";
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Current privilege level is 1\nCurrent privilege level is 15\n");
    // Three wrong passwords at once: answered a second apart, then the session ends.
    pid_t pid = in_namespace(lab_->switch_ns(), false, [this] {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(static_cast<uint16_t>(port_));
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0)
            return 1;
        const char guesses[] = "a\nb\nc\nd\n";
        if (send(fd, guesses, sizeof guesses - 1, 0) < 0)
            return 2;
        std::string got;
        char buf[512];
        ssize_t n;
        struct timeval tv {
            5, 0
        };
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        while ((n = recv(fd, buf, sizeof buf, 0)) > 0)
            got.append(buf, static_cast<size_t>(n));
        return n == 0 && got.find("% Wrong password; closing") != std::string::npos ? 0 : 3;
    });
    EXPECT_EQ(exit_status(pid), 0) << "three wrong passwords did not close the session";
}

TEST_F(Security, LogFileOnAFifoLeavesTheVtyAnsweringAndALinkIsNotWrittenThrough) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    const std::string dir = d_->dir();
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir + "/target").c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(cmd("configure terminal"), "");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd("log file " + dir + "/fifo"),
              "% Cannot log to " + dir + "/fifo: it is not a regular file\n");
    EXPECT_EQ(cmd("do show privilege"), "Current privilege level is 15\n");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(cmd("log file " + dir + "/link"),
              "% Cannot log to " + dir + "/link: it is a symbolic link\n");
    EXPECT_NE(access((dir + "/target").c_str(), F_OK), 0);
    EXPECT_NE(cmd("do show running-config").find("log file " + d_->log_path() + "\n"),
              std::string::npos)
        << "the log stays where it was";
}

TEST_F(Security, RootStartedVeskdKeepsOnlyNetAdminAndNetRaw) {
    ASSERT_NO_FATAL_FAILURE(start({}));
    for (const char *set : {"CapEff", "CapPrm", "CapBnd"}) {
        uint64_t caps = std::strtoull(status_field(set).c_str(), nullptr, 16);
        EXPECT_EQ(caps & ~NET_ADMIN_AND_RAW, 0u) << set << " " << std::hex << caps;
    }
    EXPECT_EQ(std::strtoull(status_field("CapEff").c_str(), nullptr, 16), NET_ADMIN_AND_RAW);
    EXPECT_EQ(status_field("NoNewPrivs"), "1");
}

TEST_F(Security, TwentyTcpConnectionsOfAnotherUserLeaveTheUnixSocketOpen) {
    ASSERT_NO_FATAL_FAILURE(start({"password pw-login"}));
    d_->vty().close();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t holder = in_namespace(lab_->switch_ns(), true, [&] {
        for (int i = 0; i < 20; i++) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            struct sockaddr_in sin {};
            sin.sin_family = AF_INET;
            sin.sin_port = htons(static_cast<uint16_t>(port_));
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin);
        }
        (void)!write(ready[1], "x", 1);
        pause();
        return 0;
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    usleep(300 * 1000); // veskd takes the connections in
    vesk_test::VtyClient operator_session;
    EXPECT_TRUE(operator_session.connect(d_->vty_path(), 5s)) << "the operator was locked out";
    EXPECT_EQ(operator_session.command("show privilege"), "Current privilege level is 15\n");
    kill(holder, SIGKILL);
    exit_status(holder);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(Security, RunningAsNobodyStillCutsARealLoopLogsWritesAndReopens) {
    const std::string own = d_->dir() + "/nobody";
    ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(d_->dir().c_str(), 0711), 0);
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_EQ(rename(d_->config_path().c_str(), (own + "/veskd.conf").c_str()), 0);
    ASSERT_EQ(chown((own + "/veskd.conf").c_str(), 65534, 65534), 0);
    ASSERT_NO_FATAL_FAILURE(lab_->start(*d_, {"VESK_USER=nobody", "VESK_STATE=" + own + "/state"},
                                        {"-f", own + "/veskd.conf", "-P", "0"}));
    EXPECT_EQ(status_field("Uid").substr(0, 5), "65534");
    ASSERT_NO_FATAL_FAILURE(d_->configure(
        {"interface ge1", "loop-detect enable", "exit", "log file " + own + "/b.log"}));
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s)) << "ge1 was not shut down";
    d_->set_log_path(own + "/b.log");
    EXPECT_EQ(cmd("write"), "Configuration saved to " + own + "/veskd.conf\n");
    ASSERT_EQ(rename(d_->log_path().c_str(), (own + "/b.log.1").c_str()), 0);
    ASSERT_EQ(d_->process().signal(SIGUSR1), 0);
    // Released and found again: both lines land in the reopened log, and both requests need
    // CAP_NET_ADMIN.
    ASSERT_NO_FATAL_FAILURE(d_->configure({"interface ge1", "loop-detect force up"}));
    EXPECT_TRUE(d_->logged("Cancel a loop on the port ge1") &&
                d_->logged("Detect a loop on the port ge1"))
        << "SIGUSR1 did not reopen the log as nobody: " << d_->log();
    EXPECT_TRUE(
        wait_for([&] { return read_file(own + "/state").find("ge1") != std::string::npos; }, 2s))
        << "no state file kept";
    EXPECT_EQ(d_->log_count("Cannot"), 0u) << d_->log();
}

TEST_F(Security, ForgedFramesShutAPortOnlyWithoutAuthenticationAndARealLoopIsStillCut) {
    // Off: the frame format's own check values, which a neighbour can compute.
    ASSERT_NO_FATAL_FAILURE(start({}));
    ASSERT_NO_FATAL_FAILURE(d_->configure({"interface ge1", "loop-detect enable"}));
    std::this_thread::sleep_for(3s); // past the start phase: ge1's frame is seconds old
    ASSERT_NO_FATAL_FAILURE(forge_frames_for_ge1());
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 3s))
        << "the forgery did not work, so this test proves nothing";
    d_ = std::make_unique<vesk_test::Veskd>();
    ASSERT_TRUE(lab_->set_admin(1, true));
    // On: the same forgery shuts nothing, and a real loop behind ge3 is still cut.
    ASSERT_TRUE(lab_->hairpin(3));
    ASSERT_NO_FATAL_FAILURE(start({"loop-detect authentication"}));
    EXPECT_NE(cmd("show running-config").find("\nloop-detect authentication\n"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(d_->configure({"interface ge1", "loop-detect enable"}));
    std::this_thread::sleep_for(3s);
    ASSERT_NO_FATAL_FAILURE(forge_frames_for_ge1());
    ASSERT_NO_FATAL_FAILURE(d_->configure({"interface ge3", "loop-detect enable"}));
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(3); }, 5s)) << "the real loop was not cut";
    EXPECT_TRUE(lab_->admin_up(1)) << "a forged frame shut ge1";
}

} // namespace
