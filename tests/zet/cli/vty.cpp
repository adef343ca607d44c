// The vty server over a Unix socket and TCP with the daemon's commands, on the test's event loop:
// the sessions of tests/zet/data/vty/ (their lines are below), then the listeners' sockets.
#include "../zet_test.h"

#include <netinet/in.h>

namespace {

// A non-blocking client (Unix socket, or TCP with a port), read while the test runs the loop.
class Client {
  public:
    Client(lib_globals *zg, const std::string &path, uint16_t port = 0) : zg_(zg) {
        sockaddr_un sun{AF_UNIX, {}};
        path.copy(sun.sun_path, sizeof sun.sun_path - 1);
        sockaddr_in sin{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        fd_ = socket(port != 0 ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        const int rc = port != 0 ? connect(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin)
                                 : connect(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun);
        EXPECT_TRUE(rc == 0 || errno == EINPROGRESS);
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
    bool closed() { return until("\x01\x02\x03"), eof_; } // a tail no server sends
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

// A session line's text up to a ">" or its end: "quoted" C strings (\n \r \t \0 \xHH \" \\)
// and N*"repeats".
std::string text_of(std::istream &in) {
    std::string out;
    for (char c; (in >> std::ws).peek() != EOF && in.peek() != '>';) {
        size_t times = 1;
        if (in.peek() != '"')
            in >> times >> c; // N*
        std::string piece;
        for (in.get(c); in.get(c) && c != '"'; piece += c) {
            if (c != '\\' || !in.get(c))
                continue;
            char hex[3] = {};
            if (c == 'x' && in.get(hex[0]) && in.get(hex[1]))
                c = static_cast<char>(std::stoi(hex, nullptr, 16));
            c = c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c == '0' ? '\0' : c;
        }
        while (times-- > 0)
            out += piece;
    }
    return out;
}

class Vty : public ::testing::TestWithParam<vesk_test::Case> {
  protected:
    void SetUp() override { ASSERT_TRUE(shell.start() && shell.world.make_port("ge1", 1)); }
    void TearDown() override {
        shell.stop();
        zet_clock_use_monotonic();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the Unix socket is removed";
    }
    bool sessions_become(int n) {
        return vesk_test::run_until(
            zg, [&] { return host_vty_sessions(zg) == n; }, 5s);
    }
    vesk_test::DaemonShell shell;
    lib_globals *&zg = shell.zg;
    const std::string path = shell.dir + "/vty";
};

// A session is a file of lines, each one of
//   start [SESSIONS IDLE LINE OUTPUT]  the listeners, with these limits, on a free TCP port
//   passwords       login "login-pw", enable "enable-pw" (kept as hashes only)
//   clock virtual   the virtual clock, moved on by "advance SECONDS"
//   NAME unix|tcp [hello|login]  a new client NAME, then greeted (asked for the password over
//                   TCP), or logged in over TCP to privilege 15
//   NAME < TEXT     the client sends TEXT
//   NAME > TEXT     all it gets until what it got ends with TEXT (at most "wait SECONDS");
//                   "NAME < TEXT > REPLY" sends, then gets the reply
//   NAME closed     the server closes it; "NAME gone": the client hangs up
//   sessions N      the vty comes to N sessions; "logged N TEXT": N log lines hold TEXT
//   [Nx] A | B ...  the steps A, B, ... (N times over)
std::vector<std::pair<int, std::string>> steps_of(const vesk_test::Case &session) {
    std::vector<std::pair<int, std::string>> steps;
    for (const vesk_test::Step &s : session.steps)
        for (int i = 0; i < s.times; i++)
            for (const std::string &piece : vesk_test::split(s.verb + " " + s.arg, " | "))
                steps.emplace_back(s.line, piece);
    return steps;
}

const std::string UNIX_HELLO = "\nHello, this is veskd.\n\nveskd# ",
                  TCP_HELLO = "\r\nHello, this is veskd.\r\n\r\n\xff\xfb\x01Password: ";

// Logs a TCP client in to privilege 15.
void login(Client &c) {
    for (auto [send, want] : {std::pair(std::string(), TCP_HELLO),
                              {"login-pw\n", "\xff\xfc\x01veskd> "},
                              {"enable\n", "\xff\xfb\x01Password: "},
                              {"enable-pw\n", "\xff\xfc\x01veskd# "}}) {
        c.send(send);
        EXPECT_EQ(c.until(want), want) << send;
    }
}

VESK_CASES(Sessions, Vty, SessionRunsAsWritten, zet_test::data_path("vty"), ".*") {
    std::map<std::string, std::unique_ptr<Client>> clients;
    std::unique_ptr<vesk_test::LogCapture> cap;
    std::chrono::milliseconds limit = 5s;
    uint16_t port = 0;
    const std::vector<std::pair<int, std::string>> steps = steps_of(GetParam());
    for (const auto &[line_no, line] : steps) {
        SCOPED_TRACE(GetParam().path + ":" + std::to_string(line_no) + ": " + line);
        std::istringstream words(line);
        std::string name, word;
        if (!(words >> name) || name[0] == '#')
            continue;
        words >> word;
        long n = std::atol(word.c_str());
        if (name == "start") {
            host_vty_limits limits{16, 600, CLI_LINE_MAX, 1L << 20};
            if (n > 0)
                words >> limits.idle_seconds >> limits.max_line >> limits.max_pending;
            limits.max_sessions = n > 0 ? int(n) : 16;
            host_vty_set_limits(zg, &limits);
            port = vesk_test::free_tcp_port();
            ASSERT_EQ(host_config_start(zg, nullptr, port), 0);
            ASSERT_EQ(host_vty_port(zg), port);
            ASSERT_STREQ(host_vty_unix_path(zg), path.c_str());
            cap = std::make_unique<vesk_test::LogCapture>(zg);
        } else if (name == "passwords") {
            for (const char *l :
                 {"configure terminal", "password login-pw", "enable password enable-pw"})
                ASSERT_EQ(cli_execute(shell.cli, l, false), 0) << l;
            EXPECT_EQ(cli_running_config(zg).find("-pw"), std::string::npos);
        } else if (name == "clock") {
            zet_clock_use_virtual(1000);
        } else if (name == "advance") {
            thread_advance(zg, n);
        } else if (name == "wait") {
            limit = std::chrono::seconds(n);
        } else if (name == "sessions") {
            EXPECT_TRUE(sessions_become(int(n))) << host_vty_sessions(zg);
        } else if (name == "logged") {
            std::string text;
            std::getline(words >> std::ws, text);
            EXPECT_EQ(cap->count(text), size_t(n)) << cap->text();
        } else if (word == "unix" || word == "tcp") {
            clients[name].reset(); // a client of that name hangs up first
            clients[name] = std::make_unique<Client>(zg, path, word == "tcp" ? port : 0);
            std::string then, want = word == "tcp" ? TCP_HELLO : UNIX_HELLO;
            if (words >> then && then == "hello")
                EXPECT_EQ(clients[name]->until(want), want);
            else if (then == "login")
                login(*clients[name]);
        } else if (Client &c = *clients.at(name); word == "<" || word == ">") {
            if (word == "<")
                c.send(text_of(words));
            if (word == ">" || words >> word) {
                const std::string want = text_of(words);
                EXPECT_EQ(c.until(want, limit), want);
            }
        } else {
            EXPECT_TRUE(word == "closed" ? c.closed() : (c.hang_up(), word == "gone")) << word;
        }
    }
    EXPECT_GT(steps.size(), 10u);
}

TEST_F(Vty, ALiveSocketIsLeftAloneAStaleOneReplacedAndPortZeroListensNot) {
    const int fd = zet_test::bound(path, SOCK_STREAM);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(host_config_start(zg, nullptr, 0), -1);
    EXPECT_EQ(host_vty_unix_path(zg), nullptr);
    EXPECT_EQ(access(path.c_str(), F_OK), 0);
    close(fd); // the socket file stays behind, stale
    host_free(zg);
    host_vty_set_unix(zg, path.c_str(), nullptr, nullptr);
    ASSERT_EQ(host_config_start(zg, nullptr, 0), 0);
    EXPECT_EQ(host_vty_port(zg), 0);
    EXPECT_EQ(Client(zg, path).until("veskd# "), "\nHello, this is veskd.\n\nveskd# ");
    // A path that leaves no room for its end in a socket address is refused.
    const std::string too_long = shell.dir + "/" + std::string(107 - shell.dir.size(), 'x');
    host_free(zg);
    host_vty_set_unix(zg, too_long.c_str(), nullptr, nullptr);
    ASSERT_EQ(too_long.size(), sizeof(sockaddr_un::sun_path));
    EXPECT_EQ(host_config_start(zg, nullptr, 0), -1);
}

TEST_F(Vty, UnixSocketRefusesAUserOutsideTheOperatorGroup) {
    if (geteuid() != 0)
        GTEST_SKIP() << "connecting as another user needs root";
    ASSERT_EQ(host_config_start(zg, nullptr, 0), 0);
    // As if the socket's mode had been opened to everyone: the credentials still decide.
    ASSERT_EQ(chmod(shell.dir.c_str(), 0711), 0);
    ASSERT_EQ(chmod(path.c_str(), 0666), 0);
    pid_t pid = zet_test::fork_as_nobody([&] { // 0 once told why it is refused
        const int fd = vesk_test::connect_unix(path);
        char buf[512] = {};
        if (fd < 0)
            return 4;
        for (ssize_t n, got = 0; (n = read(fd, buf + got, sizeof buf - 1 - size_t(got))) > 0;)
            got += n;
        const std::string said = buf,
                          want = "% Access denied: user 65534 is neither root nor in group ";
        return said.starts_with(want) ? 0 : 5;
    });
    int status = -1;
    EXPECT_TRUE(vesk_test::run_until(zg, [&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(sessions_become(0));
}

} // namespace
