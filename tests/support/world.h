// The daemon's world for unit tests, fuzz targets and benchmarks alike, free of any test
// framework: the framework started on a virtual clock (veskm), an NSM client that records what
// it would send, the master record of the privileged virtual router and bridge "1", every debug
// flag and receive global reset. stop() checks the model holds together, frees it the way the
// daemon does when it stops (vesk_release_model), stops the framework and looks for live
// records. What it finds goes to the fault sink: a test fails, a fuzz target aborts.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

struct interface;
struct lib_globals;
struct vesk_bridge;
struct vesk_master;
struct vesk_port;
struct vesk_vlan;

namespace vesk_test {

struct WorldOptions {
    bool commands = false;     // the framework's and the daemon's command tables
    bool nsm_handlers = false; // the daemon's NSM message handlers and unbind hook
    bool bridge = true;        // bridge "1" made up front (else NSM messages make it)
    bool quiet = false;        // log lines are formatted (their code runs) but go nowhere
};

// The records stop() expects gone: none, the model's (types 652 to 657) or every record.
enum class Leaks { NONE, MODEL, ALL };

// One port-state record as the NSM client recorded it.
struct PortStateRequest {
    int type;
    uint16_t flags;
    uint16_t reserved;
    uint32_t ifindex;
};

// Prints the fault and aborts: the sink of fuzz targets and benchmarks.
[[noreturn]] void abort_on_fault(const std::string &fault);

class World {
  public:
    static constexpr long kStartSec = 1000000;
    static constexpr uint32_t kUpRunning = 0x1 | 0x40;
    using FaultSink = void (*)(const std::string &fault);

    explicit World(FaultSink sink) : sink_(sink) {}
    // False (the sink told) when the framework or the model cannot start.
    bool start(const WorldOptions &options = {});
    void stop(Leaks leaks = Leaks::ALL, bool check_model = true);
    // Makes this world's handle veskm (benchmarks keep several); stop() gives veskm back.
    void make_current();
    lib_globals *handle() const { return zg_; }
    vesk_master *master() const { return master_; }
    // Bridge "1" as start made it (even renamed), else as NSM made it, or null.
    vesk_bridge *bridge() const;

    // A new interface of the privileged router, up and running unless asked otherwise, MAC
    // 02:00:00:00:<ifindex high byte>:<ifindex low byte>.
    interface *make_interface(const char *name, uint32_t ifindex, bool running = true);
    // A port of bridge "1" on a new interface, member of vlans (made as needed).
    vesk_port *make_port(const char *name, uint32_t ifindex,
                         std::initializer_list<uint16_t> vlans = {}, bool running = true);
    // The VLAN record of bridge "1", made as needed.
    vesk_vlan *vlan(uint16_t vid);
    void join(vesk_port *port, uint16_t vid);
    void leave(vesk_port *port, uint16_t vid);
    // Sets the interface flags of a port and its copy (as a link message does), without
    // telling the state machine.
    void set_running(vesk_port *port, bool running);

    // Runs what is due now, then moves virtual time on second by second.
    void advance(long seconds);
    // Whole seconds since start on the virtual clock.
    long elapsed() const;
    // The time of day (seconds) frames are built and judged at, until stop.
    void set_time_of_day(long seconds);

    // Port-state requests sent so far, oldest first; clear_requests forgets them.
    std::vector<PortStateRequest> requests() const;
    void clear_requests();
    // Sets the terminal and configure debug words; all zero again at stop.
    void set_debug(uint32_t event, uint32_t nsm = 0, uint32_t packet = 0);

    // Tells the sink the model's first contradiction (support/model_check.h), if any.
    void check_model() const;
    void fault(const std::string &what) const { sink_(what); }

  private:
    FaultSink sink_;
    lib_globals *zg_ = nullptr;
    lib_globals *previous_ = nullptr;
    vesk_master *master_ = nullptr;
    vesk_bridge *bridge_ = nullptr;
};

} // namespace vesk_test
