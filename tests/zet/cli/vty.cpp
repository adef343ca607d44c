// The vty server over real sockets (a Unix socket and TCP on 127.0.0.1) with the toy commands,
// driven by the event loop on the test's thread: sessions as scripts of what the client sends
// and what comes back, telnet bytes, over-long lines, clients that leave or stop reading, the
// session, login and idle limits, and the doors.
#include "../zet_test.h"

namespace {

// Pairs of what the client sends and all it gets back then.
using Script = std::vector<std::pair<std::string, std::string>>;
const std::string P = "veskd# ", TOY = "ran \"show toy\" [] mode 4\n",
                  GREETING = "\nHello, this is veskd.\n\n";
const std::string TCP_GREETING = "\r\nHello, this is veskd.\r\n\r\nPassword: ";

sockaddr_un unix_address(const std::string &path) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, path.c_str(), sizeof sun.sun_path - 1);
    return sun;
}

// A non-blocking client (of the Unix socket, or of TCP with a port), read while the test runs
// the event loop.
class Client {
  public:
    Client(lib_globals *zg, const std::string &path) : zg_(zg) {
        sockaddr_un sun = unix_address(path);
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    }
    Client(lib_globals *zg, uint16_t port) : zg_(zg) {
        sockaddr_in sin{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        EXPECT_TRUE(connect(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) == 0 ||
                    errno == EINPROGRESS);
    }
    ~Client() { hang_up(); }
    void send(const std::string &text) {
        size_t done = 0;
        for (auto end = std::chrono::steady_clock::now() + 5s;
             done < text.size() && std::chrono::steady_clock::now() < end; thread_run_due(zg_)) {
            ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    // Runs the loop until what arrived ends with tail or the server closed; gives it all.
    std::string until(const std::string &tail, std::chrono::milliseconds limit = 5s) {
        vesk_test::run_until(
            zg_, [&] { return !pull() || got_.ends_with(tail); }, limit);
        return std::exchange(got_, "");
    }
    bool closed() {
        return vesk_test::run_until(
            zg_, [&] { return !pull(); }, 5s);
    }
    void play(const Script &script) {
        for (const auto &[send_text, expect] : script) {
            SCOPED_TRACE(send_text);
            send(send_text);
            EXPECT_EQ(until(expect), expect);
        }
    }
    void login() {
        play({{"", TCP_GREETING},
              {"login-pw\n", "veskd> "},
              {"enable\n", "Password: "},
              {"enable-pw\n", P}});
    }
    void hang_up() {
        if (fd_ >= 0)
            close(std::exchange(fd_, -1));
    }

  private:
    bool pull() { // false once the server has closed
        char buf[65536];
        ssize_t n;
        while ((n = recv(fd_, buf, sizeof buf, 0)) > 0)
            got_.append(buf, static_cast<size_t>(n));
        return !(eof_ = eof_ || n == 0);
    }
    lib_globals *zg_;
    int fd_ = -1;
    bool eof_ = false;
    std::string got_;
};

class Vty : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(shell.start()); }
    void passwords() { // kept as hashes only
        for (const char *l :
             {"configure terminal", "password login-pw", "enable password enable-pw"})
            ASSERT_EQ(cli_execute(shell.cli, l, false), 0) << l;
        EXPECT_EQ(cli_running_config(zg).find("-pw"), std::string::npos);
    }
    void start(host_vty_limits limits = {16, 600, CLI_LINE_MAX, 1L << 20}) {
        host_vty_set_limits(zg, &limits);
        port = vesk_test::free_tcp_port();
        ASSERT_EQ(host_config_start(zg, nullptr, port), 0);
        ASSERT_EQ(host_vty_port(zg), port);
        ASSERT_STREQ(host_vty_unix_path(zg), path.c_str());
    }
    void TearDown() override {
        shell.stop();
        zet_clock_use_monotonic();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the Unix socket is removed";
    }
    bool sessions_become(int n) {
        return vesk_test::run_until(
            zg, [&] { return host_vty_sessions(zg) == n; }, 5s);
    }
    vesk_test::ToyShell shell;
    lib_globals *&zg = shell.zg;
    const std::string path = shell.dir + "/vty";
    uint16_t port = 0;
};

TEST_F(Vty, UnixSessionRunsLinesAsTheShellDoesAndNeverEchoesControlBytes) {
    start();
    Client c(zg, path);
    c.play({{"", GREETING + P},
            {"show toy\n", TOY + P},
            {"sh toy\n\n", TOY + P + P},
            {"show nothing\n", "% Invalid input at word 2: \"nothing\"\n" + P},
            {"show \xc3\xa9toy\r\n", TOY + P},
            {"show n\x1b\x9b\x07othing\n", "% Invalid input at word 2: \"nothing\"\n" + P},
            {"configure terminal\n", "veskd(config)# "},
            {"end\n", P},
            {"show big ?\n", "  <1-100000000>  bytes\n" + P},
            {"sh\t\n", "show\n" + P},
            {"show to\t\n", "tomato toy\n" + P}});
    EXPECT_TRUE(sessions_become(1));
    c.send("exit\n");
    EXPECT_TRUE(c.closed());
    EXPECT_TRUE(sessions_become(0));
}

TEST_F(Vty, TcpSessionLogsInToPrivilegeOneIgnoresTelnetAndGetsCrLf) {
    start();
    Client refused(zg, port);
    EXPECT_EQ(refused.until("\n"), "% No vty password is set, so TCP sessions are refused: use the "
                                   "Unix socket (vesk-cli -s PATH)\n");
    EXPECT_TRUE(refused.closed());
    passwords();
    Client c(zg, port);
    const std::string IAC_NOP = "\xff\xf1",
                      NEG("\xff\xfb\x01\xff\xfd\x03\xff\xfa\x1f\0P\0\x18\xff\xf0", 15);
    c.play({{"", TCP_GREETING},
            {"login-pw\n", "veskd> "},
            {"show privilege\n", "Current privilege level is 1\r\nveskd> "},
            {"configure terminal\n", "% Permission denied: this command needs privilege 15 (the "
                                     "session has 1)\r\nveskd> "},
            {"enable\n", "Password: "},
            {"login-pw\n", "% Wrong password\r\nveskd> "},
            {"enable\n", "Password: "},
            {"enable-pw\n", P},
            {"show privilege\n", "Current privilege level is 15\r\n" + P},
            {NEG + "sh" + IAC_NOP + "ow toy\r\n", "ran \"show toy\" [] mode 4\r\n" + P},
            {"\xff", ""},
            {"\xfb\x01show toy\r\n", "ran \"show toy\" [] mode 4\r\n" + P}});
}

TEST_F(Vty, SessionsKeepTheirOwnModesAndOverLongLinesHarmNone) {
    passwords();
    start({16, 600, 256, 1L << 20});
    Client a(zg, path), b(zg, port);
    a.play({{"", GREETING + P}, {"configure terminal\n", "veskd(config)# "}});
    b.login();
    const std::string TOO_LONG = "% Line too long (the limit is 256 bytes); it was not run\n";
    a.send("interface ge1\n"); // both send before either reads
    b.send("show toy\nconfigure terminal\nend\n");
    EXPECT_EQ(b.until("veskd(config)# veskd# "),
              "ran \"show toy\" [] mode 4\r\nveskd# veskd(config)# veskd# ");
    a.play({{"", "veskd(config-if)# "},
            {std::string(1000, 'x') + "\n", TOO_LONG + "veskd(config-if)# "},
            {"show " + std::string(200, 'y'), ""},
            {std::string(200, 'z'), ""},
            {"\n", TOO_LONG + "veskd(config-if)# "},
            {"do show toy" + std::string(256 - 11, ' ') + "\n", TOY + "veskd(config-if)# "},
            {std::string(1 << 20, 'f') + "\n", TOO_LONG + "veskd(config-if)# "}});
    b.play({{"show toy\n", "ran \"show toy\" [] mode 4\r\n" + P}});
}

TEST_F(Vty, ClientsThatLeaveOrStopReadingNeverBlockTheOthers) {
    passwords();
    start({16, 600, CLI_LINE_MAX, 700 * 1024}); // more than a reply of 600 kB, less than 1 MB
    Client keep(zg, path), slow(zg, path), half(zg, path), big(zg, port), telnet(zg, port);
    keep.until(P);
    half.play({{"", GREETING + P}, {"show to", ""}});
    half.hang_up();
    big.login();
    big.send("show big 3000000\n"); // a large reply, never read
    big.hang_up();
    telnet.login();
    telnet.send("\xff\xfa\x18"); // gone inside a negotiation
    telnet.hang_up();
    std::string lines; // 1 MB replies, never read: dropped once one cannot be held
    for (int i = 0; i < 200; i++)
        lines += "show big 1000000\n";
    slow.send(lines.substr(0, 4096));
    auto t0 = std::chrono::steady_clock::now();
    keep.play({{"show toy\n", TOY + P}});
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    EXPECT_TRUE(sessions_become(1)) << host_vty_sessions(zg);
    keep.send("show big 600000\n"); // read slowly, and whole
    const std::string reply = keep.until(P, 10s);
    EXPECT_EQ(reply.size(), 600000u + 1 + P.size());
    EXPECT_TRUE(reply.ends_with("b\n" + P));
}

TEST_F(Vty, SessionLimitsKeepTheOperatorsDoorOpen) {
    passwords();
    start({8, 600, CLI_LINE_MAX, 1L << 20});
    std::deque<Client> tcp, ops;
    for (int i = 0; i < 4; i++)
        tcp.emplace_back(zg, port).login();
    Client fifth(zg, port);
    EXPECT_EQ(fifth.until("\n"), "% Too many TCP vty sessions (the limit is 4); try again later\n");
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(ops.emplace_back(zg, path).until(P), GREETING + P);
    Client ninth(zg, path);
    EXPECT_EQ(ninth.until("\n"), "% Too many vty sessions (the limit is 8); try again later\n");
    EXPECT_TRUE(ninth.closed());
    ops[0].hang_up();
    EXPECT_TRUE(sessions_become(7));
    Client again(zg, path);
    EXPECT_EQ(again.until(P), GREETING + P);
}

TEST_F(Vty, LoginsWaitAtMostFourAtATimeThirtySecondsAndThreeTries) {
    zet_clock_use_virtual(1000);
    passwords();
    start();
    std::deque<Client> waiting;
    for (int i = 0; i < 4; i++)
        waiting.emplace_back(zg, port).until("Password: ");
    Client fifth(zg, port);
    EXPECT_EQ(fifth.until("\n"), "% Too many logins waiting; try again later\n");
    waiting[0].play({{"login-pw\n", "veskd> "}});
    Client sixth(zg, port);
    EXPECT_EQ(sixth.until("Password: "), TCP_GREETING);
    thread_advance(zg, 31);
    EXPECT_EQ(sixth.until("timed out\r\n"), "\r\n% Login timed out\r\n");
    EXPECT_TRUE(sessions_become(1));
    waiting[0].play({{"show toy\n", "ran \"show toy\" [] mode 4\r\nveskd> "}});
    Client guess(zg, port); // wrong passwords, even sent at once, are taken a second apart
    guess.until("Password: ");
    guess.send("guess1\nguess2\nlogin-pw-not\nlogin-pw\n");
    for (const std::string next : {"% Wrong password\r\n", "Password: % Wrong password\r\n",
                                   "Password: % Wrong password; closing\r\n"}) {
        EXPECT_EQ(guess.until(next, 2s), next);
        thread_advance(zg, 1);
    }
    EXPECT_TRUE(guess.closed());
}

TEST_F(Vty, OnlyWholeLinesKeepASessionFromIdlingAndRefusalsAreLoggedOnceASecond) {
    zet_clock_use_virtual(1000);
    start({16, 10, CLI_LINE_MAX, 1L << 20});
    vesk_test::LogCapture cap(zg);
    for (int i = 0; i < 50; i++)
        Client(zg, port).closed();
    EXPECT_EQ(cap.count("refused"), 1u) << cap.text();
    Client c(zg, path);
    c.until(P);
    thread_advance(zg, 8);
    c.play({{"show toy\n", TOY + P}});
    for (int i = 0; i < 4; i++) { // a byte every 2 s, never a line end
        c.send("x");
        c.until("", 20ms);
        thread_advance(zg, 2);
    }
    EXPECT_TRUE(sessions_become(1));
    EXPECT_EQ(cap.count("vty: 49 more refused in the last second"), 1u) << cap.text();
    thread_advance(zg, 2);
    EXPECT_EQ(c.until("closing\n"), "\n% Session idle for 10 seconds; closing\n");
    EXPECT_TRUE(c.closed());
}

TEST_F(Vty, ALiveSocketIsLeftAloneAStaleOneReplacedAndPortZeroListensNot) {
    sockaddr_un sun = unix_address(path);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    EXPECT_EQ(host_config_start(zg, nullptr, 0), -1);
    EXPECT_EQ(host_vty_unix_path(zg), nullptr);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    close(fd); // the socket file stays behind, stale
    host_free(zg);
    host_vty_set_unix(zg, path.c_str(), nullptr, nullptr);
    ASSERT_EQ(host_config_start(zg, nullptr, 0), 0);
    EXPECT_EQ(host_vty_port(zg), 0);
    EXPECT_EQ(Client(zg, path).until(P), GREETING + P);
    // A path that leaves no room for its end in a socket address is refused.
    const std::string too_long = shell.dir + "/" + std::string(107 - shell.dir.size(), 'x');
    lib_globals *other = vesk_test::vty_globals_start(too_long);
    ASSERT_EQ(too_long.size(), sizeof sun.sun_path);
    EXPECT_EQ(host_config_start(other, nullptr, 0), -1);
    lib_stop(other);
}

TEST_F(Vty, UnixSocketRefusesAUserOutsideTheOperatorGroup) {
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    start();
    // As if the socket's mode had been opened to everyone: the credentials still decide.
    ASSERT_EQ(chmod(shell.dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = zet_test::fork_as_nobody([&] {
        sockaddr_un sun = unix_address(path);
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        char buf[512];
        if (connect(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0)
            return 4;
        for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
            (void)!write(out[1], buf, static_cast<size_t>(n));
        return 0;
    });
    close(out[1]);
    int status = -1;
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    char buf[512] = {};
    EXPECT_GT(read(out[0], buf, sizeof buf - 1), 0);
    close(out[0]);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(
        std::string(buf).rfind("% Access denied: user 65534 is neither root nor in group ", 0), 0u)
        << buf;
    EXPECT_TRUE(sessions_become(0));
}

} // namespace
