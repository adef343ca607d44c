// End-to-end scenarios: a real veskd on a real Linux bridge in network namespaces (see
// support/switch_lab.h), on the kernel NSM and packet backends, driven by the files of
// scenarios/ one step a line (the steps are described in scenarios/README.md). Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <linux/if_packet.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace vesk_test;
using Clock = std::chrono::steady_clock;

constexpr uint8_t kTalkerMac[6] = {2, 0, 0, 0, 0x0a, 1};
constexpr uint8_t kBridgeMac[6] = {2, 0, 0, 0, 0, 1};

// A host behind interface ifname of namespace ns that sends one ARP broadcast every 50 ms, as a
// switch's neighbours do; its address moves in the bridge's forwarding table when a loop forms.
class Talker {
  public:
    Talker(const std::string &ns, const std::string &ifname)
        : fd_(packet_socket(ns, ifname)), thread_([this] { run(); }) {}
    ~Talker() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    bool started() {
        return wait_for([&] { return sent_ > 0 || fd_ < 0; }, 2s) && fd_ >= 0;
    }

  private:
    void run() {
        // From 02:00:00:00:0a:01, who-has 10.9.9.1 tell 10.9.9.9.
        const uint8_t frame[60] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2,  0, 0, 0, 0x0a,
                                   1,    0x08, 0x06, 0,    1,    8,    0,  6, 4, 0, 1,
                                   2,    0,    0,    0,    0x0a, 1,    10, 9, 9, 9, 0,
                                   0,    0,    0,    0,    0,    10,   9,  9, 1};
        for (; fd_ >= 0 && !stop_; std::this_thread::sleep_for(50ms))
            sent_ += send(fd_, frame, sizeof frame, 0) > 0 ? 1 : 0;
    }
    int fd_;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

// The Talkers' frames that arrived on fd; the bridge's own (its multicast snooping's reports)
// arrive there too and do not count.
size_t talker_frames(int fd) {
    size_t frames = 0;
    uint8_t frame[2048];
    sockaddr_ll from{};
    for (socklen_t len = sizeof from; recvfrom(fd, frame, sizeof frame, MSG_DONTWAIT,
                                               reinterpret_cast<sockaddr *>(&from), &len) >= 12;
         len = sizeof from)
        frames += from.sll_pkttype != PACKET_OUTGOING && !std::memcmp(frame + 6, kTalkerMac, 6);
    return frames;
}

// RFC 1071 over big-endian words, written into the frame low-order byte first: what anyone
// reading the frame format can compute.
void put_check(uint8_t *image, size_t at, size_t from, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i += 2)
        sum += uint32_t(image[from + i] << 8) | (i + 1 < length ? image[from + i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    image[at] = uint8_t(~sum & 0xff);
    image[at + 1] = uint8_t(~sum >> 8);
}

// A detection frame naming port ifindex, VLAN 1 and time t, with the public check values.
std::vector<uint8_t> forged_frame(uint32_t ifindex, uint32_t t) {
    std::vector<uint8_t> f(60, 0);
    std::memset(f.data(), 0xff, 6);
    std::memcpy(f.data() + 6, kBridgeMac, 6);
    const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
    std::memcpy(f.data() + 12, arp, sizeof arp);
    std::memcpy(f.data() + 22, kBridgeMac, 6);
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

struct Step {
    int line = 0;
    long min = -1, max = -1; // ms: not before, and within
    std::string verb, arg;
    std::vector<std::string> checks; // "= ...", "~ ..." and "! ..." lines of its output
};

std::vector<Step> parse(const std::string &path) {
    std::vector<Step> steps;
    std::ifstream in(path);
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        if (line.empty() || line[0] == '#')
            continue;
        if (std::strchr("=~!", line[0]) && (line.size() == 1 || line[1] == ' ')) {
            steps.back().checks.push_back(line);
            continue;
        }
        Step s;
        s.line = n;
        auto take = [&] {
            const size_t sp = line.find(' ');
            std::string word = line.substr(0, sp);
            line = sp == std::string::npos ? "" : line.substr(sp + 1);
            return word;
        };
        s.verb = take();
        if (s.verb[0] == '<' || s.verb.find("..") != std::string::npos) {
            s.max =
                std::stol(s.verb.substr(s.verb.find_first_of("<.") + (s.verb[0] == '<' ? 1 : 2)));
            s.min = s.verb[0] == '<' ? -1 : std::stol(s.verb);
            s.verb = take();
        }
        s.arg = line;
        steps.push_back(s);
    }
    return steps;
}

std::vector<std::string> split(const std::string &text, const std::string &sep = " ") {
    std::vector<std::string> parts;
    for (size_t at = 0, end; at <= text.size(); at = end + sep.size()) {
        end = std::min(text.find(sep, at), text.size());
        parts.push_back(text.substr(at, end - at));
    }
    return parts;
}

void replace_all(std::string &s, const std::string &from, const std::string &to) {
    for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
}

enum Outcome { HOLDS, NOT_YET, FAILS };

class Scenario {
  public:
    explicit Scenario(const std::string &path)
        : steps_(parse(path)), lab_(steps_.at(0).verb == "ports" ? std::stoi(steps_[0].arg) : 4) {}
    ~Scenario() {
        if (flooder_ > 0 && kill(flooder_, SIGKILL) == 0)
            waitpid(flooder_, nullptr, 0);
    }

    void run() {
        ASSERT_TRUE(lab_.ok()) << "the namespaces and the bridge could not be built";
        for (const Step &s : steps_)
            ASSERT_NO_FATAL_FAILURE(run(s));
        if (!stopped_) {
            EXPECT_TRUE(d_.alive());
        }
    }

  private:
    void run(const Step &s) {
        SCOPED_TRACE("line " + std::to_string(s.line) + ": " + s.verb + " " + s.arg);
        const auto t0 = Clock::now();
        Outcome o;
        long took = 0;
        while ((o = attempt(s)) == NOT_YET && took < s.max) {
            std::this_thread::sleep_for(5ms);
            took = (Clock::now() - t0) / 1ms;
        }
        took = (Clock::now() - t0) / 1ms;
        if (s.max >= 0)
            std::cout << "line " << s.line << ": " << s.verb << " " << s.arg << ": " << took
                      << " ms\n";
        ASSERT_EQ(o, HOLDS) << why_;
        EXPECT_TRUE(s.max < 0 || took <= s.max) << "took " << took << " ms";
        EXPECT_GE(took, s.min) << "came too soon";
    }

    Outcome is(bool holds, const std::string &why = "") {
        why_ = why;
        return holds ? HOLDS : NOT_YET;
    }

    std::string expand(std::string s) {
        replace_all(s, "\\n", "\n");
        replace_all(s, "\\t", "\t");
        if (s.find("$PID") != std::string::npos)
            replace_all(s, "$PID", std::to_string(d_.pid()));
        const std::pair<const char *, std::string> vars[] = {
            {"$NS", lab_.switch_ns()},
            {"$NN", lab_.neighbour_ns()},
            {"$DIR", d_.dir()},
            {"$VTY", d_.vty_path()},
            {"$LOG", d_.log_path()},
            {"$PORT", std::to_string(port_)},
            {"$CLI", std::string(VESK_BINARY_DIR) + "/tools/vesk-cli"},
            {"$VESKD", std::string(VESK_BINARY_DIR) + "/vesk/veskd"},
            {"$NOBODY", "setpriv --reuid=65534 --regid=65534 --clear-groups"}};
        for (const auto &[name, value] : vars)
            replace_all(s, name, value);
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
            exact = exact || line[0] == '=';
            whole += line[0] == '=' ? text + "\n" : "";
        }
        return is(!exact || out == whole, "the output is\n" + out + "not\n" + whole);
    }

    Outcome attempt(const Step &s) {
        const std::string a = expand(s.arg);
        const std::vector<std::string> w = split(a);
        auto port = [&](size_t i) { return std::stoi(w.at(i)); };
        const std::string &v = s.verb;
        if (v == "ports")
            return HOLDS;
        if (v == "conf")
            return is(bool(std::ofstream(d_.config_path(), std::ios::app) << a << "\n"));
        if (v == "start" || v == "launch")
            return start(w, v == "start");
        if (v == "config")
            return d_.configure(split(a, " | ")), is(!::testing::Test::HasFatalFailure());
        if (v == "vty")
            return compare(s, d_.cmd(a));
        if (v == "reconnect")
            return d_.vty().close(), is(d_.vty().connect(d_.vty_path()), "no vty session");
        if (v == "sh") {
            ShellResult r = run_shell(a.substr(w[0].size() + 1));
            return r.status != port(0)
                       ? is(false, "exit " + std::to_string(r.status) + ":\n" + r.out)
                       : compare(s, r.out);
        }
        if (v == "ip")
            return is(w[0] == "s" ? lab_.ip_switch(a.substr(2)) : lab_.ip_neighbour(a.substr(2)));
        if (v == "hairpin")
            return is(lab_.hairpin(port(0), w.size() == 1));
        if (v == "cable")
            return is(lab_.cable(port(0), port(1)));
        if (v == "uncable")
            return is(lab_.uncable(port(0)));
        if (v == "talk")
            return talkers_.push_back(std::make_unique<Talker>(lab_.neighbour_ns(), a)),
                   is(talkers_.back()->started(), "the host does not send");
        if (v == "heard")
            return heard(w[0], w[1], w[2] == "0");
        if (v == "forge")
            return forge(port(0), port(1));
        if (v == "logfile")
            return d_.set_log_path(a), HOLDS;
        if (v == "stop")
            return stopped_ = true, is(d_.stop() == 0, "veskd did not end with 0");
        if (v == "sleep")
            return std::this_thread::sleep_for(std::chrono::milliseconds(port(0))), HOLDS;
        if (v == "flood")
            return flood(w[0], w[1]);
        if (v == "cpu")
            return cpu(port(0), w.size() > 1 ? port(1) : 100);
        if (v == "rss") {
            const long kib = proc_status_kib(d_.pid(), "VmRSS");
            if (w[0].empty())
                return rss_ = kib, HOLDS;
            std::cout << "RSS " << rss_ << " -> " << kib << " KiB\n";
            return is(kib - rss_ < port(0), "memory grew");
        }
        if (v == "gaps")
            return gaps(split(a, " | "));
        if (v == "up" || v == "down" || v == "downs") {
            size_t down = 0, first = v == "downs" ? 1 : 0;
            for (size_t i = first; i < w.size(); i++)
                down += !lab_.admin_up(port(i)) || (v == "up" && !lab_.running(port(i)));
            const size_t want = v == "downs" ? size_t(port(0)) : v == "up" ? 0 : w.size();
            return is(down == want, std::to_string(down) + " of the ports down");
        }
        if (v == "log")
            return is(d_.log_count(a) > 0, "not logged");
        if (v == "logs") {
            const size_t n = d_.log_count(a.substr(w[0].size() + 1));
            return is(n == size_t(port(0)), "logged " + std::to_string(n) + " times");
        }
        if (v == "order") {
            const std::vector<std::string> ab = split(a, " | ");
            const std::string log = d_.log();
            const size_t first = log.find(ab.at(0)), last = log.rfind(ab.at(1));
            return is(first != std::string::npos && last != std::string::npos && first < last);
        }
        return why_ = "no step " + v, FAILS;
    }

    // "start ENV... -- ARGS...": the lab's veskd with env added and args instead of "-P 0".
    Outcome start(const std::vector<std::string> &w, bool wait_ports) {
        const auto dashes = std::find(w.begin(), w.end(), "--");
        std::vector<std::string> env(w.begin(), dashes), args;
        env.erase(std::remove(env.begin(), env.end(), ""), env.end());
        if (dashes != w.end())
            args.assign(dashes + 1, w.end());
        lab_.start(d_, env, args, wait_ports);
        return is(!::testing::Test::HasFatalFailure(), "veskd did not start");
    }

    // A host behind from, for a second: none (or some) of its frames arrive at at.
    Outcome heard(const std::string &from, const std::string &at, bool none) {
        const int fd = packet_socket(lab_.neighbour_ns(), at);
        Talker host(lab_.neighbour_ns(), from);
        const bool sent = fd >= 0 && host.started();
        std::this_thread::sleep_for(1s);
        const size_t frames = sent ? talker_frames(fd) : 0;
        close(fd);
        if (!sent)
            return why_ = "no host behind " + from + " or no listener at " + at, FAILS;
        return is(none == (frames == 0), std::to_string(frames) + " frames heard at " + at);
    }

    // From behind port from, every second of the last 12 s, 5 copies each, a frame naming
    // port victim.
    Outcome forge(int from, int victim) {
        ShellResult r =
            run_shell("ip -n " + lab_.switch_ns() + " -o link show ge" + std::to_string(victim));
        const uint32_t index = uint32_t(std::strtoul(r.out.c_str(), nullptr, 10));
        const int fd = packet_socket(lab_.neighbour_ns(), "n" + std::to_string(from));
        bool sent = index > 0 && fd >= 0;
        const uint32_t now = uint32_t(time(nullptr));
        for (uint32_t t = now - 11; sent && t <= now; t++)
            for (int copy = 0; sent && copy < 5; copy++)
                sent = send(fd, forged_frame(index, t).data(), 60, 0) == 60;
        close(fd);
        return is(sent, "the forged frames were not sent");
    }

    // Broadcast frames out of ifname (nN) of the neighbour namespace until the scenario ends.
    Outcome flood(const std::string &ifname, const std::string &mode) {
        flood_port_ = ifname.back() - '0';
        flood_base_ = lab_.peer_packets(flood_port_, "tx");
        flood_start_ = Clock::now();
        const std::string ns = lab_.neighbour_ns(), script = VESK_SOURCE_DIR "/tests/e2e/flood.py";
        if ((flooder_ = fork()) == 0) {
            execlp("ip", "ip", "netns", "exec", ns.c_str(), "/usr/bin/python3", script.c_str(),
                   ifname.c_str(), mode.c_str(), nullptr);
            _exit(127);
        }
        return is(wait_for([&] { return flood_rate() > 0; }, 5s), "the flood does not start");
    }
    // Frames per second of the flood so far, once it has sent 20000.
    long flood_rate() const {
        const uint64_t sent = lab_.peer_packets(flood_port_, "tx") - flood_base_;
        return sent < 20000
                   ? 0
                   : long(sent /
                          std::chrono::duration<double>(Clock::now() - flood_start_).count());
    }

    // veskd's share of a core over ms milliseconds: below max percent.
    Outcome cpu(int ms, int max) {
        const double before = cpu_seconds(d_.pid());
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        const double share = 100 * (cpu_seconds(d_.pid()) - before) /
                             std::chrono::duration<double>(Clock::now() - t0).count();
        std::cout << "veskd CPU " << share << "% of a core under " << flood_rate() << " frames/s\n";
        return is(share < max, "veskd pays for traffic it should not see");
    }

    // "gaps TOLERANCE GAP... | TEXT": the first gaps between log lines holding TEXT are the GAPs
    // (ms), each within TOLERANCE.
    Outcome gaps(const std::vector<std::string> &a) {
        const std::vector<std::string> want = split(a.at(0));
        std::vector<double> times;
        std::istringstream in(d_.log());
        for (std::string line; std::getline(in, line);) {
            int h = 0, m = 0, s = 0, ms = 0;
            if (line.find(a.at(1)) != std::string::npos &&
                std::sscanf(line.c_str(), "%*d/%*d/%*d %d:%d:%d.%d", &h, &m, &s, &ms) == 4)
                times.push_back(((h * 60 + m) * 60 + s) * 1000.0 + ms);
        }
        bool holds = times.size() >= want.size();
        std::string seen;
        for (size_t i = 1; holds && i < want.size(); i++) {
            seen += " " + std::to_string(long(times[i] - times[i - 1]));
            holds = std::abs(times[i] - times[i - 1] - std::stod(want[i])) <= std::stod(want[0]);
        }
        std::cout << "gaps:" << seen << " ms\n";
        return is(holds, "the gaps are" + seen);
    }

    std::vector<Step> steps_;
    SwitchLab lab_;
    Veskd d_;
    std::vector<std::unique_ptr<Talker>> talkers_;
    pid_t flooder_ = -1;
    int flood_port_ = 0;
    uint64_t flood_base_ = 0;
    Clock::time_point flood_start_;
    long rss_ = 0;
    const int port_ = 20000 + int(getpid() % 20000);
    bool stopped_ = false;
    std::string why_;
};

// The scenario files; those named storm_* measure CPU and run alone, as StormTest.*.
std::vector<std::string> scenario_files(bool storms) {
    std::vector<std::string> files;
    for (const auto &e :
         std::filesystem::directory_iterator(VESK_SOURCE_DIR "/tests/e2e/scenarios"))
        if (e.path().extension() == ".scn" &&
            e.path().stem().string().starts_with("storm_") == storms)
            files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string stem(const ::testing::TestParamInfo<std::string> &info) {
    return std::filesystem::path(info.param).stem().string();
}

class Lab : public ::testing::TestWithParam<std::string> {
  protected:
    void run() {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root";
        Scenario(GetParam()).run();
    }
};
class StormTest : public Lab {};

TEST_P(Lab, Scenario) {
    run();
}
TEST_P(StormTest, Scenario) {
    run();
}
INSTANTIATE_TEST_SUITE_P(Scenarios, Lab, ::testing::ValuesIn(scenario_files(false)), stem);
INSTANTIATE_TEST_SUITE_P(, StormTest, ::testing::ValuesIn(scenario_files(true)), stem);

} // namespace
