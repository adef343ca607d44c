// Loop detection from end to end: a real veskd on a real Linux bridge in a network namespace,
// on the kernel NSM and packet backends, with loops built behind its ports. Root only.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <linux/if_packet.h>
#include <memory>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::read_file;
using vesk_test::wait_for;
using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0) {
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// A host in namespace ns that sends one ARP broadcast from interface ifname every 50 ms, as a
// switch's neighbours do; its address moves in the bridge's forwarding table when a loop forms.
class Talker {
  public:
    Talker(const std::string &ns, const std::string &ifname)
        : thread_([this, ns, ifname] { run(ns, ifname); }) {}
    ~Talker() {
        stop_ = true;
        thread_.join();
    }
    bool started() {
        return wait_for([&] { return sent_ > 0 || failed_; }, 2s) && !failed_;
    }

  private:
    // setns moves only this thread into the namespace.
    void run(const std::string &ns, const std::string &ifname) {
        int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
        int fd = -1;
        if (target >= 0 && setns(target, CLONE_NEWNET) == 0)
            fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ARP));
        if (target >= 0)
            close(target);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        to.sll_halen = 6;
        failed_ = fd < 0 || to.sll_ifindex == 0;
        // From 02:00:00:00:0a:01, who-has 10.9.9.1 tell 10.9.9.9.
        const uint8_t frame[60] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2,  0, 0, 0, 0x0a,
                                   1,    0x08, 0x06, 0,    1,    8,    0,  6, 4, 0, 1,
                                   2,    0,    0,    0,    0x0a, 1,    10, 9, 9, 9, 0,
                                   0,    0,    0,    0,    0,    10,   9,  9, 1};
        while (!failed_ && !stop_) {
            if (sendto(fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) >
                0)
                sent_++;
            std::this_thread::sleep_for(50ms);
        }
        if (fd >= 0)
            close(fd);
    }
    std::atomic<bool> stop_{false};
    std::atomic<bool> failed_{false};
    std::atomic<int> sent_{0};
    std::thread thread_;
};

class LoopDetectTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root";
        lab_ = std::make_unique<vesk_test::SwitchLab>(4);
        ASSERT_TRUE(lab_->ok()) << "the namespaces and the bridge could not be built";
        dir_ = vesk_test::make_temp_dir("dmn-e2e-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        std::ofstream(dir_ + "/veskd.conf") << "log file " << log_path_ << "\n";
    }

    void TearDown() override {
        if (HasFailure() && !dir_.empty())
            std::cerr << "---- veskd log ----\n" << read_file(log_path_) << "-------------------\n";
        vty_.reset();
        daemon_.reset();
        lab_.reset();
        vesk_test::remove_dir(dir_);
    }

    // Starts veskd in the switch namespace and waits until it knows the ports of br0.
    void start_daemon() {
        daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
        daemon_->set_netns(lab_->switch_ns());
        ASSERT_TRUE(daemon_->start(
            {"-f", dir_ + "/veskd.conf", "-P", "0"},
            {"VESK_NSM=kernel", "VESK_FRAME=packet", "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        vty_ = std::make_unique<vesk_test::VtyClient>();
        ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s)) << "the vty of veskd did not answer";
        ASSERT_TRUE(wait_for([&] {
            for (int i = 1; i <= 4; i++)
                if (cmd("show loop-detect interface ge" + std::to_string(i)).find('%') !=
                    std::string::npos)
                    return false;
            return true;
        })) << "veskd did not learn the ports of br0: "
            << cmd("show loop-detect interface ge1");
    }

    std::string cmd(const std::string &line) { return vty_->command(line); }

    // Runs interface commands on a port; every one must succeed.
    void configure(int port, const std::vector<std::string> &lines) {
        ASSERT_EQ(cmd("configure terminal"), "");
        ASSERT_EQ(cmd("interface ge" + std::to_string(port)), "");
        for (const auto &line : lines)
            ASSERT_EQ(cmd(line), "") << line;
        ASSERT_EQ(cmd("end"), "");
    }

    size_t log_count(const std::string &text) {
        std::string log = read_file(log_path_);
        size_t n = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            n++;
        return n;
    }

    // A bridge-port flag of geI as the switch namespace's sysfs shows it; -1 when unreadable.
    int brport_flag(int port, const std::string &flag) const {
        const std::string cmd = "ip netns exec " + lab_->switch_ns() + " cat /sys/class/net/ge" +
                                std::to_string(port) + "/brport/" + flag + " 2>/dev/null";
        FILE *p = popen(cmd.c_str(), "r");
        int v = -1;
        if (p == nullptr)
            return -1;
        if (std::fscanf(p, "%d", &v) != 1)
            v = -1;
        pclose(p);
        return v;
    }

    static std::string detect(int port) {
        return "Detect a loop on the port ge" + std::to_string(port) + ", shut down";
    }
    static std::string cancel(int port) {
        return "Cancel a loop on the port ge" + std::to_string(port) + ", no shut down";
    }

    std::unique_ptr<vesk_test::SwitchLab> lab_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    std::unique_ptr<vesk_test::VtyClient> vty_;
    std::string dir_;
    std::string log_path_;
};

TEST_F(LoopDetectTest, OnePortLoopIsShutDownWithinTwoSecondsOfEnable) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_TRUE(lab_->admin_up(1));
    const auto t0 = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s)) << "ge1 was not shut down";
    const double took = seconds_since(t0);
    std::cout << "enable to admin down: " << took << " s\n";
    EXPECT_LT(took, 2.0);
    EXPECT_TRUE(wait_for([&] { return log_count(detect(1)) == 1; }, 2s));
    for (int i = 2; i <= 4; i++)
        EXPECT_TRUE(lab_->admin_up(i)) << "ge" << i << " has no loop";
}

TEST_F(LoopDetectTest, MultiPortLoopShutsDownTheSendingPort) {
    ASSERT_TRUE(lab_->cable(2, 3));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(2, {"loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(2); }, 5s)) << "ge2 was not shut down";
    EXPECT_TRUE(wait_for([&] { return log_count(detect(2)) == 1; }, 2s));
    // ge3 received ge2's frames but sends none of its own: it stays up.
    EXPECT_TRUE(lab_->admin_up(3));
    EXPECT_EQ(log_count(detect(3)), 0u);
}

// With the default 10 s interval, a loop that forms in steady state would wait up to 10 s for
// the next frame; the bridge's forwarding table shows it at once.
TEST_F(LoopDetectTest, LoopMadeWhileLinksAreUpIsCutWithinASecond) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_TRUE(lab_->hairpin(1, false));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    Talker host(lab_->neighbour_ns(), "n3");
    ASSERT_TRUE(host.started());
    // Past the start phase (frames at 0, 1 and 2 s); the next frame is due at 12 s.
    std::this_thread::sleep_for(4s);
    ASSERT_TRUE(lab_->admin_up(1));
    const auto t0 = clock_type::now();
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s)) << "ge1 was not shut down";
    const double took = seconds_since(t0);
    std::cout << "loop made to admin down: " << took << " s\n";
    EXPECT_LT(took, 1.0);
}

TEST_F(LoopDetectTest, TwoPortLoopCostsOnePort) {
    ASSERT_TRUE(lab_->cable(1, 2));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_EQ(cmd("configure terminal"), "");
    for (const char *line :
         {"interface ge1", "loop-detect enable", "interface ge2", "loop-detect enable", "end"})
        ASSERT_EQ(cmd(line), "") << line;
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1) || !lab_->admin_up(2); }, 5s));
    // Through the rest of both start phases.
    std::this_thread::sleep_for(3s);
    EXPECT_NE(lab_->admin_up(1), lab_->admin_up(2)) << "exactly one of ge1 and ge2 is cut";
    EXPECT_EQ(log_count("Detect a loop"), 1u);
}

TEST_F(LoopDetectTest, UplinksLoopCutsTheOtherPort) {
    ASSERT_TRUE(lab_->cable(1, 2));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect uplink", "loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(2); }, 5s)) << "ge2 was not shut down";
    EXPECT_TRUE(wait_for([&] { return log_count(detect(2)) == 1; }, 2s));
    std::this_thread::sleep_for(2s);
    EXPECT_TRUE(lab_->admin_up(1)) << "an uplink is never cut";
    EXPECT_EQ(log_count(detect(1)), 0u);
    EXPECT_NE(cmd("show loop-detect interface ge1").find("  Uplink: Yes\n"), std::string::npos);
}

TEST_F(LoopDetectTest, BlockKeepsTheLinkUpKeepsTheLoopOutAndLiftsItselfWhenTheLoopGoes) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect loop block", "loop-detect enable"}));
    ASSERT_TRUE(
        wait_for([&] { return log_count("Detect a loop on the port ge1, block") == 1; }, 5s));
    bool link_up = true;
    auto watch = [&] { link_up = link_up && lab_->admin_up(1) && lab_->running(1); };
    EXPECT_EQ(brport_flag(1, "unicast_flood"), 0);
    EXPECT_EQ(brport_flag(1, "learning"), 0);
    EXPECT_NE(cmd("show loop-detect interface ge1").find("  Port state: blocked\n"),
              std::string::npos);
    // Frames from behind ge1 go nowhere, and a host's broadcasts do not leave through ge1 (the
    // probes, one a second, do).
    for (const char *from : {"hp1", "n3"}) {
        Talker talker(lab_->neighbour_ns(), from);
        ASSERT_TRUE(talker.started());
        const auto t0 = clock_type::now();
        const uint64_t to_ge4 = lab_->peer_rx_packets(4);
        const uint64_t out_ge1 = lab_->peer_rx_packets(1);
        wait_for([&] { return watch(), false; }, 1s);
        if (std::string(from) == "hp1") {
            EXPECT_EQ(lab_->peer_rx_packets(4), to_ge4) << "a frame from behind ge1 was forwarded";
            continue;
        }
        const uint64_t sent = lab_->peer_rx_packets(1) - out_ge1;
        EXPECT_LE(sent, static_cast<uint64_t>(seconds_since(t0)) + 1) << "broadcasts left ge1";
    }
    ASSERT_TRUE(lab_->hairpin(1, false));
    const auto t0 = clock_type::now();
    ASSERT_TRUE(wait_for(
        [&] { return watch(), log_count("Cancel a loop on the port ge1, unblock") == 1; }, 5s))
        << "the block was not lifted";
    const double took = seconds_since(t0);
    std::cout << "loop gone to unblocked: " << took << " s\n";
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(brport_flag(1, "unicast_flood"), 1);
    EXPECT_EQ(brport_flag(1, "learning"), 1);
    EXPECT_TRUE(link_up) << "the link of a blocked port went down";
}

TEST_F(LoopDetectTest, ForceUpReleasesThePortAndTheLoopIsFoundAgain) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s));
    const auto t0 = clock_type::now();
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect force up"}));
    ASSERT_TRUE(wait_for([&] { return log_count(cancel(1)) == 1; }, 5s)) << "ge1 was not released";
    const double released = seconds_since(t0);
    std::cout << "force up to release: " << released << " s\n";
    EXPECT_GT(released, 0.5);
    EXPECT_LT(released, 2.5);
    // Released, its link comes back and it sends again; the loop behind it is still there, so
    // it is found again (within milliseconds on veth, too fast to watch the port up between).
    ASSERT_TRUE(wait_for([&] { return log_count(detect(1)) == 2; }, 10s));
    EXPECT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 2s));
    const std::string log = read_file(log_path_);
    EXPECT_LT(log.find(cancel(1)), log.rfind(detect(1))) << "found again only after the release";
}

TEST_F(LoopDetectTest, PortInLogModeOnlyLogs) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect loop log", "loop-detect enable"}));
    ASSERT_TRUE(wait_for(
        [&] { return log_count("port ge1 connection device exits a loop in vlan 1") >= 2; }, 5s))
        << "the loop was not logged";
    EXPECT_TRUE(lab_->admin_up(1));
    EXPECT_EQ(log_count(detect(1)), 0u);
}

TEST_F(LoopDetectTest, PortWithoutALoopIsNeverTouchedOverThirtySecondsOfSending) {
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    const uint64_t rx_before = lab_->peer_rx_packets(4);
    ASSERT_NO_FATAL_FAILURE(configure(4, {"loop-detect enable"}));
    const auto t0 = clock_type::now();
    bool always_up = true;
    wait_for(
        [&] {
            always_up = always_up && lab_->admin_up(4) && lab_->running(4);
            return !always_up || seconds_since(t0) >= 30.0;
        },
        35s);
    EXPECT_TRUE(always_up) << "ge4 went down";
    // Frames at 0, 1, 2, 12, 22 seconds (at least) reached the neighbour.
    EXPECT_GE(lab_->peer_rx_packets(4) - rx_before, 5u);
    EXPECT_EQ(log_count("Detect a loop"), 0u);
    EXPECT_TRUE(daemon_->running());
}

TEST_F(LoopDetectTest, SigtermLeavesAShutDownPortDown) {
    ASSERT_TRUE(lab_->hairpin(1));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(1, {"loop-detect enable"}));
    ASSERT_TRUE(wait_for([&] { return !lab_->admin_up(1); }, 5s));
    vty_->close();
    ASSERT_EQ(daemon_->signal(SIGTERM), 0);
    int status = 0;
    ASSERT_TRUE(daemon_->wait_exit(&status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_FALSE(lab_->admin_up(1)) << "ge1 must stay shut down after veskd stops";
    EXPECT_EQ(log_count(cancel(1)), 0u);
    EXPECT_EQ(log_count("receive thread did not stop"), 0u);
}

// A loop in log mode is never broken, so its frames keep arriving as fast as the bridges pass
// them: stopping must still end the receive thread before the framework is freed.
TEST_F(LoopDetectTest, SigtermDuringAFrameStormExitsCleanly) {
    ASSERT_TRUE(lab_->cable(2, 3));
    ASSERT_NO_FATAL_FAILURE(start_daemon());
    ASSERT_NO_FATAL_FAILURE(configure(2, {"loop-detect loop log", "loop-detect enable"}));
    ASSERT_TRUE(
        wait_for([&] { return log_count("port ge2 connection device exits a loop") > 0; }, 5s));
    vty_->close();
    ASSERT_EQ(daemon_->signal(SIGTERM), 0);
    int status = 0;
    const bool ended = daemon_->wait_exit(&status, 10s);
    lab_->uncable(2);
    ASSERT_TRUE(ended) << "veskd did not stop";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    EXPECT_EQ(log_count("receive thread did not stop"), 0u);
    EXPECT_TRUE(lab_->admin_up(2));
}

} // namespace
