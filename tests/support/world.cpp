#include "support/world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/time.h>

#include "vesk/cli/cli.h"
#include "vesk/cli/debug.h"
#include "vesk/cli/kept_config.h"
#include "vesk/daemon/teardown.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/yield.h"
#include "vesk/model/neighbour.h"
#include "vesk/nsm/nsm.h"

namespace vesk_test {

namespace {

std::string port_fault(vesk_bridge *b, vesk_port *port) {
    if (port == nullptr || port->bridge != b)
        return std::string("port list of bridge ") + b->name + " holds a stranger";
    const std::string name = std::string("port ") + port->name + ": ";
    if (vesk_port_provlan_count(port) > VESK_MAX_PROVLAN)
        return name + std::to_string(vesk_port_provlan_count(port)) + " entries";
    if (port->mstate >= SMS_MAX || port->pstate >= VESK_PORT_STATE_MAX)
        return name + "mstate " + std::to_string(port->mstate) + " pstate " +
               std::to_string(port->pstate);
    const bool stray_tx = port->tx_timer.armed() && port->mstate != SMS_WAIT_TX;
    if (stray_tx || (port->resume_timer.armed() && port->mstate != SMS_RESUME))
        return name + (stray_tx ? "tx" : "resume") + " timer armed in " +
               vesk_machine_state_name(port->mstate);
    return "";
}

// The first contradiction in zg's model (strangers, entries, states, timers), or "" when it holds
// together.
std::string model_fault(lib_globals *zg) {
    vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return "master record is gone";
    for (const auto &b : master->bridges)
        for (const auto &port : b->ports)
            if (std::string fault = port_fault(b.get(), port.get()); !fault.empty())
                return fault;
    return "";
}

constexpr long kStartSec = 1000000;
timeval time_of_day{};

int fixed_time_of_day(struct timeval *tv, void *) {
    *tv = time_of_day;
    return 0;
}

// What the daemon keeps outside its object, as a fresh process has it.
void reset_globals() {
    vesk_global_debug = {};
    vesk_recv_counts.read = vesk_recv_counts.wrong_size = vesk_recv_counts.shed = 0;
    vesk_nsm_set_port_hooks(nullptr, nullptr);
    vesk_kept_clear();
    vesk_neighbour_clear();
    vesk_hold_off_msec = VESK_HOLD_OFF_DEFAULT_MSEC;
}

void report_live(void *world, int type, long live) {
    static_cast<World *>(world)->fault("live records of type " + std::to_string(type) + ": " +
                                       std::to_string(live));
}

} // namespace

void abort_on_fault(const std::string &fault) {
    std::fprintf(stderr, "model fault: %s\n", fault.c_str());
    std::abort();
}

bool World::start(const WorldOptions &options) {
    reset_globals();
    zet_clock_use_virtual(kStartSec);
    if (vesk_daemon_make(&daemon_) != 0)
        return fault("the daemon cannot be made"), false;
    if (options.quiet && zlog_set_discard(handle()->log) != 0)
        return fault("the log cannot be silenced"), false;
    if (options.bridge && (bridge_ = vesk_add_bridge(master(), VESK_BRIDGE_NAME)) == nullptr)
        return fault("bridge failed"), false;
    return true;
}

void World::stop(Leaks leaks) {
    for (int type = 0; type < MTYPE_MAX; type++)
        memory_fail_next(type, 0);
    if (handle() == nullptr)
        return;
    if (vesk_get_master(handle()) != nullptr)
        check_model();
    reset_globals();
    vesk_daemon_release(&daemon_);
    bridge_ = nullptr;
    zet_clock_use_monotonic();
    vesk_frame_set_time_source(nullptr);
    if (leaks == Leaks::ALL)
        memory_foreach_live(report_live, this);
}

vesk_bridge *World::bridge() const {
    if (bridge_ != nullptr || master() == nullptr)
        return bridge_;
    return vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master());
}

interface *World::make_interface(const char *name, uint32_t ifindex, bool running) {
    interface *ifp = if_create(handle(), name, ifindex);
    if (ifp == nullptr)
        return fault(std::string("interface ") + name + " cannot be made"), nullptr;
    ifp->flags = running ? IFF_UP | IFF_RUNNING : 0;
    const uint8_t mac[INTERFACE_HWADDR_MAX] = {
        0x02, 0, 0, 0, static_cast<uint8_t>(ifindex >> 8), static_cast<uint8_t>(ifindex)};
    std::memcpy(ifp->hw_addr, mac, sizeof mac);
    ifp->hw_addr_len = INTERFACE_HWADDR_MAX;
    return ifp;
}

vesk_port *World::make_port(const char *name, uint32_t ifindex,
                            std::initializer_list<uint16_t> vlans, bool running) {
    interface *ifp = make_interface(name, ifindex, running);
    vesk_port *port = ifp != nullptr ? vesk_bridge_add_port(bridge(), ifp) : nullptr;
    if (port == nullptr)
        return fault(std::string("port ") + name + " cannot be made"), nullptr;
    for (uint16_t vid : vlans)
        join(port, vid);
    return port;
}

long World::elapsed() const {
    return static_cast<long>(zet_clock_now_usec() / 1000000) - kStartSec;
}

void World::set_time_of_day(long seconds, long usec) {
    time_of_day = {seconds, usec};
    vesk_frame_set_time_source(fixed_time_of_day);
}

std::vector<PortStateRequest> World::requests() const {
    std::vector<PortStateRequest> out;
    for (size_t i = 0; i < nsm_client_sent_count(handle()->nc); i++) {
        PortStateRequest r = {};
        nsm_client_sent_get(handle()->nc, i, &r.flags, &r.ifindex);
        r.vid = nsm_client_sent_vid(handle()->nc, i);
        out.push_back(r);
    }
    return out;
}

void World::check_model() const {
    if (std::string what = model_fault(handle()); !what.empty())
        fault(what);
}

} // namespace vesk_test
