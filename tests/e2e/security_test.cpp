// Who can turn veskd against the switch, tried from end to end: a real veskd on a real Linux
// bridge in network namespaces, attacked by another local user through both vty doors, through
// "log file", by holding TCP sessions, and by a neighbour forging detection frames. One lab is
// shared by all the tests. Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <grp.h>
#include <iostream>
#include <linux/if_packet.h>
#include <memory>
#include <net/ethernet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

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
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0)
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
        dir_ = vesk_test::make_temp_dir("dmn-e2e-sec-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        port_ = 20000 + static_cast<int>(getpid() % 20000);
    }

    void TearDown() override {
        if (HasFailure() && !dir_.empty())
            std::cerr << "---- veskd log ----\n" << read_file(log_path_) << "-------------------\n";
        vty_.reset();
        daemon_.reset();
        if (lab_ != nullptr)
            for (int i = 1; i <= 4; i++) {
                lab_->hairpin(i, false);
                lab_->set_admin(i, true);
            }
        vesk_test::remove_dir(dir_);
    }

    // Starts veskd in the switch namespace with a TCP door and the given configuration lines,
    // and waits until it knows the ports of br0.
    void start(const std::vector<std::string> &lines, const std::vector<std::string> &env = {}) {
        std::ofstream conf(dir_ + "/veskd.conf");
        conf << "log file " << log_path_ << "\n";
        for (const auto &l : lines)
            conf << l << "\n";
        conf.close();
        std::vector<std::string> all_env = {"VESK_NSM=kernel", "VESK_FRAME=packet",
                                            "VESK_VTY_SOCKET=" + dir_ + "/vty"};
        all_env.insert(all_env.end(), env.begin(), env.end());
        daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
        daemon_->set_netns(lab_->switch_ns());
        ASSERT_TRUE(
            daemon_->start({"-f", dir_ + "/veskd.conf", "-P", std::to_string(port_)}, all_env));
        vty_ = std::make_unique<vesk_test::VtyClient>();
        ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s)) << "the vty of veskd did not answer";
        ASSERT_TRUE(wait_for([&] {
            return cmd("show loop-detect interface ge4").find('%') == std::string::npos;
        })) << "veskd did not learn the ports of br0";
    }

    std::string cmd(const std::string &line) { return vty_->command(line); }

    void configure(const std::vector<std::string> &lines) {
        ASSERT_EQ(cmd("configure terminal"), "");
        for (const auto &line : lines)
            ASSERT_EQ(cmd(line), "") << line;
        ASSERT_EQ(cmd("end"), "");
    }

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
        std::string status =
            read_file("/proc/" + std::to_string(daemon_->daemon_pid()) + "/status");
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
        pid_t pid = in_namespace(lab_->neighbour_ns(), false, [victim] {
            int fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
            struct sockaddr_ll to {};
            to.sll_family = AF_PACKET;
            to.sll_ifindex = static_cast<int>(if_nametoindex("n2"));
            to.sll_halen = 6;
            std::memset(to.sll_addr, 0xff, 6);
            uint32_t now = static_cast<uint32_t>(time(nullptr));
            for (uint32_t t = now - 11; t <= now; t++) {
                std::vector<uint8_t> f = forged_frame(victim, t);
                for (int copy = 0; copy < 5; copy++)
                    if (sendto(fd, f.data(), f.size(), 0, reinterpret_cast<sockaddr *>(&to),
                               sizeof to) != static_cast<ssize_t>(f.size()))
                        return 1;
            }
            return 0;
        });
        ASSERT_EQ(exit_status(pid), 0) << "the forged frames could not be sent";
    }

    static vesk_test::SwitchLab *lab_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    std::unique_ptr<vesk_test::VtyClient> vty_;
    std::string dir_, log_path_;
    int port_ = 0;
};

vesk_test::SwitchLab *Security::lab_ = nullptr;

TEST_F(Security, AnotherUserCannotConfigureThroughEitherDoorNorCreateAFile) {
    ASSERT_NO_FATAL_FAILURE(start({"password pw-login", "enable password pw-enable"}));
    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0); // the socket's own mode and credentials decide
    const std::string target = "/tmp/dmn-e2e-made-by-root-" + std::to_string(getpid());
    const std::string guess = "/tmp/dmn-e2e-guess-" + std::to_string(getpid());
    std::ofstream(guess) << "pw-enable\n";
    chmod(guess.c_str(), 0644);
    const std::string attack = " -c 'configure terminal' -c 'log file " + target + "' 2>&1";
    Result unix_door = run_shell(cli(true) + " -s " + dir_ + "/vty" + attack);
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
    std::ofstream(dir_ + "/pw") << "pw-login\npw-enable\n";
    const auto t0 = std::chrono::steady_clock::now();
    Result r = run_shell(cli(false) + " -p " + std::to_string(port_) + " --password-file " + dir_ +
                         "/pw -c 'show privilege' -c enable -c 'show privilege'");
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
    ASSERT_EQ(mkfifo((dir_ + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(symlink((dir_ + "/target").c_str(), (dir_ + "/link").c_str()), 0);
    ASSERT_EQ(cmd("configure terminal"), "");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(cmd("log file " + dir_ + "/fifo"),
              "% Cannot log to " + dir_ + "/fifo: it is not a regular file\n");
    EXPECT_EQ(cmd("do show privilege"), "Current privilege level is 15\n");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 1s);
    EXPECT_EQ(cmd("log file " + dir_ + "/link"),
              "% Cannot log to " + dir_ + "/link: it is a symbolic link\n");
    EXPECT_NE(access((dir_ + "/target").c_str(), F_OK), 0);
    EXPECT_NE(cmd("do show running-config").find("log file " + log_path_ + "\n"), std::string::npos)
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
    vty_->close();
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
    EXPECT_TRUE(operator_session.connect(dir_ + "/vty", 5s)) << "the operator was locked out";
    EXPECT_EQ(operator_session.command("show privilege"), "Current privilege level is 15\n");
    kill(holder, SIGKILL);
    exit_status(holder);
    close(ready[0]);
    close(ready[1]);
}

TEST_F(Security, RunningAsNobodyStillCutsARealLoopLogsWritesAndReopens) {
    const std::string own = dir_ + "/nobody";
    ASSERT_EQ(mkdir(own.c_str(), 0755), 0);
    ASSERT_EQ(chown(own.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
    ASSERT_TRUE(lab_->hairpin(1));
    std::ofstream(own + "/veskd.conf") << "log file " << log_path_ << "\n";
    ASSERT_EQ(chown((own + "/veskd.conf").c_str(), 65534, 65534), 0);
    daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
    daemon_->set_netns(lab_->switch_ns());
    ASSERT_TRUE(
        daemon_->start({"-f", own + "/veskd.conf", "-P", "0"},
                       {"VESK_NSM=kernel", "VESK_FRAME=packet", "VESK_USER=nobody",
                        "VESK_VTY_SOCKET=" + dir_ + "/vty", "VESK_STATE=" + own + "/state"}));
    vty_ = std::make_unique<vesk_test::VtyClient>();
    ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s));
    ASSERT_TRUE(wait_for(
        [&] { return cmd("show loop-detect interface ge1").find('%') == std::string::npos; }));
    EXPECT_EQ(status_field("Uid").substr(0, 5), "65534");
    ASSERT_NO_FATAL_FAILURE(
        configure({"interface ge1", "loop-detect enable", "exit", "log file " + own + "/b.log"}));
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s)) << "ge1 was not shut down";
    log_path_ = own + "/b.log";
    EXPECT_EQ(cmd("write"), "Configuration saved to " + own + "/veskd.conf\n");
    ASSERT_EQ(rename(log_path_.c_str(), (own + "/b.log.1").c_str()), 0);
    ASSERT_EQ(daemon_->signal(SIGUSR1), 0);
    // Released and found again: both lines land in the reopened log, and both requests need
    // CAP_NET_ADMIN.
    ASSERT_NO_FATAL_FAILURE(configure({"interface ge1", "loop-detect force up"}));
    EXPECT_TRUE(wait_for(
        [&] {
            std::string log = read_file(log_path_);
            return log.find("Cancel a loop on the port ge1") != std::string::npos &&
                   log.find("Detect a loop on the port ge1") != std::string::npos;
        },
        10s))
        << "SIGUSR1 did not reopen the log as nobody: " << read_file(log_path_);
    EXPECT_TRUE(
        wait_for([&] { return read_file(own + "/state").find("ge1") != std::string::npos; }, 2s))
        << "no state file kept";
    EXPECT_EQ(read_file(log_path_).find("Cannot"), std::string::npos) << read_file(log_path_);
}

TEST_F(Security, ForgedFramesShutAPortOnlyWithoutAuthenticationAndARealLoopIsStillCut) {
    // Off: the frame format's own check values, which a neighbour can compute.
    ASSERT_NO_FATAL_FAILURE(start({}));
    ASSERT_NO_FATAL_FAILURE(configure({"interface ge1", "loop-detect enable"}));
    std::this_thread::sleep_for(3s); // past the start phase: ge1's frame is seconds old
    ASSERT_NO_FATAL_FAILURE(forge_frames_for_ge1());
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 3s))
        << "the forgery did not work, so this test proves nothing";
    vty_.reset();
    daemon_.reset();
    ASSERT_TRUE(lab_->set_admin(1, true));
    // On: the same forgery shuts nothing, and a real loop behind ge3 is still cut.
    ASSERT_TRUE(lab_->hairpin(3));
    ASSERT_NO_FATAL_FAILURE(start({"loop-detect authentication"}));
    EXPECT_NE(cmd("show running-config").find("\nloop-detect authentication\n"), std::string::npos);
    ASSERT_NO_FATAL_FAILURE(configure({"interface ge1", "loop-detect enable"}));
    std::this_thread::sleep_for(3s);
    ASSERT_NO_FATAL_FAILURE(forge_frames_for_ge1());
    ASSERT_NO_FATAL_FAILURE(configure({"interface ge3", "loop-detect enable"}));
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(3); }, 5s)) << "the real loop was not cut";
    EXPECT_TRUE(lab_->admin_up(1)) << "a forged frame shut ge1";
}

} // namespace
