// The daemon's world for tests, fuzz targets and benchmarks: a daemon built as veskd builds its
// core (vesk_daemon_make), on the virtual clock, whose NSM client is never started and so keeps
// the port-state requests it is given, with bridge "1"; stop() checks and frees the model, and
// faults go to the sink (fail or abort).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "vesk/daemon/lifecycle.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace vesk_test {

struct WorldOptions {
    bool bridge = true; // bridge "1" made up front (else NSM messages make it)
    bool quiet = false; // log lines are formatted (their code runs) but go nowhere
};

// The records stop() expects gone: the model's (the standard library owns them, and the sanitizer
// build finds their leaks) or every framework record as well.
enum class Leaks { MODEL, ALL };

struct PortStateRequest {
    uint16_t flags;
    uint32_t ifindex;
    uint16_t vid; // a request for one VLAN of the port; else 0
};

[[noreturn]] void abort_on_fault(const std::string &fault);

class World {
  public:
    using FaultSink = void (*)(const std::string &fault);
    explicit World(FaultSink sink) : sink_(sink) {}
    bool start(const WorldOptions &options = {}); // false (the sink told) when it cannot
    void stop(Leaks leaks = Leaks::ALL);
    lib_globals *handle() const { return daemon_.zg; }
    vesk_daemon *daemon() { return &daemon_; }
    vesk_master *master() const { return daemon_.master; }
    vesk_bridge *bridge() const; // bridge "1" as start or NSM made it, or null

    // Up and running unless asked otherwise, MAC 02:00:00:00:<ifindex, 2 bytes>.
    interface *make_interface(const char *name, uint32_t ifindex, bool running = true);
    vesk_port *make_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> vlans = {}, bool running = true);
    void join(vesk_port *port, uint16_t vid) { vesk_bridge_vlan_add_port(bridge(), vid, port); }

    void advance(long seconds) { thread_advance(handle(), seconds); } // due work, then by seconds
    long elapsed() const;                              // whole virtual seconds since start
    void set_time_of_day(long seconds, long usec = 0); // frames' clock, until stop
    std::vector<PortStateRequest> requests() const;
    void clear_requests() { nsm_client_sent_clear(handle()->nc); }
    void check_model() const; // the first contradiction in the model goes to the sink
    void fault(const std::string &what) const { sink_(what); }

  private:
    FaultSink sink_;
    vesk_daemon daemon_;
    vesk_bridge *bridge_ = nullptr;
};

} // namespace vesk_test
