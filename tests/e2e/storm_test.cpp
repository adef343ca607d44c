// Storms on real Linux bridges (root only). A foreign flood: a port with a one-port loop behind
// it receives broadcast frames as fast as this machine can make them (other EtherTypes, and ARP
// requests from 0.0.0.0 of other stations, which the kernel filter lets through); the loop must
// still be detected within the transmit interval plus 2 s, the vty must answer within 1 s, and
// memory must stay flat. A flood of other EtherTypes alone must cost veskd under 5% of a core,
// since the kernel filter drops it. An own-frame storm: two bridges cabled by three veth pairs, one
// broadcast loops for ever; loop detection on the three ports must cut it.
//
// Namespaces are "hdn<pid>s" (veskd's switch) and "hdn<pid>n" (the neighbour), with IPv6 off;
// they are deleted when the test ends, also when it fails or is interrupted.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "integration/fault_rig.h"
#include "support/daemon_process.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using vesk_test::read_file;
using vesk_test::wait_for;

std::string ns_prefix() {
    return "hdn" + std::to_string(getpid());
}

bool run(const std::string &cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

void delete_namespaces() {
    run("ip netns del " + ns_prefix() + "s");
    run("ip netns del " + ns_prefix() + "n");
}

void on_signal(int signo) {
    delete_namespaces();
    std::signal(signo, SIG_DFL);
    std::raise(signo);
}

// The switch namespace with br0 and ports ge1..geN, each a veth whose peer nI sits in the
// neighbour namespace.
class StormLab {
  public:
    explicit StormLab(int ports) {
        std::atexit(delete_namespaces);
        std::signal(SIGINT, on_signal);
        std::signal(SIGTERM, on_signal);
        delete_namespaces();
        ok_ = build(ports);
    }
    ~StormLab() { delete_namespaces(); }
    StormLab(const StormLab &) = delete;
    StormLab &operator=(const StormLab &) = delete;

    bool ok() const { return ok_; }
    std::string sw() const { return ns_prefix() + "s"; }
    std::string nb() const { return ns_prefix() + "n"; }
    bool in_switch(const std::string &args) const { return run("ip -n " + sw() + " " + args); }
    bool in_neighbour(const std::string &args) const { return run("ip -n " + nb() + " " + args); }

    // Packets of a neighbour interface; dir is "rx" or "tx".
    long packets(const std::string &ifname, const std::string &dir) const {
        std::string cmd = "ip netns exec " + nb() + " cat /sys/class/net/" + ifname +
                          "/statistics/" + dir + "_packets";
        std::unique_ptr<FILE, int (*)(FILE *)> p(popen(cmd.c_str(), "r"), pclose);
        long n = -1;
        if (p == nullptr || std::fscanf(p.get(), "%ld", &n) != 1)
            return -1;
        return n;
    }

  private:
    bool build(int ports) {
        for (const std::string &ns : {sw(), nb()}) {
            if (!run("ip netns add " + ns) ||
                !run("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") ||
                !run("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.default.disable_ipv6=1"))
                return false;
        }
        if (!in_switch("link add br0 address 02:00:00:00:00:01 type bridge") ||
            !in_switch("link set br0 up"))
            return false;
        for (int i = 1; i <= ports; i++) {
            std::string n = std::to_string(i);
            if (!in_switch("link add ge" + n + " address 02:00:00:00:01:0" + n +
                           " type veth peer name n" + n + " netns " + nb() +
                           " address 02:00:00:00:02:0" + n) ||
                !in_switch("link set ge" + n + " master br0 up") ||
                !in_neighbour("link set n" + n + " up"))
                return false;
        }
        return in_neighbour("link add nbr type bridge") && in_neighbour("link set nbr up");
    }
    bool ok_ = false;
};

// Broadcast frames out of nI in the neighbour namespace for some seconds, as fast as Python
// can send them; prints how many it sent. Mode "mixed" alternates other EtherTypes with ARP
// requests from 0.0.0.0 of other stations; "other" sends only other EtherTypes.
const char *const kFlooder = R"PY(
import socket, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
frames = []
for i in range(64):
    mac = bytes([2, 0x55, 0, 0, i >> 8, i & 255])
    frames.append(b"\xff" * 6 + mac + b"\x88\xb5" + bytes(46))
    arp = b"\x00\x01\x08\x00\x06\x04\x00\x01" + mac + bytes(4) + bytes(6) + bytes([10, 0, 0, i])
    if sys.argv[3] == "mixed":
        frames.append(b"\xff" * 6 + mac + b"\x08\x06" + arp + bytes(46 - len(arp)))
end = time.monotonic() + float(sys.argv[2])
n = 0
while time.monotonic() < end:
    for f in frames:
        try:
            s.send(f)
            n += 1
        except OSError:
            pass
print(n, flush=True)
)PY";

class Flooder {
  public:
    Flooder(const std::string &ns, const std::string &ifname, double seconds,
            const char *mode = "mixed") {
        out_ = std::tmpfile();
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fileno(out_), STDOUT_FILENO);
            execlp("ip", "ip", "netns", "exec", ns.c_str(), "/usr/bin/python3", "-c", kFlooder,
                   ifname.c_str(), std::to_string(seconds).c_str(), mode, nullptr);
            _exit(127);
        }
    }
    ~Flooder() { stop(); }
    // Waits for the end; gives the frames sent.
    long finish() {
        int status = 0;
        if (pid_ > 0)
            waitpid(pid_, &status, 0);
        pid_ = -1;
        long n = 0;
        std::rewind(out_);
        if (std::fscanf(out_, "%ld", &n) != 1)
            n = 0;
        return n;
    }
    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        if (out_ != nullptr)
            std::fclose(out_);
        out_ = nullptr;
    }

  private:
    pid_t pid_ = -1;
    FILE *out_ = nullptr;
};

class StormTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "storms need root";
        dir_ = vesk_test::make_temp_dir("hdn-storm-");
        log_path_ = dir_ + "/veskd.log";
        std::ofstream(dir_ + "/veskd.conf") << "log file " << log_path_ << "\n";
    }
    void TearDown() override {
        if (HasFailure() && !dir_.empty())
            std::cerr << "---- veskd log (tail) ----\n" << tail(read_file(log_path_)) << "\n";
        vty_.reset();
        daemon_.reset();
        lab_.reset();
        vesk_test::remove_dir(dir_);
    }
    static std::string tail(const std::string &s) {
        return s.size() > 3000 ? s.substr(s.size() - 3000) : s;
    }
    void build(int ports) {
        lab_ = std::make_unique<StormLab>(ports);
        ASSERT_TRUE(lab_->ok()) << "the namespaces could not be built";
    }
    void start_daemon() {
        daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
        daemon_->set_netns(lab_->sw());
        ASSERT_TRUE(daemon_->start({"-f", dir_ + "/veskd.conf", "-P", "0"},
                                   {"VESK_NSM=kernel", "VESK_FRAME=packet", "VESK_BRIDGE=br0",
                                    "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        vty_ = std::make_unique<vesk_test::VtyClient>();
        ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s)) << "the vty of veskd did not answer";
    }
    void enable(std::initializer_list<const char *> ports) {
        ASSERT_EQ(vty_->command("configure terminal"), "");
        for (const char *port : ports) {
            ASSERT_EQ(vty_->command(std::string("interface ") + port), "") << port;
            ASSERT_EQ(vty_->command("loop-detect enable"), "") << port;
        }
        ASSERT_EQ(vty_->command("end"), "");
    }
    bool detected() const {
        return read_file(log_path_).find("Detect a loop on the port") != std::string::npos;
    }

    std::string dir_;
    std::string log_path_;
    std::unique_ptr<StormLab> lab_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    std::unique_ptr<vesk_test::VtyClient> vty_;
};

// Seconds since midnight of each log line holding text ("YYYY/MM/DD HH:MM:SS.mmm veskd: ...").
std::vector<double> line_times(const std::string &log, const std::string &text) {
    std::vector<double> times;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        int h = 0, m = 0, sec = 0, ms = 0;
        if (line.find(text) != std::string::npos &&
            std::sscanf(line.c_str(), "%*d/%*d/%*d %d:%d:%d.%d", &h, &m, &sec, &ms) == 4)
            times.push_back(h * 3600.0 + m * 60.0 + sec + ms / 1000.0);
    }
    return times;
}

TEST_F(StormTest, ForeignFloodOnALoopedPort) {
    ASSERT_NO_FATAL_FAILURE(build(2));
    ASSERT_TRUE(lab_->in_neighbour("link set n1 master nbr"));
    ASSERT_TRUE(run("bridge -n " + lab_->nb() + " link set dev n1 hairpin on"));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const pid_t pid = daemon_->daemon_pid();
    const double flood_seconds = 16;
    const long base = lab_->packets("n1", "tx");
    Flooder flood(lab_->nb(), "n1", flood_seconds);
    ASSERT_TRUE(wait_for([&] { return lab_->packets("n1", "tx") - base > 20000; }, 5s))
        << "the flood does not start";
    // ge2 has no loop: its transmit timer runs through the flood (after 1 s, 1 s, then 10 s),
    // and the debug lines' times show how late it fires.
    ASSERT_EQ(vty_->command("debug loop-detect machine"), "loop-detect machine debugging is on\n");
    ASSERT_NO_FATAL_FAILURE(enable({"ge2"}));

    const long rss_before = vesk_fault::proc_status_kib(pid, "VmRSS");
    // veskd's CPU over three seconds of flood, asking the vty now and then.
    const double cpu_before = vesk_fault::cpu_seconds(pid);
    const auto t_cpu = clock_type::now();
    std::chrono::milliseconds worst{};
    while (clock_type::now() - t_cpu < 3s) {
        std::chrono::milliseconds took{};
        EXPECT_NE(vesk_fault::timed_command(*vty_, "show loop-detect", &took), "");
        worst = std::max(worst, took);
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_LT(worst, 1000ms) << "vty under the flood";
    const double cpu = vesk_fault::cpu_seconds(pid) - cpu_before;
    const double wall = std::chrono::duration<double>(clock_type::now() - t_cpu).count();

    const auto enabled = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(enable({"ge1"}));
    EXPECT_TRUE(wait_for([&] { return detected(); }, 12s)) << "no detection within 10 + 2 s";
    const double detect = std::chrono::duration<double>(clock_type::now() - enabled).count();
    const long rss_after = vesk_fault::proc_status_kib(pid, "VmRSS");
    const long sent = flood.finish();
    const std::vector<double> fired = line_times(read_file(log_path_), "Port ge2 tx time expire");
    ASSERT_GE(fired.size(), 3u) << "ge2's timer did not run through the flood";
    const double slip =
        std::max(std::abs(fired[1] - fired[0] - 1), std::abs(fired[2] - fired[1] - 10));
    std::cerr << "storm foreign: detected after " << detect << " s; vty worst " << worst.count()
              << " ms; veskd CPU " << 100 * cpu / wall << "% of a core under "
              << static_cast<long>(static_cast<double>(sent) / flood_seconds)
              << " frames/s; timer slip " << static_cast<long>(slip * 1000) << " ms; RSS "
              << rss_before << " -> " << rss_after << " KiB\n";
    EXPECT_LT(slip, 0.1) << "timers slipped under the flood";
    EXPECT_LT(rss_after - rss_before, 2048) << "memory grew under the flood";
    EXPECT_TRUE(daemon_->running());
}

// Traffic that is not ours never reaches the daemon: the kernel filter drops it.
TEST_F(StormTest, OtherEtherTypesCostLittle) {
    ASSERT_NO_FATAL_FAILURE(build(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(enable({"ge1"}));
    const pid_t pid = daemon_->daemon_pid();
    const double flood_seconds = 6;
    const long base = lab_->packets("n1", "tx");
    Flooder flood(lab_->nb(), "n1", flood_seconds, "other");
    ASSERT_TRUE(wait_for([&] { return lab_->packets("n1", "tx") - base > 20000; }, 5s))
        << "the flood does not start";
    const double cpu_before = vesk_fault::cpu_seconds(pid);
    const auto t_cpu = clock_type::now();
    EXPECT_FALSE(wait_for([&] { return !daemon_->running(); }, 3s)) << "veskd ended";
    const double cpu = vesk_fault::cpu_seconds(pid) - cpu_before;
    const double wall = std::chrono::duration<double>(clock_type::now() - t_cpu).count();
    const long sent = flood.finish();
    std::cerr << "storm other: veskd CPU " << 100 * cpu / wall << "% of a core under "
              << static_cast<long>(static_cast<double>(sent) / flood_seconds)
              << " frames/s of other EtherTypes\n";
    EXPECT_LT(cpu, 0.05 * wall) << "veskd pays for traffic the kernel filter should drop";
}

TEST_F(StormTest, OwnFrameStormInTwoBridgesIsCut) {
    ASSERT_NO_FATAL_FAILURE(build(3));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const pid_t pid = daemon_->daemon_pid();
    // Three cables between br0 and nbr: every broadcast circles for ever.
    for (const char *n : {"n1", "n2", "n3"})
        ASSERT_TRUE(lab_->in_neighbour(std::string("link set ") + n + " master nbr"));
    const auto enabled = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(enable({"ge1", "ge2", "ge3"}));
    EXPECT_TRUE(wait_for([&] { return detected(); }, 12s)) << "no detection within 10 + 2 s";
    const double detect = std::chrono::duration<double>(clock_type::now() - enabled).count();
    std::chrono::milliseconds took{};
    EXPECT_NE(vesk_fault::timed_command(*vty_, "show loop-detect", &took), "");
    EXPECT_LT(took, 1000ms) << "vty during the storm";
    // Once the looping ports are shut down the storm is cut: the cables go quiet but for the
    // odd detection frame.
    long quiet = 0;
    EXPECT_TRUE(wait_for(
        [&] {
            long before = lab_->packets("n1", "rx");
            std::this_thread::sleep_for(200ms);
            quiet = lab_->packets("n1", "rx") - before;
            return quiet < 20;
        },
        10s))
        << "n1 still receives " << quiet << " frames in 200 ms";
    std::cerr << "storm own: detected after " << detect << " s; vty " << took.count() << " ms; RSS "
              << vesk_fault::proc_status_kib(pid, "VmRSS") << " KiB\n";
    EXPECT_TRUE(daemon_->running());
}

} // namespace
