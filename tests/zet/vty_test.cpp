// The vty server over real sockets (a Unix socket and TCP on 127.0.0.1), driven by the event
// loop on the test's thread: greetings and prompts, several sessions at once, telnet bytes,
// help and completion on the wire, an over-long line refused without harm, clients that leave
// mid-command or stop reading, the session and idle limits, and the doors: TCP logins, the
// Unix socket's peer credentials, and the limits that keep the operator's door open.
#include "support/log_capture.h"
#include "support/vty_server.h"
#include "support/wait_until.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/clock.h"
#include "zet/core/lib.h"
#include "zet/core/thread.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace std::chrono_literals;

namespace {

int show_toy(struct cli *cli, int, char **) {
    cli_out(cli, "toy output\n");
    return 0;
}
const char *show_toy_cmd_help[] = {"Show running system information", "toy", nullptr};
struct cli_element show_toy_cmd = {"show toy", show_toy, show_toy_cmd_help};

// Prints n bytes.
int show_big(struct cli *cli, int, char **argv) {
    int st = 0;
    int n = cmd_str2int(argv[0], &st);
    std::string chunk(1000, 'b');
    for (int i = 0; i < n / 1000; i++)
        cli_out(cli, "%s", chunk.c_str());
    cli_out(cli, "\n");
    return 0;
}
const char *show_big_cmd_help[] = {"Show running system information", "big", "bytes", nullptr};
struct cli_element show_big_cmd = {"show big <1-100000000>", show_big, show_big_cmd_help};

int toy_interface(struct cli *cli, int, char **argv) {
    cli->mode = argv[0][0] == 'p' ? PINTERFACE_MODE : INTERFACE_MODE;
    return 0;
}
const char *toy_interface_cmd_help[] = {"Select an interface", "Interface name", nullptr};
struct cli_element toy_interface_cmd = {"interface IFNAME", toy_interface, toy_interface_cmd_help};

bool ends_with(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// A client socket, non-blocking, read while the test runs the loop.
class Client {
  public:
    Client(lib_globals *zg, const std::string &unix_path) : zg_(zg) {
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        std::strncpy(sun.sun_path, unix_path.c_str(), sizeof sun.sun_path - 1);
        connected_ = connect(fd_, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) == 0;
    }
    Client(lib_globals *zg, uint16_t port) : zg_(zg) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int rc = connect(fd_, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin);
        connected_ = rc == 0 || errno == EINPROGRESS;
    }
    ~Client() { close_now(); }
    bool connected() const { return connected_; }
    void send_text(const std::string &text) {
        size_t done = 0;
        auto deadline = std::chrono::steady_clock::now() + 5s;
        while (done < text.size() && std::chrono::steady_clock::now() < deadline) {
            ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                thread_run_due(zg_);
        }
    }
    // Reads what has arrived; false once the server has closed.
    bool pull() {
        char buf[65536];
        for (;;) {
            ssize_t n = recv(fd_, buf, sizeof buf, 0);
            if (n > 0) {
                got_.append(buf, static_cast<size_t>(n));
                continue;
            }
            if (n == 0)
                eof_ = true;
            return !eof_;
        }
    }
    // Runs the loop until the text received ends with tail; gives everything received and
    // forgets it.
    std::string until(const std::string &tail, std::chrono::milliseconds limit = 5s) {
        vesk_test::run_until(
            zg_,
            [&] {
                pull();
                return ends_with(got_, tail) || eof_;
            },
            limit);
        std::string s;
        s.swap(got_);
        return s;
    }
    // Runs the loop until the server closes the connection.
    bool until_closed(std::chrono::milliseconds limit = 5s) {
        return vesk_test::run_until(
            zg_, [&] { return !pull(); }, limit);
    }
    std::string command(const std::string &line, const std::string &prompt = "veskd# ") {
        send_text(line + "\n");
        return until(prompt);
    }
    // A TCP session's way to privilege 15: the vty password, then enable and its password.
    void login() {
        until("Password: ");
        EXPECT_EQ(command("login-pw", "veskd> "), "veskd> ");
        EXPECT_EQ(command("enable", "Password: "), "Password: ");
        EXPECT_EQ(command("enable-pw", "veskd# "), "veskd# ");
    }
    void close_now() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

  private:
    lib_globals *zg_;
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string got_;
};

const std::string GREETING = "\nHello, this is veskd.\n\nveskd# ";

class Vty : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zet-vty-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/veskd.vty";
        zg = vesk_test::vty_globals_start(path);
        ASSERT_NE(zg, nullptr);
        cli_install(zg->ctree, EXEC_MODE, &show_toy_cmd);
        cli_install(zg->ctree, EXEC_MODE, &show_big_cmd);
        cli_install(zg->ctree, CONFIG_MODE, &toy_interface_cmd);
        cli_install(zg->ctree, INTERFACE_MODE, &toy_interface_cmd);
    }
    void start(host_vty_limits limits = {16, 600, CLI_LINE_MAX, 1L << 20}) {
        host_vty_set_limits(zg, &limits);
        port = vesk_test::free_tcp_port();
        ASSERT_EQ(host_config_start(zg, nullptr, port), 0);
        ASSERT_EQ(host_vty_port(zg), port);
        ASSERT_STREQ(host_vty_unix_path(zg), path.c_str());
    }
    void set_passwords() {
        host_vty_set_password(zg, HOST_PASSWORD_LOGIN,
                              zet::access::hash_password("login-pw").c_str());
        host_vty_set_password(zg, HOST_PASSWORD_ENABLE,
                              zet::access::hash_password("enable-pw").c_str());
    }
    void TearDown() override {
        lib_stop(zg);
        zet_clock_use_monotonic();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the Unix socket is removed";
        std::system(("rm -rf " + dir).c_str());
        unsetenv("VESK_VTY_SOCKET");
    }
    int sessions() {
        thread_run_due(zg);
        return host_vty_sessions(zg);
    }
    std::string dir, path;
    uint16_t port = 0;
    lib_globals *zg = nullptr;
};

TEST_F(Vty, UnixSessionGetsGreetingRepliesAndPrompts) {
    start();
    Client c(zg, path);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.until("veskd# "), GREETING);
    EXPECT_EQ(c.command("show toy"), "toy output\nveskd# ");
    EXPECT_EQ(c.command("sh toy"), "toy output\nveskd# ");
    EXPECT_EQ(c.command(""), "veskd# ");
    EXPECT_EQ(c.command("show nothing"), "% Invalid input at word 2: \"nothing\"\nveskd# ");
    // Bytes beyond ASCII and control bytes never reach a command, nor come back in a message.
    EXPECT_EQ(c.command("show \xc3\xa9toy"), "toy output\nveskd# ");
    EXPECT_EQ(c.command("show n\x1b\x9bothing"), "% Invalid input at word 2: \"nothing\"\nveskd# ");
    EXPECT_EQ(c.command("configure terminal", "veskd(config)# "), "veskd(config)# ");
    EXPECT_EQ(c.command("interface ge1", "veskd(config-if)# "), "veskd(config-if)# ");
    EXPECT_EQ(c.command("end"), "veskd# ");
    EXPECT_EQ(c.command("dump-mode", "veskd(dump)# "), "veskd(dump)# ");
    EXPECT_EQ(c.command("exit"), "veskd# ");
    EXPECT_EQ(c.command("disable", "veskd> "), "veskd> ");
    EXPECT_EQ(c.command("enable"), "veskd# ");
    EXPECT_EQ(sessions(), 1);
    c.send_text("exit\n");
    EXPECT_TRUE(c.until_closed());
    EXPECT_EQ(sessions(), 0);
}

TEST_F(Vty, TcpSessionIgnoresTelnetNegotiationAndGetsCrLf) {
    set_passwords();
    start();
    Client c(zg, port);
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.until("Password: "), "\r\nHello, this is veskd.\r\n\r\nPassword: ");
    EXPECT_EQ(c.command("login-pw", "veskd> "), "veskd> ");
    EXPECT_EQ(c.command("enable", "Password: "), "Password: ");
    EXPECT_EQ(c.command("enable-pw"), "veskd# ");
    // IAC WILL ECHO, IAC DO SUPPRESS-GO-AHEAD, a subnegotiation, IAC NOP inside a word, CR LF.
    const unsigned char neg[] = {255, 251, 1, 255, 253, 3, 255, 250, 31, 0, 80, 0, 24, 255, 240};
    std::string line(reinterpret_cast<const char *>(neg), sizeof neg);
    line += "sh";
    line += "\xff\xf1"; // IAC NOP
    line += "ow toy\r\n";
    c.send_text(line);
    EXPECT_EQ(c.until("veskd# "), "toy output\r\nveskd# ");
    // A negotiation split over two sends.
    c.send_text(std::string("\xff", 1));
    c.until("", 50ms);
    c.send_text(std::string("\xfb\x01show toy\r\n"));
    EXPECT_EQ(c.until("veskd# "), "toy output\r\nveskd# ");
}

TEST_F(Vty, TwoSessionsAtOnceKeepTheirOwnModes) {
    set_passwords();
    start();
    Client a(zg, path), b(zg, port);
    a.until("veskd# ");
    b.login();
    EXPECT_EQ(sessions(), 2);
    // Both send before either reads.
    a.send_text("configure terminal\n");
    b.send_text("show toy\n");
    EXPECT_EQ(a.until("veskd(config)# "), "veskd(config)# ");
    EXPECT_EQ(b.until("veskd# "), "toy output\r\nveskd# ");
    a.send_text("interface ge1\n");
    b.send_text("show toy\n");
    EXPECT_EQ(b.until("veskd# "), "toy output\r\nveskd# ");
    EXPECT_EQ(a.until("veskd(config-if)# "), "veskd(config-if)# ");
    // Several lines in one send run in order, each answered by its prompt.
    b.send_text("show toy\nconfigure terminal\nend\n");
    EXPECT_EQ(b.until("veskd(config)# veskd# "), "toy output\r\nveskd# veskd(config)# veskd# ");
}

TEST_F(Vty, HelpAndCompletionOnTheWire) {
    start();
    Client c(zg, path);
    c.until("veskd# ");
    std::string help = c.command("show ?");
    EXPECT_NE(help.find("  toy "), std::string::npos) << help;
    EXPECT_NE(help.find("  big "), std::string::npos) << help;
    EXPECT_TRUE(ends_with(help, "\nveskd# "));
    EXPECT_EQ(c.command("show big ?"), "  <1-100000000>  bytes\nveskd# ");
    EXPECT_EQ(c.command("sh\t"), "show\nveskd# ");
    EXPECT_EQ(c.command("show t\t"), "toy\nveskd# ");
}

TEST_F(Vty, OverLongLineIsRefusedWithoutHarm) {
    start({16, 600, 256, 1L << 20});
    Client c(zg, path), other(zg, path);
    c.until("veskd# ");
    other.until("veskd# ");
    c.send_text("configure terminal\n");
    c.until("veskd(config)# ");
    // In one piece, and in pieces across reads.
    EXPECT_EQ(c.command(std::string(1000, 'x'), "veskd(config)# "),
              "% Line too long (the limit is 256 bytes); it was not run\nveskd(config)# ");
    c.send_text("show " + std::string(200, 'y'));
    c.until("", 50ms);
    c.send_text(std::string(200, 'z'));
    c.until("", 50ms);
    c.send_text("\n");
    EXPECT_EQ(c.until("veskd(config)# "),
              "% Line too long (the limit is 256 bytes); it was not run\nveskd(config)# ");
    // A line of exactly the limit is taken.
    std::string max = "do show toy" + std::string(256 - 11, ' ');
    EXPECT_EQ(c.command(max, "veskd(config)# "), "toy output\nveskd(config)# ");
    // The session is still in its mode and works; the other session never noticed.
    EXPECT_EQ(c.command("do show toy", "veskd(config)# "), "toy output\nveskd(config)# ");
    EXPECT_EQ(other.command("show toy"), "toy output\nveskd# ");
    // A flood without any line end is cut, not stored.
    c.send_text(std::string(1 << 20, 'f') + "\n");
    EXPECT_EQ(c.until("veskd(config)# "),
              "% Line too long (the limit is 256 bytes); it was not run\nveskd(config)# ");
}

TEST_F(Vty, ClientDisconnectingMidCommandLeavesTheServerWell) {
    set_passwords();
    start();
    Client keep(zg, path);
    keep.until("veskd# ");
    {
        // Half a line, then gone.
        Client c(zg, path);
        c.until("veskd# ");
        c.send_text("show to");
        c.until("", 50ms);
        c.close_now();
    }
    {
        // A full command whose reply is large, gone before reading any of it.
        Client c(zg, port);
        c.login();
        c.send_text("show big 3000000\n");
        c.close_now();
    }
    {
        // Gone in the middle of a telnet negotiation.
        Client c(zg, port);
        c.login();
        c.send_text(std::string("\xff\xfa\x18", 3));
        c.close_now();
    }
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return host_vty_sessions(zg) == 1; }))
        << host_vty_sessions(zg);
    EXPECT_EQ(keep.command("show toy"), "toy output\nveskd# ");
}

TEST_F(Vty, ClientThatStopsReadingIsDroppedAndNeverBlocksTheLoop) {
    start({16, 600, CLI_LINE_MAX, 256 * 1024});
    Client slow(zg, path), quick(zg, path);
    slow.until("veskd# ");
    quick.until("veskd# ");
    // 200 replies of 1 MB each, never read: the server stops reading this client once output
    // waits, and drops it when one reply cannot be held.
    std::string lines;
    for (int i = 0; i < 200; i++)
        lines += "show big 1000000\n";
    slow.send_text(lines.substr(0, 4096));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(quick.command("show toy"), "toy output\nveskd# ");
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return host_vty_sessions(zg) == 1; }));
    EXPECT_EQ(quick.command("show toy"), "toy output\nveskd# ");
}

TEST_F(Vty, SlowReaderGetsTheWholeReplyEventually) {
    start();
    Client c(zg, path);
    c.until("veskd# ");
    c.send_text("show big 600000\n");
    std::string reply = c.until("veskd# ", 10s);
    EXPECT_EQ(reply.size(), 600000u + 1 + 7);
    EXPECT_TRUE(ends_with(reply, "b\nveskd# "));
}

TEST_F(Vty, SessionLimitRefusesTheNextClient) {
    set_passwords();
    start({2, 600, CLI_LINE_MAX, 1L << 20});
    Client a(zg, path), b(zg, port);
    a.until("veskd# ");
    b.login();
    Client c(zg, path);
    EXPECT_EQ(c.until("try again later\n"),
              "% Too many vty sessions (the limit is 2); try again later\n");
    EXPECT_TRUE(c.until_closed());
    EXPECT_EQ(sessions(), 2);
    a.close_now();
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return host_vty_sessions(zg) == 1; }));
    Client d(zg, path);
    EXPECT_EQ(d.until("veskd# "), GREETING);
}

TEST_F(Vty, IdleSessionIsClosed) {
    start({16, 1, CLI_LINE_MAX, 1L << 20});
    Client c(zg, path);
    c.until("veskd# ");
    EXPECT_TRUE(c.until_closed(5s));
    EXPECT_EQ(sessions(), 0);
}

TEST_F(Vty, NoTcpListenerForPortZeroAndAStaleSocketIsReplaced) {
    // A stale socket file from an earlier run.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sun {};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun), 0);
    close(fd);
    ASSERT_EQ(host_config_start(zg, nullptr, 0), 0);
    EXPECT_EQ(host_vty_port(zg), 0);
    Client c(zg, path);
    EXPECT_EQ(c.until("veskd# "), GREETING);
}

TEST_F(Vty, ALiveSocketOfAnotherServerIsLeftAlone) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un sun {};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    EXPECT_EQ(host_config_start(zg, nullptr, 0), -1);
    EXPECT_EQ(host_vty_unix_path(zg), nullptr);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    close(fd);
    unlink(path.c_str());
}

TEST_F(Vty, TcpIsRefusedWithoutAPasswordAndLogsInToPrivilegeOneThenEnable) {
    start();
    Client refused(zg, port);
    EXPECT_EQ(refused.until("\n"), "% No vty password is set, so TCP sessions are refused: use the "
                                   "Unix socket (vesk-cli -s PATH)\n");
    EXPECT_TRUE(refused.until_closed());
    set_passwords();
    Client c(zg, port);
    c.until("Password: ");
    EXPECT_EQ(c.command("login-pw", "veskd> "), "veskd> ");
    EXPECT_EQ(c.command("show privilege", "veskd> "), "Current privilege level is 1\r\nveskd> ");
    EXPECT_EQ(c.command("configure terminal", "veskd> "),
              "% Permission denied: this command needs privilege 15 (the session has 1)\r\n"
              "veskd> ");
    EXPECT_EQ(c.command("enable", "Password: "), "Password: ");
    EXPECT_EQ(c.command("login-pw", "veskd> "), "% Wrong password\r\nveskd> ");
    EXPECT_EQ(c.command("enable", "Password: "), "Password: ");
    EXPECT_EQ(c.command("enable-pw"), "veskd# ");
    EXPECT_EQ(c.command("show privilege"), "Current privilege level is 15\r\nveskd# ");
}

TEST_F(Vty, ThreeWrongPasswordsCloseTheSessionASecondApartEvenWhenSentAtOnce) {
    set_passwords();
    start();
    Client c(zg, port);
    c.until("Password: ");
    const auto t0 = std::chrono::steady_clock::now();
    c.send_text("guess1\nguess2\nlogin-pw-not\nlogin-pw\n");
    EXPECT_EQ(c.until("closing\r\n"), "% Wrong password\r\nPassword: % Wrong password\r\n"
                                      "Password: % Wrong password; closing\r\n");
    EXPECT_TRUE(c.until_closed());
    EXPECT_GE(std::chrono::steady_clock::now() - t0, 2s);
}

TEST_F(Vty, TcpNeverTakesTheOperatorsLastSessions) {
    set_passwords();
    start({8, 600, CLI_LINE_MAX, 1L << 20});
    std::vector<std::unique_ptr<Client>> tcp, ops;
    for (int i = 0; i < 4; i++) {
        tcp.push_back(std::make_unique<Client>(zg, port));
        tcp.back()->login();
    }
    Client fifth(zg, port);
    EXPECT_EQ(fifth.until("\n"), "% Too many TCP vty sessions (the limit is 4); try again later\n");
    for (int i = 0; i < 4; i++) {
        ops.push_back(std::make_unique<Client>(zg, path));
        EXPECT_EQ(ops.back()->until("veskd# "), GREETING);
    }
    EXPECT_EQ(sessions(), 8);
}

TEST_F(Vty, AtMostFourLoginsWaitAndNoneLongerThanThirtySeconds) {
    zet_clock_use_virtual(1000);
    set_passwords();
    start();
    std::vector<std::unique_ptr<Client>> waiting;
    for (int i = 0; i < 4; i++) {
        waiting.push_back(std::make_unique<Client>(zg, port));
        waiting.back()->until("Password: ");
    }
    Client fifth(zg, port);
    EXPECT_EQ(fifth.until("\n"), "% Too many logins waiting; try again later\n");
    EXPECT_EQ(waiting[0]->command("login-pw", "veskd> "), "veskd> ");
    Client sixth(zg, port);
    EXPECT_EQ(sixth.until("Password: "), "\r\nHello, this is veskd.\r\n\r\nPassword: ");
    thread_advance(zg, 31);
    EXPECT_EQ(sixth.until("timed out\r\n"), "\r\n% Login timed out\r\n");
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return host_vty_sessions(zg) == 1; }));
    EXPECT_EQ(waiting[0]->command("show toy", "veskd> "), "toy output\r\nveskd> ");
}

TEST_F(Vty, OnlyWholeLinesKeepASessionFromIdling) {
    zet_clock_use_virtual(1000);
    start({16, 10, CLI_LINE_MAX, 1L << 20});
    Client c(zg, path);
    c.until("veskd# ");
    thread_advance(zg, 8);
    EXPECT_EQ(c.command("show toy"), "toy output\nveskd# ");
    for (int i = 0; i < 4; i++) { // a byte every 2 s, never a line end
        c.send_text("x");
        c.until("", 20ms);
        thread_advance(zg, 2);
    }
    EXPECT_EQ(sessions(), 1);
    thread_advance(zg, 2);
    EXPECT_TRUE(c.until_closed());
}

TEST_F(Vty, RefusalsAreLoggedOnceASecondWithACount) {
    zet_clock_use_virtual(1000);
    start();
    vesk_test::LogCapture cap(zg);
    for (int i = 0; i < 50; i++) {
        Client c(zg, port);
        c.until_closed();
    }
    EXPECT_EQ(cap.count("refused"), 1u) << cap.text();
    thread_advance(zg, 1);
    EXPECT_EQ(cap.count("vty: 49 more refused in the last second"), 1u) << cap.text();
}

TEST_F(Vty, UnixSocketRefusesAUserOutsideTheOperatorGroup) {
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    start();
    // As if the socket's mode had been opened to everyone: the credentials still decide.
    ASSERT_EQ(chmod(dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(out[0]);
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(3);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        std::strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0)
            _exit(4);
        char buf[512];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0)
            (void)!write(out[1], buf, static_cast<size_t>(n));
        _exit(0);
    }
    close(out[1]);
    int status = -1;
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    char buf[512] = {};
    ssize_t n = read(out[0], buf, sizeof buf - 1);
    close(out[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0)
                  .rfind("% Access denied: user 65534 is neither root nor in group ", 0),
              0u)
        << buf;
    EXPECT_EQ(sessions(), 0);
}

} // namespace
