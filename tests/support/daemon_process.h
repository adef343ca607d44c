// Real veskd processes for integration and end-to-end tests, their vty and their NSM peer, and
// the driver of the scenario files (docs/testing.md).
#pragma once

#include <chrono>
#include <csignal>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/text.h"
#include "support/transcript.h"
#include "support/wire_peer.h"

namespace vesk_test {

using std::chrono::milliseconds;

int connect_unix(const std::string &path); // a stream socket connected to path, or -1

// A veskd with its files (the configuration at first only "log file") in a fresh directory; shows
// the log's tail when the test failed, and kills what runs.
class Veskd {
  public:
    Veskd();
    ~Veskd();

    // Starts veskd with args (default "-P 0"; -f the configuration unless given) and env added,
    // in netns on the kernel backends or else on the peer and a fresh wire; waits for its vty.
    void start(const std::vector<std::string> &env = {}, const std::vector<std::string> &args = {});
    // A fresh NSM peer that must take every order, by default those of the README's switch.
    void start_nsm(const std::vector<std::string> &orders = {});
    // The peer's answer to an order ("" when none comes within 16 s).
    std::string order(const std::string &line);
    // Ends the peer at once (no goodbye to its client); later orders get "".
    void kill_nsm(int signo = SIGKILL);
    // The exit code after signo (0: none); -1 when killed by a signal, -2 when running after 10 s.
    int stop(int signo = SIGTERM);
    bool alive();
    // Lines typed between "configure terminal" and "end"; each must answer nothing.
    void configure(const std::vector<std::string> &lines);
    // A line on the vty session and the reply up to the prompt ("" when the session ended).
    std::string cmd(const std::string &line, milliseconds limit = std::chrono::seconds(10));
    // A fresh vty session, read up to its first prompt.
    bool connect_vty(milliseconds limit = std::chrono::seconds(5));

    std::string config_path() const { return dir + "/veskd.conf"; }
    std::string vty_path() const { return dir + "/vty"; }

    std::string dir = "/tmp/vesk-XXXXXX", log_path;
    std::string netns; // a name under /run/netns to start in
    // Program wrapper[0] with argv wrapper[1...], veskd's path and args runs in veskd's place.
    std::vector<std::string> wrapper;
    pid_t pid = -1;
    std::unique_ptr<WirePeer> wire; // reset, its socket closes and its path goes

  private:
    bool reaped_ = false;
    int status_ = 0;
    pid_t nsm_pid_ = -1;
    int nsm_ = -1; // the peer's standard input and output
    int vty_ = -1;
    bool prompted_ = false;
};

// Runs a scenario of a real veskd (steps in docs/testing.md).
void play(const Case &scenario);
// SUITE.Scenario/NAME per scenario file NAME.scn of DIR whose name matches NAMES.
#define VESK_SCENARIOS(SUITE, DIR, NAMES)                                                          \
    class SUITE : public ::testing::TestWithParam<vesk_test::Case> {};                             \
    VESK_CASES(, SUITE, Scenario, DIR, NAMES) {                                                    \
        vesk_test::play(GetParam());                                                               \
    }

} // namespace vesk_test
