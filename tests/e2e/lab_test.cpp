// End-to-end scenarios: a real veskd on a real Linux bridge in network namespaces (see
// support/switch_lab.h), on the kernel NSM and packet backends, driven by the files of
// scenarios/ one step a line (the steps are described in scenarios/README.md). Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <net/if.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using namespace vesk_test;
using Clock = std::chrono::steady_clock;

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
            const size_t sp = std::min(line.find(' '), line.size());
            std::string word = line.substr(0, sp);
            line.erase(0, sp + 1);
            return word;
        };
        s.verb = take();
        if (std::sscanf(s.verb.c_str(), "<%ld", &s.max) == 1 ||
            std::sscanf(s.verb.c_str(), "%ld..%ld", &s.min, &s.max) == 2)
            s.verb = take();
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

enum Outcome { HOLDS, NOT_YET, FAILS };

class Scenario {
  public:
    explicit Scenario(const std::string &path)
        : steps_(parse(path)), ports_(steps_.at(0).verb == "ports" ? std::stoi(steps_[0].arg) : 4),
          lab_(ports_) {}
    ~Scenario() {
        for (pid_t pid : background_)
            if (kill(pid, SIGKILL) == 0)
                waitpid(pid, nullptr, 0);
    }

    void run() {
        ASSERT_TRUE(lab_.ok()) << "the namespaces and the bridge could not be built";
        for (const Step &s : steps_)
            ASSERT_NO_FATAL_FAILURE(run(s));
        EXPECT_TRUE(stopped_ || d_.alive());
    }

  private:
    void run(const Step &s) {
        SCOPED_TRACE("line " + std::to_string(s.line) + ": " + s.verb + " " + s.arg);
        const auto t0 = Clock::now();
        Outcome o;
        while ((o = attempt(s)) == NOT_YET && Clock::now() - t0 < std::chrono::milliseconds(s.max))
            std::this_thread::sleep_for(5ms);
        const long took = (Clock::now() - t0) / 1ms;
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
        const std::pair<const char *, std::string> vars[] = {
            {"\\n", "\n"},
            {"\\t", "\t"},
            {"$PID", s.find("$PID") != std::string::npos ? std::to_string(d_.pid()) : ""},
            {"$NS", lab_.switch_ns()},
            {"$NN", lab_.neighbour_ns()},
            {"$DIR", d_.dir()},
            {"$VTY", d_.vty_path()},
            {"$LOG", d_.log_path()},
            {"$PORT", std::to_string(20000 + getpid() % 20000)},
            {"$CLI", VESK_BINARY_DIR "/tools/vesk-cli"},
            {"$VESKD", VESK_BINARY_DIR "/vesk/veskd"},
            {"$FRAMES", "/usr/bin/python3 " VESK_SOURCE_DIR "/tests/e2e/frames.py"},
            {"$NOBODY", "setpriv --reuid=65534 --regid=65534 --clear-groups"}};
        for (const auto &[name, value] : vars)
            for (size_t at = s.find(name); at != std::string::npos;
                 at = s.find(name, at + value.size()))
                s.replace(at, std::strlen(name), value);
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
        const std::string a = expand(s.arg), &v = s.verb;
        const std::vector<std::string> w = split(a);
        auto num = [&](size_t i) { return std::stoi(w.at(i)); };
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
            return r.status != num(0)
                       ? is(false, "exit " + std::to_string(r.status) + ":\n" + r.out)
                       : compare(s, r.out);
        }
        if (v == "bg")
            return background("exec " + a);
        if (v == "ip")
            return is(w[0] == "s" ? lab_.ip_switch(a.substr(2)) : lab_.ip_neighbour(a.substr(2)));
        if (v == "hairpin" || v == "cable") {
            const std::string br = v == "cable" ? "cb" + w[0] + w[1] : "hp" + w[0],
                              ip = "ip -n " + lab_.neighbour_ns() + " link ";
            return is(sh(ip + "add " + br + " type bridge; " + ip + "set " + br + " up && " + ip +
                         "set n" + w[0] + " master " + br + " && " + ip +
                         (v == "cable" ? "set n" + w[1] + " master " + br
                                       : "set dev n" + w[0] + " type bridge_slave hairpin " +
                                             (w.size() == 1 ? "on" : "off"))));
        }
        if (v == "logfile")
            return d_.set_log_path(a), HOLDS;
        if (v == "stop")
            return stopped_ = true, is(d_.stop() == 0, "veskd did not end with 0");
        if (v == "sleep")
            return std::this_thread::sleep_for(std::chrono::milliseconds(num(0))), HOLDS;
        if (v == "cpu")
            return cpu(num(0), w.size() > 1 ? num(1) : 100);
        if (v == "gaps")
            return gaps(split(a, " | "));
        if (v == "down") {
            size_t down = 0, stopped = 0;
            for (size_t i = 1; i < w.size(); i++) {
                const unsigned flags = lab_.flags("ge" + w[i]);
                down += !(flags & IFF_UP);
                stopped += (flags & IFF_UP) && !(flags & IFF_RUNNING);
            }
            return is(down == size_t(num(0)) && stopped == 0,
                      std::to_string(down) + " down, " + std::to_string(stopped) + " not running");
        }
        if (v == "log" && w[0].find_first_not_of("0123456789") == std::string::npos) {
            const size_t n = d_.log_count(a.substr(w[0].size() + 1));
            return is(n == size_t(num(0)), "logged " + std::to_string(n) + " times");
        }
        if (v == "log")
            return is(d_.log_count(a) > 0, "not logged");
        return why_ = "no step " + v, FAILS;
    }

    // "start ENV... -- ARGS...": veskd on the kernel backends with env added and args instead of
    // "-P 0", known to have learnt every port of br0 unless it is only launched.
    Outcome start(const std::vector<std::string> &w, bool wait_ports) {
        const auto dashes = std::find(w.begin(), w.end(), "--");
        std::vector<std::string> env = {"VESK_NSM=kernel", "VESK_FRAME=packet"}, args;
        std::copy_if(w.begin(), dashes, std::back_inserter(env), [](auto &e) { return e != ""; });
        if (dashes != w.end())
            args.assign(dashes + 1, w.end());
        d_.set_netns(lab_.switch_ns());
        d_.start(env, args);
        auto knows_ports = [&] {
            for (int i = 1; wait_ports && i <= ports_; i++)
                if (d_.cmd("show loop-detect interface ge" + std::to_string(i)).find('%') !=
                    std::string::npos)
                    return false;
            return true;
        };
        return is(!::testing::Test::HasFatalFailure() && wait_for(knows_ports),
                  "veskd did not start or learn the ports of br0");
    }

    // A command that runs until the scenario ends.
    Outcome background(const std::string &cmd) {
        const pid_t pid = fork();
        if (pid == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            execl("/bin/sh", "sh", "-c", cmd.c_str(), nullptr);
            _exit(127);
        }
        background_.push_back(pid);
        return is(pid > 0, "cannot fork");
    }

    // veskd's share of a core over ms milliseconds: below max percent.
    Outcome cpu(int ms, int max) {
        const double before = cpu_seconds(d_.pid());
        const auto t0 = Clock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        const double share = 100 * (cpu_seconds(d_.pid()) - before) /
                             std::chrono::duration<double>(Clock::now() - t0).count();
        std::cout << "veskd CPU " << share << "% of a core\n";
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
    const int ports_;
    SwitchLab lab_;
    Veskd d_;
    std::vector<pid_t> background_;
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
