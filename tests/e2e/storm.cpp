// Storms on real Linux bridges (root only). A foreign flood: a port with a one-port loop behind
// it receives broadcast frames as fast as this machine can make them (other EtherTypes, and ARP
// requests from 0.0.0.0 of other stations, which the kernel filter lets through); the loop must
// still be detected within the transmit interval plus 2 s, the vty must answer within 1 s, and
// memory must stay flat. A flood of other EtherTypes alone must cost veskd under 5% of a core,
// since the kernel filter drops it. An own-frame storm: two bridges cabled by three veth pairs, one
// broadcast loops for ever; loop detection on the three ports must cut it.
#include <algorithm>
#include <cmath>
#include <functional>
#include <iostream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/switch_lab.h"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;
using vesk_test::wait_for;

// Broadcast frames out of nI in the neighbour namespace until killed, as fast as Python can send
// them. Mode "mixed" alternates other EtherTypes with ARP requests from 0.0.0.0 of other
// stations; "other" sends only other EtherTypes.
const char *const kFlooder = R"PY(
import socket, sys
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
s.bind((sys.argv[1], 0))
frames = []
for i in range(64):
    mac = bytes([2, 0x55, 0, 0, i >> 8, i & 255])
    frames.append(b"\xff" * 6 + mac + b"\x88\xb5" + bytes(46))
    arp = b"\x00\x01\x08\x00\x06\x04\x00\x01" + mac + bytes(4) + bytes(6) + bytes([10, 0, 0, i])
    if sys.argv[2] == "mixed":
        frames.append(b"\xff" * 6 + mac + b"\x08\x06" + arp + bytes(46 - len(arp)))
while True:
    for f in frames:
        try:
            s.send(f)
        except OSError:
            pass
)PY";

// The flood out of peer nI of the lab; frames per second so far from the peer's counter.
class Flooder {
  public:
    Flooder(const vesk_test::SwitchLab &lab, int port, const char *mode = "mixed")
        : lab_(lab), port_(port), base_(lab.peer_packets(port, "tx")) {
        const std::string ns = lab.neighbour_ns(), ifname = "n" + std::to_string(port);
        pid_ = fork();
        if (pid_ == 0) {
            execlp("ip", "ip", "netns", "exec", ns.c_str(), "/usr/bin/python3", "-c", kFlooder,
                   ifname.c_str(), mode, nullptr);
            _exit(127);
        }
        started_ = wait_for([&] { return sent() > 20000; }, 5s);
    }
    ~Flooder() {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool started() const { return started_; }
    uint64_t sent() const { return lab_.peer_packets(port_, "tx") - base_; }
    long rate() const {
        return long(double(sent()) /
                    std::chrono::duration<double>(clock_type::now() - t0_).count());
    }

  private:
    const vesk_test::SwitchLab &lab_;
    int port_;
    uint64_t base_;
    clock_type::time_point t0_ = clock_type::now();
    pid_t pid_ = -1;
    bool started_ = false;
};

class StormTest : public ::testing::Test {
  protected:
    void build(int ports) {
        if (geteuid() != 0)
            GTEST_SKIP() << "storms need root";
        lab_ = std::make_unique<vesk_test::SwitchLab>(ports);
        ASSERT_TRUE(lab_->ok()) << "the namespaces could not be built";
        ASSERT_NO_FATAL_FAILURE(lab_->start(d_, {"VESK_BRIDGE=br0"}));
    }
    void enable(std::initializer_list<const char *> ports) {
        std::vector<std::string> lines;
        for (const char *port : ports)
            lines.insert(lines.end(), {std::string("interface ") + port, "loop-detect enable"});
        ASSERT_NO_FATAL_FAILURE(d_.configure(lines));
    }
    bool detected() { return d_.logged("Detect a loop on the port", 12s); }
    // veskd's share of a core over a span, with work() run now and then during it.
    double cpu_share(
        std::chrono::milliseconds span, const std::function<void()> &work = [] {}) {
        const double before = vesk_test::cpu_seconds(d_.pid());
        const auto t0 = clock_type::now();
        while (clock_type::now() - t0 < span) {
            work();
            std::this_thread::sleep_for(300ms);
        }
        return (vesk_test::cpu_seconds(d_.pid()) - before) /
               std::chrono::duration<double>(clock_type::now() - t0).count();
    }

    vesk_test::Veskd d_;
    std::unique_ptr<vesk_test::SwitchLab> lab_;
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

// ge2 has no loop: its transmit timer runs through the flood (after 1 s, 1 s, then 10 s), and
// the debug lines' times show how late it fires; it is never touched.
TEST_F(StormTest, ForeignFloodOnALoopedPort) {
    ASSERT_NO_FATAL_FAILURE(build(2));
    ASSERT_TRUE(lab_->hairpin(1));
    const pid_t pid = d_.pid();
    Flooder flood(*lab_, 1);
    ASSERT_TRUE(flood.started()) << "the flood does not start";
    ASSERT_EQ(d_.cmd("debug loop-detect machine"), "loop-detect machine debugging is on\n");
    const uint64_t ge2_rx = lab_->peer_packets(2);
    ASSERT_NO_FATAL_FAILURE(enable({"ge2"}));
    const auto ge2_enabled = clock_type::now();
    const long rss_before = vesk_test::proc_status_kib(pid, "VmRSS");
    std::chrono::milliseconds worst{}, took{};
    const double cpu = cpu_share(3s, [&] {
        EXPECT_NE(d_.vty().command("show loop-detect", 10s, &took), "");
        worst = std::max(worst, took);
    });
    EXPECT_LT(worst, 1000ms) << "vty under the flood";
    const auto enabled = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(enable({"ge1"}));
    EXPECT_TRUE(detected()) << "no detection within 10 + 2 s";
    const double detect = std::chrono::duration<double>(clock_type::now() - enabled).count();
    const long rss_after = vesk_test::proc_status_kib(pid, "VmRSS");
    EXPECT_TRUE(wait_for([&] { return d_.log_count("Port ge2 tx time expire") >= 3; },
                         std::chrono::duration_cast<std::chrono::milliseconds>(
                             15s - (clock_type::now() - ge2_enabled))));
    const long rate = flood.rate();
    const std::vector<double> fired = line_times(d_.log(), "Port ge2 tx time expire");
    ASSERT_GE(fired.size(), 3u) << "ge2's timer did not run through the flood";
    const double slip =
        std::max(std::abs(fired[1] - fired[0] - 1), std::abs(fired[2] - fired[1] - 10));
    std::cerr << "storm foreign: detected after " << detect << " s; vty worst " << worst.count()
              << " ms; veskd CPU " << 100 * cpu << "% of a core under " << rate
              << " frames/s; timer slip " << long(slip * 1000) << " ms; RSS " << rss_before
              << " -> " << rss_after << " KiB\n";
    EXPECT_LT(slip, 0.1) << "timers slipped under the flood";
    EXPECT_LT(rss_after - rss_before, 2048) << "memory grew under the flood";
    EXPECT_TRUE(lab_->admin_up(2) && lab_->running(2)) << "ge2 has no loop";
    EXPECT_EQ(d_.log_count("Detect a loop on the port ge2"), 0u);
    EXPECT_GE(lab_->peer_packets(2) - ge2_rx, 4u) << "ge2's frames at 0, 1, 2 and 12 s";
    EXPECT_TRUE(d_.alive());
}

// Traffic that is not ours never reaches the daemon: the kernel filter drops it.
TEST_F(StormTest, OtherEtherTypesCostLittle) {
    ASSERT_NO_FATAL_FAILURE(build(1));
    ASSERT_NO_FATAL_FAILURE(enable({"ge1"}));
    Flooder flood(*lab_, 1, "other");
    ASSERT_TRUE(flood.started()) << "the flood does not start";
    const double cpu = cpu_share(3s);
    std::cerr << "storm other: veskd CPU " << 100 * cpu << "% of a core under " << flood.rate()
              << " frames/s of other EtherTypes\n";
    EXPECT_LT(cpu, 0.05) << "veskd pays for traffic the kernel filter should drop";
    EXPECT_TRUE(d_.alive());
}

// Two bridges cabled by three veth pairs: every broadcast circles for ever until the looping
// ports are shut down; then the cables go quiet but for the odd detection frame.
TEST_F(StormTest, OwnFrameStormInTwoBridgesIsCut) {
    ASSERT_NO_FATAL_FAILURE(build(3));
    ASSERT_TRUE(lab_->cable(1, 2) && lab_->ip_neighbour("link set n3 master cb12"));
    const auto enabled = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(enable({"ge1", "ge2", "ge3"}));
    EXPECT_TRUE(detected()) << "no detection within 10 + 2 s";
    const double detect = std::chrono::duration<double>(clock_type::now() - enabled).count();
    std::chrono::milliseconds took{};
    EXPECT_NE(d_.vty().command("show loop-detect", 10s, &took), "");
    EXPECT_LT(took, 1000ms) << "vty during the storm";
    uint64_t quiet = 0;
    EXPECT_TRUE(wait_for(
        [&] {
            uint64_t before = lab_->peer_packets(1);
            std::this_thread::sleep_for(200ms);
            return (quiet = lab_->peer_packets(1) - before) < 20;
        },
        10s))
        << "n1 still receives " << quiet << " frames in 200 ms";
    std::cerr << "storm own: detected after " << detect << " s; vty " << took.count() << " ms; RSS "
              << vesk_test::proc_status_kib(d_.pid(), "VmRSS") << " KiB\n";
    EXPECT_TRUE(d_.alive());
}

} // namespace
