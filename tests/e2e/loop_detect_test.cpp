// Loop detection from end to end: a real veskd on a real Linux bridge in a network namespace, on
// the kernel NSM and packet backends, with loops built behind its ports, and the switch changing
// under it as an operator's day goes. Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <iostream>
#include <linux/if_packet.h>
#include <memory>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using vesk_test::wait_for;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// The source address of every Talker's frames.
constexpr uint8_t kTalkerMac[6] = {2, 0, 0, 0, 0x0a, 1};

// A host behind interface ifname of namespace ns that sends one ARP broadcast every 50 ms, as a
// switch's neighbours do; its address moves in the bridge's forwarding table when a loop forms.
class Talker {
  public:
    Talker(const std::string &ns, const std::string &ifname)
        : fd_(vesk_test::packet_socket(ns, ifname)), thread_([this] { run(); }) {}
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

// Counts the Talker's frames that arrive at interface ifname of namespace ns from now on; the
// bridge's own frames (its multicast snooping's reports) arrive there too and do not count.
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

std::string detect(int port) {
    return "Detect a loop on the port ge" + std::to_string(port) + ", shut down";
}
std::string cancel(int port) {
    return "Cancel a loop on the port ge" + std::to_string(port) + ", no shut down";
}

class LoopDetectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root";
        lab_ = std::make_unique<vesk_test::SwitchLab>(4);
        ASSERT_TRUE(lab_->ok()) << "the namespaces and the bridge could not be built";
    }
    void start() { ASSERT_NO_FATAL_FAILURE(lab_->start(d_)); }
    void configure(int port, const std::vector<std::string> &lines) {
        std::vector<std::string> all = {"interface ge" + std::to_string(port)};
        all.insert(all.end(), lines.begin(), lines.end());
        ASSERT_NO_FATAL_FAILURE(d_.configure(all));
    }
    bool down_soon(int port, std::chrono::milliseconds limit = 5s) {
        return wait_for([&] { return !lab_->admin_up(port); }, limit);
    }
    // A bridge-port flag of geI as the switch namespace's sysfs shows it; -1 when unreadable.
    int brport_flag(int port, const std::string &flag) const {
        auto r =
            vesk_test::run_shell("ip netns exec " + lab_->switch_ns() + " cat /sys/class/net/ge" +
                                 std::to_string(port) + "/brport/" + flag + " 2>/dev/null");
        return r.out.empty() ? -1 : std::atoi(r.out.c_str());
    }

    vesk_test::Veskd d_;
    std::unique_ptr<vesk_test::SwitchLab> lab_;
};

TEST_F(LoopDetectTest, OnePortLoopIsShutDownWithinTwoSecondsOfEnable) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_TRUE(lab_->admin_up(1));
    const auto t0 = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    ASSERT_TRUE(down_soon(1)) << "ge1 was not shut down";
    std::cout << "enable to admin down: " << seconds_since(t0) << " s\n";
    EXPECT_LT(seconds_since(t0), 2.0);
    EXPECT_TRUE(wait_for([&] { return d_.log_count(detect(1)) == 1; }, 2s));
    for (int i = 2; i <= 4; i++)
        EXPECT_TRUE(lab_->admin_up(i)) << "ge" << i << " has no loop";
}

// ge3 receives ge2's frames but sends none of its own: it stays up.
TEST_F(LoopDetectTest, MultiPortLoopShutsDownTheSendingPort) {
    ASSERT_TRUE(lab_->cable(2, 3));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(2, {"loop-detect enable"}));
    ASSERT_TRUE(down_soon(2)) << "ge2 was not shut down";
    EXPECT_TRUE(wait_for([&] { return d_.log_count(detect(2)) == 1; }, 2s));
    EXPECT_TRUE(lab_->admin_up(3));
    EXPECT_EQ(d_.log_count(detect(3)), 0u);
}

// With the default 10 s interval, a loop that forms in steady state would wait up to 10 s for
// the next frame; the bridge's forwarding table shows it at once.
TEST_F(LoopDetectTest, LoopMadeWhileLinksAreUpIsCutWithinASecond) {
    ASSERT_TRUE(lab_->hairpin(1) && lab_->hairpin(1, false));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    Talker host(lab_->neighbour_ns(), "n3");
    ASSERT_TRUE(host.started());
    // Past the start phase (frames at 0, 1 and 2 s); the next frame is due at 12 s.
    std::this_thread::sleep_for(3500ms);
    ASSERT_TRUE(lab_->admin_up(1));
    const auto t0 = clock_type::now();
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_TRUE(down_soon(1)) << "ge1 was not shut down";
    std::cout << "loop made to admin down: " << seconds_since(t0) << " s\n";
    EXPECT_LT(seconds_since(t0), 1.0);
}

// Of two ports looped together, exactly one is cut, through both start phases; and when one of
// the two is an uplink, it is never the one.
TEST_F(LoopDetectTest, TwoPortLoopCostsOnePortAndNeverTheUplink) {
    ASSERT_TRUE(lab_->cable(1, 2));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(d_.configure(
        {"interface ge1", "loop-detect enable", "interface ge2", "loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1) || !lab_->admin_up(2); }, 5s));
    std::this_thread::sleep_for(3s);
    EXPECT_NE(lab_->admin_up(1), lab_->admin_up(2)) << "exactly one of ge1 and ge2 is cut";
    EXPECT_EQ(d_.log_count("Detect a loop"), 1u);

    ASSERT_TRUE(lab_->uncable(1) && lab_->uncable(2) && lab_->cable(3, 4));
    ASSERT_NO_FATAL_FAILURE(configure(3, {"loop-detect uplink", "loop-detect enable"}));
    ASSERT_TRUE(down_soon(4)) << "ge4 was not shut down";
    EXPECT_TRUE(wait_for([&] { return d_.log_count(detect(4)) == 1; }, 2s));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(lab_->admin_up(3)) << "an uplink is never cut";
    EXPECT_EQ(d_.log_count(detect(3)), 0u);
    EXPECT_NE(d_.cmd("show loop-detect interface ge3").find("  Uplink: Yes\n"), std::string::npos);
}

TEST_F(LoopDetectTest, BlockKeepsTheLinkUpKeepsTheLoopOutAndLiftsItselfWhenTheLoopGoes) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect loop block", "loop-detect enable"}));
    ASSERT_TRUE(d_.logged("Detect a loop on the port ge1, block", 5s));
    bool link_up = true;
    auto watch = [&] { link_up = link_up && lab_->admin_up(1) && lab_->running(1); };
    EXPECT_EQ(brport_flag(1, "unicast_flood"), 0);
    EXPECT_EQ(brport_flag(1, "learning"), 0);
    EXPECT_NE(d_.cmd("show loop-detect interface ge1").find("  Port state: blocked\n"),
              std::string::npos);
    // Frames from behind ge1 go nowhere, and a host's broadcasts do not leave through ge1 (the
    // probes, one a second, do).
    for (const std::string from : {"hp1", "n3"}) {
        int at_ge4 = vesk_test::packet_socket(lab_->neighbour_ns(), "n4");
        ASSERT_GE(at_ge4, 0);
        Talker talker(lab_->neighbour_ns(), from);
        ASSERT_TRUE(talker.started());
        const auto t0 = clock_type::now();
        const uint64_t out_ge1 = lab_->peer_packets(1);
        wait_for([&] { return watch(), false; }, 1s);
        const size_t heard = talker_frames(at_ge4);
        close(at_ge4);
        if (from == "hp1") {
            EXPECT_EQ(heard, 0u) << "a frame from behind ge1 was forwarded";
            continue;
        }
        EXPECT_GT(heard, 0u) << "the listener at ge4 misses flooded frames";
        EXPECT_LE(lab_->peer_packets(1) - out_ge1, uint64_t(seconds_since(t0)) + 1)
            << "broadcasts left ge1";
    }
    ASSERT_TRUE(lab_->hairpin(1, false));
    const auto t0 = clock_type::now();
    ASSERT_TRUE(wait_for(
        [&] { return watch(), d_.log_count("Cancel a loop on the port ge1, unblock") == 1; }, 5s))
        << "the block was not lifted";
    std::cout << "loop gone to unblocked: " << seconds_since(t0) << " s\n";
    EXPECT_LT(seconds_since(t0), 3.0);
    // The log line comes as the request leaves; the kernel applies the flags a moment later.
    EXPECT_TRUE(wait_for(
        [&] { return brport_flag(1, "unicast_flood") == 1 && brport_flag(1, "learning") == 1; },
        1s))
        << "flooding and learning were not restored";
    EXPECT_TRUE(link_up) << "the link of a blocked port went down";
}

// Released, its link comes back and it sends again; the loop behind it is still there, so it is
// found again (within milliseconds on veth, too fast to watch the port up between).
TEST_F(LoopDetectTest, ForceUpReleasesThePortAndTheLoopIsFoundAgain) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    ASSERT_TRUE(down_soon(1));
    const auto t0 = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect force up"}));
    ASSERT_TRUE(wait_for([&] { return d_.log_count(cancel(1)) == 1; }, 5s)) << "not released";
    const double released = seconds_since(t0);
    std::cout << "force up to release: " << released << " s\n";
    EXPECT_GT(released, 0.5);
    EXPECT_LT(released, 2.5);
    ASSERT_TRUE(wait_for([&] { return d_.log_count(detect(1)) == 2; }, 10s));
    EXPECT_TRUE(down_soon(1, 2s));
    const std::string log = d_.log();
    EXPECT_LT(log.find(cancel(1)), log.rfind(detect(1))) << "found again only after the release";
}

TEST_F(LoopDetectTest, PortInLogModeOnlyLogs) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect loop log", "loop-detect enable"}));
    ASSERT_TRUE(wait_for(
        [&] { return d_.log_count("port ge1 connection device exits a loop in vlan 1") >= 2; }, 5s))
        << "the loop was not logged";
    EXPECT_TRUE(lab_->admin_up(1));
    EXPECT_EQ(d_.log_count(detect(1)), 0u);
}

// A shut-down port stays down when veskd stops; and a loop in log mode, never broken, keeps its
// frames arriving as fast as the bridges pass them, yet stopping ends the receive thread before
// the framework is freed.
TEST_F(LoopDetectTest, SigtermLeavesAShutDownPortDownAndEndsCleanlyDuringAFrameStorm) {
    ASSERT_TRUE(lab_->hairpin(1) && lab_->cable(2, 3));
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(d_.configure({"interface ge1", "loop-detect enable", "interface ge2",
                                          "loop-detect loop log", "loop-detect enable"}));
    ASSERT_TRUE(down_soon(1));
    ASSERT_TRUE(d_.logged("port ge2 connection device exits a loop", 5s));
    EXPECT_EQ(d_.stop(), 0);
    lab_->uncable(2);
    EXPECT_FALSE(lab_->admin_up(1)) << "ge1 must stay shut down after veskd stops";
    EXPECT_TRUE(lab_->admin_up(2));
    EXPECT_EQ(d_.log_count(cancel(1)), 0u);
    EXPECT_EQ(d_.log_count("receive thread did not stop"), 0u);
}

// One veskd per place: a second one on the same vty socket goes at once, touching nothing.
TEST_F(LoopDetectTest, SecondVeskdOfThePlaceExitsAtOnce) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    const std::string files = vesk_test::make_temp_dir("vesk-second-");
    vesk_test::DaemonProcess second(files);
    second.set_netns(lab_->switch_ns());
    ASSERT_TRUE(
        second.start({"-f", d_.config_path(), "-P", "0"},
                     {"VESK_NSM=kernel", "VESK_FRAME=packet", "VESK_VTY_SOCKET=" + d_.vty_path()}));
    int status = 0;
    const bool ended = second.wait_exit(&status, 5s);
    const std::string err = second.err();
    vesk_test::remove_dir(files);
    ASSERT_TRUE(ended) << "the second veskd kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_NE(err.find("another daemon already runs with the vty socket"), std::string::npos)
        << err;
    EXPECT_TRUE(d_.alive());
    EXPECT_NE(d_.cmd("show loop-detect interface ge1").find("isProtected: Yes"), std::string::npos);
}

// The switch changing under veskd: each case is a configuration file, lab steps before and
// after veskd starts, and what veskd must then log and show. A step: 's' and 'n' run "ip" in
// the switch or neighbour namespace, 'h' puts a hairpin loop behind port N, 'c' cables ports
// "A B" together, 'w' waits for veskd to log the text.
struct Step {
    char kind;
    std::string text;
};

struct Case {
    const char *name;
    std::string config; // after the "log file" line, which is line 1
    std::vector<Step> before, after;
    std::string logs;       // a text veskd must log ("" for none)
    std::string show;       // a show command whose output, soon,
    std::string shows;      // must contain this
    std::string never = {}; // and never this
};

const Case kCases[] = {
    {"LoopAfterTheBridgeMacChanged",
     "loop-detect enable\n",
     {},
     {{'s', "link set br0 address 02:00:00:00:00:99"},
      {'n', "link set n2 down"},
      {'n', "link set n2 up"},
      {'c', "1 2"}},
     "Detect a loop on the port ge",
     "show loop-detect",
     "shutdown"},
    {"LatePortOfAnEnabledBridge",
     "loop-detect enable\n",
     {{'s', "link set ge4 nomaster"}},
     {{'s', "link set ge4 master br0"}, {'h', "4"}},
     "Detect a loop on the port ge4",
     "show running-config",
     "interface ge4\n",
     "no loop-detect protect vlan 1"},
    {"RecreatedBridgeBesideAnother",
     "loop-detect enable\ninterface ge1\n loop-detect tx-interval time 20\n",
     {{'s', "link add br9 type bridge"}},
     {{'s', "link del br0"},
      {'w', "bridge br0 has gone; waiting for a bridge of that name"},
      {'h', "1"},
      {'s', "link add br0 type bridge"},
      {'s', "link set ge1 master br0"},
      {'s', "link set br0 up"}},
     "Detect a loop on the port ge1",
     "show running-config",
     "interface ge1\n loop-detect tx-interval time 20\n"},
    {"RenamedPortReportedUnderItsNewName",
     "loop-detect enable\n",
     {},
     {{'s', "link set ge1 down"},
      {'s', "link set ge1 name ge9"},
      {'s', "link set ge9 up"},
      {'h', "1"}},
     "Detect a loop on the port ge9",
     "show loop-detect",
     "Interface ge9\n",
     "Interface ge1\n"},
    {"ShutDownPortMovedOutOfTheBridgeComesBackUp",
     "interface ge1\n loop-detect enable\n",
     {},
     {{'h', "1"}, {'w', "Detect a loop on the port ge1"}, {'s', "link set ge1 nomaster"}},
     "ge1, shut down by loop detection, is no longer a port of bridge 1: set admin up",
     "show loop-detect interface ge1",
     "Port state: up"},
    {"MissingInterfaceAfterAHeaderOnlyBlock",
     "interface ge1\ninterface ge7\n loop-detect enable\n",
     {},
     {},
     "veskd.conf:4: No interface selected",
     "show loop-detect interface ge1",
     "isProtected: No"},
    {"NoEnableUnderAPortNamedPort4",
     "loop-detect enable\ninterface port4\n no loop-detect enable\n",
     {{'s', "link set ge4 down"}, {'s', "link set ge4 name port4"}, {'s', "link set port4 up"}},
     {},
     "",
     "show loop-detect",
     "neighbour loop detection protocol: enable"},
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class SwitchChanges : public LoopDetectTest, public ::testing::WithParamInterface<Case> {
  protected:
    void run(const Step &step) {
        switch (step.kind) {
        case 's':
            ASSERT_TRUE(lab_->ip_switch(step.text)) << step.text;
            break;
        case 'n':
            ASSERT_TRUE(lab_->ip_neighbour(step.text)) << step.text;
            break;
        case 'h':
            ASSERT_TRUE(lab_->hairpin(std::stoi(step.text)));
            break;
        case 'c':
            ASSERT_TRUE(lab_->cable(step.text[0] - '0', step.text[2] - '0'));
            break;
        default:
            ASSERT_TRUE(d_.logged(step.text, 15s)) << "veskd did not log \"" << step.text << "\"";
        }
    }
};

TEST_P(SwitchChanges, LoopsAreCutAndConfigurationLandsWhereMeant) {
    const Case &c = GetParam();
    for (const Step &step : c.before)
        ASSERT_NO_FATAL_FAILURE(run(step));
    std::ofstream(d_.config_path(), std::ios::app) << c.config;
    d_.set_netns(lab_->switch_ns());
    ASSERT_NO_FATAL_FAILURE(d_.start({"VESK_NSM=kernel", "VESK_FRAME=packet"}));
    for (const Step &step : c.after)
        ASSERT_NO_FATAL_FAILURE(run(step));
    if (!c.logs.empty()) {
        ASSERT_NO_FATAL_FAILURE(run({'w', c.logs}));
    }
    std::string out;
    EXPECT_TRUE(d_.shows(c.show, c.shows, &out)) << out;
    if (!c.never.empty()) {
        EXPECT_EQ(out.find(c.never), std::string::npos) << out;
    }
    EXPECT_TRUE(d_.alive());
}

INSTANTIATE_TEST_SUITE_P(Cases, SwitchChanges, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
