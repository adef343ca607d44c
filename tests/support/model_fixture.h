// A started framework with the daemon's model, for tests of everything built on the model.
//
// SetUp: virtual clock at kStartSec, lib_start into veskm (protocol 29), thread master, a log
// on syslog whose lines are captured (log()), an NSM client that records what it would send,
// the master record of the privileged virtual router, and bridge "1" (bridge()). All debug
// flags are zero.
//
// Helpers make interfaces (up and running unless asked otherwise, MAC 02:00:00:00:00:<index>),
// ports of bridge "1" with their VLAN memberships, and VLANs; advance virtual time, read the
// port-state requests sent to NSM, and switch debug flags.
//
// TearDown removes every port (as the unbind hook would), deletes every VLAN, frees bridges and
// master, then stops the framework. It fails the test when a record of the daemon's model
// (allocation types 652 to 657) is still live afterwards; a test that leaks on purpose clears
// check_model_leaks_.
//
// Use: class MyTest : public vesk_test::ModelFixture {};  TEST_F(MyTest, ...) { ... }
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/log_capture.h"

struct interface;
struct vesk_bridge;
struct vesk_master;
struct vesk_port;
struct vesk_vlan;

namespace vesk_test {

// One port-state record as the NSM client recorded it.
struct PortStateRequest {
    int type;
    uint16_t flags;
    uint16_t reserved;
    uint32_t ifindex;

    bool operator==(const PortStateRequest &) const = default;
};

// A type-168 request with flags (0x0001 shut down, 0x0002 release) for ifindex.
PortStateRequest port_state_request(uint16_t flags, uint32_t ifindex);
void PrintTo(const PortStateRequest &r, std::ostream *os);

class ModelFixture : public ::testing::Test {
  protected:
    static constexpr long kStartSec = 1000000;
    static constexpr uint32_t kUpRunning = 0x1 | 0x40;

    void SetUp() override;
    void TearDown() override;

    vesk_master *master() const { return master_; }
    vesk_bridge *bridge() const { return bridge_; }
    LogCapture &log() { return *log_; }
    // Captured lines equal to line (the log drops trailing line ends).
    size_t log_count_exact(const std::string &line) const;

    // A new interface of the privileged router; fails the test when it cannot be made.
    interface *make_interface(const char *name, uint32_t ifindex, bool running = true);
    // A port of bridge "1" on a new interface, member of vlans (made as needed).
    vesk_port *make_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> vlans = {}, bool running = true);
    // The VLAN record of bridge "1", made as needed.
    vesk_vlan *vlan(uint16_t vid);
    // The port joins / leaves a VLAN of bridge "1".
    void join(vesk_port *port, uint16_t vid);
    void leave(vesk_port *port, uint16_t vid);
    // Sets the interface flags of a port and its copy (as a link message does), without
    // telling the state machine.
    void set_running(vesk_port *port, bool running);

    // Runs what is due now, then moves virtual time on second by second.
    void advance(long seconds);
    // Whole seconds since SetUp on the virtual clock.
    long elapsed() const;

    // Port-state requests sent so far, oldest first; clear_requests forgets them.
    std::vector<PortStateRequest> requests() const;
    void clear_requests();

    // Sets the terminal (and configure) debug words; all zero again at TearDown.
    void set_debug(uint32_t event, uint32_t nsm = 0, uint32_t packet = 0);

    bool check_model_leaks_ = true;

  private:
    void free_model();

    vesk_master *master_ = nullptr;
    vesk_bridge *bridge_ = nullptr;
    std::unique_ptr<LogCapture> log_;
};

} // namespace vesk_test
