// The daemon's world (virtual clock, recording NSM client, bridge "1") for tests, fuzz targets and
// benchmarks; stop() checks and frees the model, and faults go to the sink (fail or abort).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

namespace vesk_test {

struct WorldOptions {
    bool commands = false;     // the framework's and the daemon's command tables
    bool nsm_handlers = false; // the daemon's NSM message handlers and unbind hook
    bool bridge = true;        // bridge "1" made up front (else NSM messages make it)
    bool quiet = false;        // log lines are formatted (their code runs) but go nowhere
};

// The records stop() expects gone: the model's or every record.
enum class Leaks { MODEL, ALL };

struct PortStateRequest {
    uint16_t flags;
    uint32_t ifindex;
    uint16_t vid; // a request for one VLAN of the port; else 0
};

[[noreturn]] void abort_on_fault(const std::string &fault);

// The records of a framework list, in order (none for a null list).
template <typename T> std::vector<T *> items(list *l) {
    std::vector<T *> out;
    for (listnode *n = l == nullptr ? nullptr : listhead(l); n != nullptr; n = listnextnode(n))
        out.push_back(static_cast<T *>(listgetdata(n)));
    return out;
}

class World {
  public:
    using FaultSink = void (*)(const std::string &fault);
    explicit World(FaultSink sink) : sink_(sink) {}
    bool start(const WorldOptions &options = {}); // false (the sink told) when it cannot
    void stop(Leaks leaks = Leaks::ALL);
    void make_current() { veskm = zg_; } // benchmarks keep several; stop() gives veskm back
    lib_globals *handle() const { return zg_; }
    vesk_master *master() const { return master_; }
    vesk_bridge *bridge() const; // bridge "1" as start or NSM made it, or null

    // Up and running unless asked otherwise, MAC 02:00:00:00:<ifindex, 2 bytes>.
    interface *make_interface(const char *name, uint32_t ifindex, bool running = true);
    vesk_port *make_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> vlans = {}, bool running = true);
    void join(vesk_port *port, uint16_t vid) { vesk_bridge_vlan_add_port(bridge(), vid, port); }
    void leave(vesk_port *port, uint16_t vid) { vesk_bridge_vlan_del_port(vid, port); }

    void advance(long seconds) { thread_advance(zg_, seconds); } // due work, then by seconds
    long elapsed() const;                              // whole virtual seconds since start
    void set_time_of_day(long seconds, long usec = 0); // frames' clock, until stop
    std::vector<PortStateRequest> requests() const;
    void clear_requests() { nsm_client_sent_clear(zg_->nc); }
    void check_model() const; // the first contradiction in the model goes to the sink
    void fault(const std::string &what) const { sink_(what); }

  private:
    FaultSink sink_;
    lib_globals *zg_ = nullptr, *previous_ = nullptr;
    vesk_master *master_ = nullptr;
    vesk_bridge *bridge_ = nullptr;
};

} // namespace vesk_test
