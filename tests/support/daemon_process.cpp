#include "support/daemon_process.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iostream>
#include <net/if.h>
#include <optional>
#include <poll.h>
#include <regex>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/switch_lab.h"
#include "support/vty_server.h"
#include "support/wait_until.h"

namespace vesk_test {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

namespace {

// Under AddressSanitizer freed memory waits in quarantine: resident size says nothing of leaks.
const bool kMemoryMeasurable = std::string(VESK_SANITIZE).find("address") == std::string::npos;

// Sends line (nothing when empty) on fd and reads until end(what came) says where the answer
// ends; "" when fd ends or limit passes first.
std::string talk(int fd, const std::string &line, milliseconds limit,
                 const std::function<size_t(const std::string &)> &end) {
    std::string reply, text = line + "\n";
    if (!line.empty() && send(fd, text.data(), text.size(), MSG_NOSIGNAL) != ssize_t(text.size()))
        return "";
    for (const auto deadline = steady_clock::now() + limit;;) {
        if (const size_t at = end(reply); at != std::string::npos)
            return reply.substr(0, at);
        const auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, int(left.count())) <= 0 ||
            (n = read(fd, buf, sizeof buf)) <= 0)
            return "";
        reply.append(buf, size_t(n));
    }
}

// Runs the program words[0] with the arguments after it, the first its name; never returns.
[[noreturn]] void exec_words(std::vector<std::string> &words) {
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data() + 1);
    _exit(127);
}

} // namespace

int connect_unix(const std::string &path) {
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        close(std::exchange(fd, -1));
    return fd;
}

bool Veskd::connect_vty(milliseconds limit) {
    if (vty_ >= 0)
        close(std::exchange(vty_, -1));
    return wait_for([&] { return (vty_ = connect_unix(vty_path())) >= 0; }, limit) &&
           (cmd("", limit), prompted_);
}

// A reply ends with a prompt: a last line of "veskd" then "> " or "# ".
std::string Veskd::cmd(const std::string &line, milliseconds limit) {
    prompted_ = false;
    return talk(vty_, line, limit, [&](const std::string &reply) {
        const size_t begin = reply.rfind('\n') + 1; // 0 without a line end
        return (reply.ends_with("> ") || reply.ends_with("# ")) &&
                       reply.compare(begin, 5, "veskd") == 0
                   ? (prompted_ = true, begin)
                   : std::string::npos;
    });
}

Veskd::Veskd() {
    EXPECT_NE(mkdtemp(dir.data()), nullptr);
    // Every veskd of the test, those its shell steps start too, makes its log directory here.
    setenv("VESK_LOG_DIR", (dir + "/logs").c_str(), 1);
    // and finds node exporter's directory and lldpd only where the test made them.
    setenv("VESK_METRICS_DIR", (dir + "/metrics").c_str(), 1);
    setenv("VESK_LLDPD_SOCKET", (dir + "/lldpd.socket").c_str(), 1);
    log_path = dir + "/veskd.log";
    std::ofstream(config_path()) << "log file " << log_path << "\n";
}

Veskd::~Veskd() {
    if (::testing::Test::HasFailure() && pid > 0) // the tails of veskd's log and standard error
        for (const std::string &text : {read_file(log_path), read_file(dir + "/stderr")})
            std::cerr << "----\n" << text.substr(text.size() - std::min<size_t>(text.size(), 4000));
    if (vty_ >= 0)
        close(vty_);
    if (alive()) {
        kill(-pid, SIGKILL); // a wrapper's child too
        waitpid(pid, &status_, 0);
    }
    // A veskd in daemon mode has left the group; it is known by this rig's configuration file.
    std::system(("pkill -KILL -f '^[^ ]*/veskd -f " + config_path() + "( |$)'").c_str());
    kill_nsm(SIGTERM);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

bool Veskd::alive() {
    if (pid > 0 && !reaped_ && waitpid(pid, &status_, WNOHANG) == pid)
        reaped_ = true;
    return pid > 0 && !reaped_;
}

int Veskd::stop(int signo) {
    if (vty_ >= 0)
        close(std::exchange(vty_, -1));
    if ((signo != 0 && (!alive() || kill(pid, signo) != 0)) ||
        !wait_for([this] { return !alive(); }))
        return -2;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
}

void Veskd::start(const std::vector<std::string> &env, const std::vector<std::string> &args) {
    if (netns.empty() && nsm_pid_ <= 0) {
        ASSERT_NO_FATAL_FAILURE(start_nsm());
    }
    if (netns.empty()) // frames of an earlier daemon would fill the queue and refuse the hello
        wire = std::make_unique<WirePeer>();
    const std::string veskd = VESK_BINARY_DIR "/vesk/veskd";
    // ip runs veskd in the namespace with exec, so it keeps the pid.
    std::vector<std::string> words =
        !wrapper.empty() ? wrapper
        : netns.empty()  ? std::vector<std::string>{veskd}
                         : std::vector<std::string>{"/sbin/ip", "ip", "netns", "exec", netns};
    words.push_back(veskd);
    if (std::find(args.begin(), args.end(), "-f") == args.end())
        words.insert(words.end(), {"-f", config_path()});
    words.insert(words.end(), args.begin(), args.end());
    if (args.empty())
        words.insert(words.end(), {"-P", "0"});
    // A daemon of a test keeps its state file to itself unless the test says where it goes.
    std::vector<std::string> envs = {"VESK_STATE=" + dir + "/state",
                                     "VESK_VTY_SOCKET=" + vty_path(),
                                     "VESK_NSM=" + (wire ? "unix:" + dir + "/nsm.sock" : "kernel"),
                                     "VESK_FRAME=" + (wire ? wire->spec() : "packet")};
    envs.insert(envs.end(), env.begin(), env.end());
    reaped_ = false;
    if ((pid = fork()) > 0)
        setpgid(pid, pid); // before the destructor might signal the group
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        setpgid(0, 0);
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
        dup2(open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
        for (auto &e : envs)
            putenv(e.data());
        exec_words(words);
    }
    ASSERT_TRUE(connect_vty(10s)) << "the vty of veskd did not answer";
    ASSERT_TRUE(!wire || wire->wait_hello(10000)) << "veskd did not open its frame socket";
}

void Veskd::start_nsm(const std::vector<std::string> &orders) {
    kill_nsm(SIGTERM);
    const std::vector<std::string> state =
        !orders.empty() ? orders
                        : split("if-add 5 ge1 up 02:00:00:00:00:05 | if-add 6 ge2 up "
                                "02:00:00:00:00:05 | bridge-add 1 | vlan-add 1 1 | vlan-add 1 10 | "
                                "port-add 5 1 10 | port-add 6 1",
                                " | ");
    // Given as arguments, the state is whole before the peer listens: a running veskd that came
    // back in the middle of it would take the missing ports as gone. Each order answers "ok".
    std::vector<std::string> words{VESK_BINARY_DIR "/tools/vesk-nsm-peer", "vesk-nsm-peer",
                                   dir + "/nsm.sock"};
    words.insert(words.end(), state.begin(), state.end());
    int ends[2]; // the peer's standard input and output are one end
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
    if ((nsm_pid_ = fork()) == 0) {
        dup2(ends[1], STDIN_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        exec_words(words);
    }
    close(ends[1]);
    nsm_ = ends[0];
    const std::string oks = replace_all(std::string(state.size(), '.'), ".", "ok\n");
    const std::string replies = talk(nsm_, "", 16s, [&](const std::string &reply) {
        return reply.size() >= oks.size() ? oks.size() : std::string::npos;
    });
    ASSERT_EQ(replies, oks) << "the peer refused part of its starting state";
}

void Veskd::kill_nsm(int signo) {
    if (nsm_ >= 0)
        close(std::exchange(nsm_, -1));
    if (const pid_t p = std::exchange(nsm_pid_, -1); p > 0 && kill(p, signo) == 0)
        waitpid(p, nullptr, 0);
}

// Orders that wait in the peer (wait-client, wait-request) wait at most 15 s themselves.
std::string Veskd::order(const std::string &line) {
    return talk(nsm_, line, 16s, [](const std::string &reply) { return reply.find('\n'); });
}

void Veskd::configure(const std::vector<std::string> &lines) {
    ASSERT_EQ(cmd("configure terminal"), "");
    for (const std::string &line : lines)
        ASSERT_EQ(cmd(line), "") << line;
    ASSERT_EQ(cmd("end"), "");
}

namespace {

enum Outcome { HOLDS, NOT_YET, FAILS };

class Scenario {
  public:
    explicit Scenario(const Case &c) : c_(c) {}
    ~Scenario() {
        calm_ = true;
        if (storm_.joinable())
            storm_.join();
        for (pid_t pid : children_)
            if (pid > 0 && kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
    }

    void run() {
        if (!c_.steps.empty() && c_.steps[0].verb == "lab" && geteuid() != 0)
            GTEST_SKIP() << "a lab of network namespaces needs root";
        for (const Step &s : c_.steps) // "needs CMD": a scenario only for where CMD succeeds
            if (s.verb == "needs" && !sh(s.arg))
                GTEST_SKIP() << "needs " << s.arg;
        for (const Step &s : c_.steps)
            for (int i = 0; i < s.times; i++)
                ASSERT_NO_FATAL_FAILURE(run(s));
        EXPECT_TRUE(stopped_ || d_.alive()) << "veskd ended";
    }

  private:
    void run(const Step &s) {
        SCOPED_TRACE(c_.path + ":" + std::to_string(s.line) + ": " + s.verb + " " + s.arg);
        const auto t0 = steady_clock::now();
        Outcome o;
        while ((o = attempt(s)) == NOT_YET && steady_clock::now() - t0 < milliseconds(s.max))
            std::this_thread::sleep_for(5ms);
        const long took = (steady_clock::now() - t0) / 1ms;
        if (s.max >= 0)
            std::cout << "line " << s.line << ": " << s.verb << " " << s.arg << ": " << took
                      << " ms\n";
        ASSERT_EQ(o, HOLDS) << why_;
        EXPECT_TRUE(s.max < 0 || took <= s.max) << "took " << took << " ms";
        EXPECT_GE(took, s.min) << "came too soon";
    }

    Outcome is(bool holds, const std::string &why = "") {
        why_ = why;
        return holds ? HOLDS : ::testing::Test::HasFatalFailure() ? FAILS : NOT_YET;
    }

    std::string expand(std::string s) {
        for (const auto &[from, to] : {std::pair{"\\n", "\n"}, {"\\t", "\t"}, {"\\r", "\r"}})
            s = replace_all(s, from, to);
        const std::pair<const char *, std::string> vars[] = {
            {"$DIR", d_.dir},
            {"$VTY", d_.vty_path()},
            {"$LOG", d_.log_path},
            {"$PORT2", std::to_string(ports_[1])},
            {"$PORT", std::to_string(ports_[0])},
            {"$RSS", kMemoryMeasurable ? "grep VmRSS /proc/$PID/status | tr -dc 0-9" : "echo 0"},
            {"$PID", std::to_string(d_.pid)},
            {"$NS", lab_ ? lab_->switch_ns() : "-"},
            {"$NN", lab_ ? lab_->neighbour_ns() : "-"},
            {"$CLI", VESK_BINARY_DIR "/tools/vesk-cli"},
            {"$VESKD", VESK_BINARY_DIR "/vesk/veskd"},
            {"$SRC", VESK_SOURCE_DIR},
            {"$FRAMES", "/usr/bin/python3 " VESK_SOURCE_DIR "/tests/e2e/frames.py"}};
        for (const auto &[name, value] : vars)
            s = replace_all(s, name, value);
        return s;
    }

    // The output against the step's check lines; without any, it must be empty.
    Outcome compare(const Step &s, const std::string &out) {
        std::string whole;
        bool exact = s.checks.empty();
        for (const std::string &line : s.checks) {
            const std::string text = line.size() > 1 ? expand(line.substr(2)) : "";
            if (line[0] == '!' && out.find(text) != std::string::npos)
                return why_ = "the output holds \"" + text + "\":\n" + out, FAILS;
            if (line[0] == '~' && out.find(text) == std::string::npos)
                return is(false, "the output lacks \"" + text + "\":\n" + out);
            if (line[0] == '%' && !std::regex_match(out, std::regex(text, std::regex::extended)))
                return is(false, "the output does not match \"" + text + "\":\n" + out);
            exact = exact || line[0] == '=';
            whole += line[0] == '=' ? text + "\n" : "";
        }
        return is(!exact || out == whole, "the output is\n" + out + "not\n" + whole);
    }

    Outcome attempt(const Step &s) {
        const std::string a = expand(s.arg), &v = s.verb;
        const std::vector<std::string> w = split(a);
        auto num = [&](size_t i) { return std::stoi(w.at(i)); };
        const std::string after_first = w.size() > 1 ? a.substr(w[0].size() + 1) : "";
        if (!lab_ && (v == "hairpin" || v == "cable" || v == "down"))
            return why_ = "no lab step came first", FAILS;
        if (v == "lab") // namespaces with a bridge of N ports, where veskd starts on the kernel
            return lab_ports_ = num(0), lab_.emplace(lab_ports_), is(lab_->ok(), "no lab");
        if (v == "needs") // checked before any step
            return HOLDS;
        if (v == "conf")
            return is(bool(std::ofstream(d_.config_path(), std::ios::app)
                           << replace_all(a, " | ", "\n") << "\n"));
        if (v == "start" || v == "launch") {
            const auto dashes = std::find(w.begin(), w.end(), "--");
            std::vector<std::string> env(w.begin(), dashes),
                args(dashes + (dashes != w.end()), w.end());
            env.erase(std::remove(env.begin(), env.end(), ""), env.end());
            d_.netns = lab_ ? lab_->switch_ns() : "";
            d_.start(env, args);
            auto knows_ports = [&] { // every port of br0, unless only launched
                for (int i = 1; v == "start" && i <= lab_ports_; i++)
                    if (d_.cmd("show loop-detect interface ge" + std::to_string(i)).find('%') !=
                        std::string::npos)
                        return false;
                return true;
            };
            return stopped_ = false,
                   is(!::testing::Test::HasFatalFailure() && wait_for(knows_ports),
                      "veskd did not start or learn the ports of br0");
        }
        if (v == "stop")
            return stopped_ = true, is(d_.stop(a.empty() ? SIGTERM : num(0)) == 0, "exit not 0");
        if (v == "sh") {
            FILE *p = popen(after_first.c_str(), "r");
            std::string out;
            char buf[4096];
            for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
                out.append(buf, n);
            const int st = p != nullptr ? pclose(p) : -1,
                      code = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
            return code != num(0) ? is(false, "exit " + std::to_string(code) + ":\n" + out)
                                  : compare(s, out);
        }
        if (v == "bg") { // killed when the scenario ends
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                setenv("HOME", d_.dir.c_str(), 1);
                setenv("TERM", "dumb", 1);
                execl("/bin/sh", "sh", "-c", ("exec " + a).c_str(), nullptr);
                _exit(127);
            }
            return children_.push_back(pid), is(pid > 0, "no fork");
        }
        if (v == "config")
            return d_.configure(split(a, " | ")), is(!::testing::Test::HasFatalFailure());
        if (v == "vty")
            return compare(s, d_.cmd(a));
        if (v == "log" || v == "logs") {
            const std::string log = read_file(d_.log_path), text = v == "log" ? a : after_first;
            size_t n = 0;
            for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
                n++;
            return v == "log" ? is(n > 0, "not logged")
                              : is(n == size_t(num(0)), "logged " + std::to_string(n) + " times");
        }
        if (v == "cpu") {            // over MS, below MAX percent of a core (100)
            auto cpu_seconds = [&] { // utime and stime, fields 14 and 15
                const std::string stat = read_file("/proc/" + std::to_string(d_.pid) + "/stat");
                unsigned long user = 0, system = 0;
                std::sscanf(stat.c_str() + std::min(stat.rfind(')') + 2, stat.size()),
                            "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system);
                return double(user + system) / double(sysconf(_SC_CLK_TCK));
            };
            const double before = cpu_seconds();
            const auto t0 = steady_clock::now();
            std::this_thread::sleep_for(milliseconds(num(0)));
            const double share = 100 * (cpu_seconds() - before) /
                                 std::chrono::duration<double>(steady_clock::now() - t0).count();
            std::cout << "veskd CPU " << share << "% of a core\n";
            return is(share < (w.size() > 1 ? num(1) : 100), "veskd pays for what it need not");
        }
        if (v == "hairpin" || v == "cable") {
            const std::string br = v == "cable" ? "cb" + w[0] + w[1] : "hp" + w[0],
                              ip = "ip -n " + lab_->neighbour_ns() + " link ";
            return is(sh(ip + "add " + br + " type bridge; " + ip + "set " + br + " up && " + ip +
                         "set n" + w[0] + " master " + br + " && " + ip +
                         (v == "cable" ? "set n" + w[1] + " master " + br
                                       : "set dev n" + w[0] + " type bridge_slave hairpin " +
                                             (w.size() == 1 ? "on" : "off"))));
        }
        if (v == "down") { // exactly K of the ports down, the others up and running
            size_t down = 0, stopped = 0;
            for (size_t i = 1; i < w.size(); i++) {
                const unsigned flags = lab_->flags("ge" + w[i]);
                down += !(flags & IFF_UP);
                stopped += (flags & IFF_UP) && !(flags & IFF_RUNNING);
            }
            return is(down == size_t(num(0)) && stopped == 0,
                      std::to_string(down) + " down, " + std::to_string(stopped) + " not running");
        }
        if (v == "peer") { // a daemon that runs must come back to the fresh peer
            d_.start_nsm(a.empty() ? std::vector<std::string>{} : split(a, " | "));
            return is(!::testing::Test::HasFatalFailure() &&
                          (!d_.alive() || d_.order("wait-client 15") == "client"),
                      "veskd did not come back");
        }
        if (v == "peer-gone")
            return d_.kill_nsm(), HOLDS;
        if (v == "nsm") { // one order with check lines, or orders that each answer "ok"
            std::string answer;
            for (const std::string &order : split(a, " | "))
                if ((answer = d_.order(order)) != "ok" && s.checks.empty())
                    return is(false, order + ": " + answer);
            return s.checks.empty() ? HOLDS : compare(s, answer + "\n");
        }
        auto sent_on = [&] { return frame_.addr.ifindex == num(0) && frame_.addr.vid == num(1); };
        if (v == "frame") { // the next frame sent on ifindex IF for VID (others skipped)
            const bool sent =
                wait_for([&] { return d_.wire->next(frame_, 1000) && sent_on(); }, 15s);
            return is(sent && (w.size() < 3 || frame_.payload.size() == size_t(num(2))),
                      "no frame, or one of " + std::to_string(frame_.payload.size()) + " bytes");
        }
        if (v == "newest") { // of the frames sent so far, which go
            for (SentFrame f; d_.wire->next(f, 0);)
                frame_ = f;
            return HOLDS;
        }
        if (v == "reflect") { // with the payload's bytes w[1...] flipped
            SentFrame f = frame_;
            for (size_t i = 1; i < w.size(); i++)
                f.payload.at(num(i)) ^= 0x01;
            return is(d_.wire->deliver(num(0), f.addr.dst, f.addr.src, f.payload.data(),
                                       f.payload.size()),
                      "not delivered");
        }
        if (v == "nowire")
            return d_.wire.reset(), HOLDS;
        if (v == "reconnect")
            return is(d_.connect_vty(), "no vty session");
        if (v == "wrap")
            return d_.wrapper = split(a, " | "), HOLDS;
        if (v == "storm" && !storm_.joinable()) // frames arrive on IF until the scenario ends
            storm_ = std::thread([this, ifindex = num(0)] {
                const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
                uint8_t frame[46] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
                while (!calm_)
                    d_.wire->deliver(ifindex, mac, mac, frame, sizeof frame)
                        ? void(stormed_++)
                        : std::this_thread::yield();
            });
        if (v == "storm") // a thousand of them have arrived
            return is(stormed_ >= 1000, std::to_string(stormed_) + " frames");
        return why_ = "no step " + v, FAILS;
    }

    const Case &c_;
    const uint16_t ports_[2] = {free_tcp_port(), free_tcp_port()};
    std::optional<SwitchLab> lab_; // outlives veskd
    int lab_ports_ = 0;
    std::vector<pid_t> children_;
    Veskd d_;
    SentFrame frame_;
    std::thread storm_;
    std::atomic<bool> calm_{false};
    std::atomic<long> stormed_{0};
    bool stopped_ = true;
    std::string why_;
};

} // namespace

void play(const Case &scenario) {
    Scenario(scenario).run();
}

} // namespace vesk_test
