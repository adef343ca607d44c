#include "support/world.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>
#include <sys/time.h>

#include "vesk/cli/cli.h"
#include "vesk/cli/debug.h"
#include "vesk/cli/kept_config.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/teardown.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/yield.h"
#include "vesk/model/neighbour.h"
#include "vesk/nsm/nsm.h"

namespace vesk_test {

namespace {

std::string describe(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string describe(const char *format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

std::string port_fault(vesk_bridge *b, vesk_port *port) {
    if (port == nullptr || port->bridge != b)
        return describe("port list of bridge %s holds a stranger", b->name);
    if (vesk_port_provlan_count(port) > VESK_MAX_PROVLAN)
        return describe("port %s: %u entries", port->name, vesk_port_provlan_count(port));
    if (port->mstate >= SMS_MAX || port->pstate >= VESK_PORT_STATE_MAX)
        return describe("port %s: mstate %u pstate %u", port->name, port->mstate, port->pstate);
    const bool stray_tx = port->tx_timer != nullptr && port->mstate != SMS_WAIT_TX;
    if (stray_tx || (port->resume_timer != nullptr && port->mstate != SMS_RESUME))
        return describe("port %s: %s timer armed in %s", port->name, stray_tx ? "tx" : "resume",
                        vesk_machine_state_name(port->mstate));
    return "";
}

// The first contradiction in zg's model (strangers, entries, states, timers), or "" when it holds
// together.
std::string model_fault(lib_globals *zg) {
    vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return "master record is gone";
    for (vesk_bridge *b : items<vesk_bridge>(master->bridge_list))
        for (vesk_port *port : items<vesk_port>(b->port_list))
            if (std::string fault = port_fault(b, port); !fault.empty())
                return fault;
    return "";
}

constexpr long kStartSec = 1000000;
constexpr int kModelTypes[] = {MTYPE_VESK_MASTER};
timeval time_of_day{};

int fixed_time_of_day(struct timeval *tv, void *) {
    *tv = time_of_day;
    return 0;
}

void reset_globals() {
    vesk_global_debug = {};
    record_vesk = {};
    sockfd = -1;
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
    vesk_machine_hook_install();
    reset_globals();
    zet_clock_use_virtual(kStartSec);
    previous_ = veskm;
    zg_ = veskm = lib_start();
    if (zg_ == nullptr)
        return fault("lib_start failed"), false;
    zet_set_name(VESK_NAME, VESK_CLIENT_NAME);
    zg_->master = thread_master_create();
    if (zg_->master == nullptr || openzlog(zg_, 0, ZLOG_DEST_SYSLOG) == nullptr ||
        (options.quiet && zlog_set_discard(zg_->log) != 0) ||
        (zg_->nc == nullptr && nsm_client_create(zg_, 0) == nullptr))
        return fault("framework start failed"), false;
    if (options.commands) {
        vesk_lib_cli_init(zg_);
        vesk_cli_init(zg_);
    }
    if (options.nsm_handlers)
        vesk_nsm_client_setup(zg_, zg_->nc);
    if (vesk_master_init(ovx_vr_get_privileged(zg_)) != 0 ||
        (master_ = vesk_get_master(zg_)) == nullptr)
        return fault("master record failed"), false;
    if (options.bridge &&
        (bridge_ = vesk_add_bridge(master()->bridge_list, VESK_BRIDGE_NAME)) == nullptr)
        return fault("bridge failed"), false;
    return true;
}

void World::stop(Leaks leaks) {
    for (int type = 0; type < MTYPE_MAX; type++)
        memory_fail_next(type, 0);
    if (zg_ == nullptr)
        return;
    veskm = zg_;
    if (vesk_get_master(zg_) != nullptr)
        check_model();
    reset_globals();
    vesk_release_model(zg_);
    lib_stop(zg_);
    zg_ = nullptr;
    master_ = nullptr;
    bridge_ = nullptr;
    veskm = previous_;
    zet_clock_use_monotonic();
    vesk_frame_set_time_source(nullptr);
    if (leaks == Leaks::ALL)
        return memory_foreach_live(report_live, this);
    for (int type : kModelTypes)
        if (memory_live(type) != 0)
            report_live(this, type, memory_live(type));
}

vesk_bridge *World::bridge() const {
    if (bridge_ != nullptr || master_ == nullptr)
        return bridge_;
    return vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master_);
}

interface *World::make_interface(const char *name, uint32_t ifindex, bool running) {
    interface *ifp = if_create(zg_, name, ifindex);
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
    for (size_t i = 0; i < nsm_client_sent_count(zg_->nc); i++) {
        PortStateRequest r = {};
        nsm_client_sent_get(zg_->nc, i, &r.flags, &r.ifindex);
        r.vid = nsm_client_sent_vid(zg_->nc, i);
        out.push_back(r);
    }
    return out;
}

void World::check_model() const {
    if (std::string what = model_fault(zg_); !what.empty())
        fault(what);
}

} // namespace vesk_test
