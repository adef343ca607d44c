// A real veskd on the socket backends for the fault tests: a scripted NSM peer process (which a
// test may kill and start again), a wire peer played by the test, the daemon with its log file,
// configuration file and vty socket in a fresh directory, and readings of the daemon's process
// (memory, descriptors, CPU time) from /proc.
#pragma once

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "integration/nsm_peer_process.h"
#include "support/daemon_process.h"
#include "support/wire_peer.h"

namespace vesk_fault {

// Under AddressSanitizer freed memory waits in quarantine, so a process's resident size says
// nothing about leaks; the sanitizer's own leak check covers that build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasurable = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryMeasurable = false;
#else
constexpr bool kMemoryMeasurable = true;
#endif
#else
constexpr bool kMemoryMeasurable = true;
#endif

// Readings of a process from /proc.
inline long proc_status_kib(pid_t pid, const std::string &field) {
    std::string status = vesk_test::read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 1));
}

inline int open_descriptors(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::unique_ptr<FILE, int (*)(FILE *)> ls(popen(("ls " + dir + " | wc -l").c_str(), "r"),
                                              pclose);
    int n = -1;
    if (ls != nullptr && fscanf(ls.get(), "%d", &n) != 1)
        n = -1;
    return n;
}

// User plus system CPU time in seconds.
inline double cpu_seconds(pid_t pid) {
    std::string stat = vesk_test::read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; i++) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15)
            stime = std::stoul(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// The switch the NSM peer plays: ports ge1 (5) and ge2 (6) of bridge "1", VLANs 1 and 10.
inline const std::vector<std::string> &switch_orders() {
    static const std::vector<std::string> orders = {"if-add 5 ge1 up 02:00:00:00:00:05",
                                                    "if-add 6 ge2 up 02:00:00:00:00:06",
                                                    "bridge-add 1",
                                                    "vlan-add 1 1",
                                                    "vlan-add 1 10",
                                                    "port-add 5 1 10",
                                                    "port-add 6 1"};
    return orders;
}

// veskd with its peers in a fresh directory. Each step reports failure through gtest.
class Rig {
  public:
    explicit Rig(const std::string &prefix, const std::string &config = "") {
        dir_ = vesk_test::make_temp_dir(prefix);
        log_path_ = dir_ + "/veskd.log";
        config_path_ = dir_ + "/veskd.conf";
        std::ofstream(config_path_) << "log file " << log_path_ << "\n" << config;
    }
    ~Rig() {
        if (::testing::Test::HasFailure() && daemon_ != nullptr)
            std::cerr << "---- veskd log (tail) ----\n"
                      << tail(vesk_test::read_file(log_path_)) << "---- stderr ----\n"
                      << tail(daemon_->err()) << "--------------------------\n";
        vty_.close();
        daemon_.reset();
        nsm_.reset();
        vesk_test::remove_dir(dir_);
    }

    // Starts the NSM peer with the switch (or with no state when empty is set).
    void start_nsm(bool empty = false) {
        nsm_ = std::make_unique<nsm_test::PeerProcess>(nsm_path(), std::chrono::seconds(15));
        if (empty)
            return;
        for (const std::string &line : switch_orders())
            ASSERT_EQ(nsm_->order(line), "ok") << line;
    }
    void start_daemon() {
        daemon_ = std::make_unique<vesk_test::DaemonProcess>(dir_);
        ASSERT_TRUE(daemon_->start({"-f", config_path_, "-P", "0"},
                                   {"VESK_FRAME=" + wire_->spec(), "VESK_NSM=unix:" + nsm_path(),
                                    "VESK_VTY_SOCKET=" + vty_path()}));
        ASSERT_TRUE(wire_->wait_hello(10000)) << "veskd did not open its frame socket";
        ASSERT_TRUE(vty_.connect(vty_path(), std::chrono::seconds(10)));
    }
    void start() {
        ASSERT_NO_FATAL_FAILURE(start_nsm());
        ASSERT_NO_FATAL_FAILURE(start_daemon());
    }

    std::string nsm_path() const { return dir_ + "/nsm.sock"; }
    std::string vty_path() const { return dir_ + "/vty"; }
    const std::string &dir() const { return dir_; }
    const std::string &config_path() const { return config_path_; }
    std::string log() const { return vesk_test::read_file(log_path_); }
    pid_t pid() const { return daemon_->daemon_pid(); }
    bool alive() { return daemon_ != nullptr && daemon_->running(); }

    nsm_test::PeerProcess &nsm() { return *nsm_; }
    std::unique_ptr<nsm_test::PeerProcess> &nsm_slot() { return nsm_; }
    vesk_test::WirePeer &wire() { return *wire_; }
    // The wire peer goes away: its socket is closed and its path removed.
    void drop_wire() { wire_.reset(); }
    vesk_test::VtyClient &vty() { return vty_; }
    vesk_test::DaemonProcess &daemon() { return *daemon_; }
    std::unique_ptr<vesk_test::DaemonProcess> &daemon_slot() { return daemon_; }

  private:
    static std::string tail(const std::string &text) {
        return text.size() > 4000 ? text.substr(text.size() - 4000) : text;
    }
    std::string dir_;
    std::string log_path_;
    std::string config_path_;
    std::unique_ptr<vesk_test::WirePeer> wire_ = std::make_unique<vesk_test::WirePeer>();
    std::unique_ptr<nsm_test::PeerProcess> nsm_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    vesk_test::VtyClient vty_;
};

// Asks the vty and gives the answer and how long it took.
inline std::string timed_command(vesk_test::VtyClient &vty, const std::string &line,
                                 std::chrono::milliseconds *took) {
    auto begin = std::chrono::steady_clock::now();
    std::string answer = vty.command(line);
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                  begin);
    return answer;
}

} // namespace vesk_fault
