// Port records: one per interface of a bridge, with loop-detection settings and machine state.
#pragma once

#include <cstdint>
#include <map>
#include <set>

#include "vesk/machine/states.h"
#include "vesk/model/provlan.h"
#include "vesk/model/result.h"
#include "zet/core/if.h"
#include "zet/core/thread.h"

struct lib_globals;
struct thread;
struct vesk_bridge;

// What a port has seen and done since it joined or the counters were last cleared.
struct vesk_port_counters {
    uint64_t tx_frames;
    // The port's own frames that came back, on any port.
    uint64_t rx_own;
    // Frames refused on arrival at this port, by reason.
    uint64_t rx_bad_mac;
    uint64_t rx_bad_vlan;
    uint64_t rx_stale;
    uint64_t rx_bad_check;
    uint64_t loops;
    uint64_t shutdowns;
    uint64_t blocks;
    uint64_t releases;
    // Loops left to another veskd for a hold-off.
    uint64_t held_off;
};

// What the operator sets on a port, each with its default. vesk/cli/port_settings.cpp gives each
// its interface command and "no" form, its running-configuration line, show line and JSON key.
struct vesk_port_settings {
    // VESK_LOOP_SHUTDOWN, VESK_LOOP_LOG or VESK_LOOP_BLOCK.
    uint32_t loop_process = VESK_LOOP_SHUTDOWN;
    // "loop-detect uplink": never cut; the other port of a loop it is part of is.
    uint32_t uplink = 0;
    uint32_t tx_interval_time = VESK_TX_INTERVAL_DEFAULT;
    uint32_t resume_time = VESK_RESUME_TIME_DEFAULT;
};

// A VLAN that loop detection blocked on its port alone (vesk/machine/vlan_block.h).
struct vesk_blocked_vlan {
    // Clock microseconds of the block, and of its release at the latest (the resume time).
    long long cut_usec;
    long long until_usec;
    // Whether a probe came back since the latest went out, whether that probe awaits its
    // check, and the misses in a row.
    uint8_t back;
    uint8_t pending;
    uint8_t misses;
    // Why the release at until_usec happens (vesk_event_cause): the timer unless a force up.
    uint8_t cause;
};

struct vesk_port {
    struct vesk_bridge *bridge;
    struct interface *ifp;
    uint32_t ifindex;
    char name[INTERFACE_NAMSIZ + 1];
    // 1 while at least one protect VLAN is active; the machine sends only then.
    uint8_t vesk_enable;
    // The interface command "loop-detect enable" is configured.
    uint8_t cfg_enable;
    // The interface command "no loop-detect enable" was given under the bridge-wide enable: the
    // port is left out of it until the bridge-wide enable goes.
    uint8_t cfg_disable;
    struct vesk_port_settings settings;
    uint8_t mac_address[INTERFACE_HWADDR_MAX];
    // Copy of the interface flags.
    uint32_t flags;
    // The protect-VLAN entries by VLAN id, and how many were ever added (their order).
    std::map<uint16_t, struct vesk_provlan> provlans;
    uint32_t provlans_added;
    // The VLANs of which the port is a member, each with its place in the order the bridge's
    // ports joined its VLANs (vesk_bridge::joins), which lists a VLAN's members as they joined.
    std::map<uint16_t, uint64_t> vlans;
    // VESK_PORT_*.
    uint32_t pstate;
    // SMS_*.
    uint32_t mstate;
    uint32_t tx_up_time;
    // 0 start phase, 1 steady phase.
    uint32_t tx_type;
    // Frames sent in the start phase.
    uint32_t tx_count;
    // Timers, cancelled when the port goes.
    thread_timer tx_timer;
    thread_timer resume_timer;
    // The next frames of the fast starts of VLANs protected while the port was probing.
    thread_timer fast_timer;
    struct vesk_port_counters counters;
    // Why the next release happens (vesk_event_cause): the timer unless something else said.
    uint8_t release_cause;
    // Clock microseconds of the latest send, and of the latest cut (shut down or blocked) by
    // loop detection; a frame that comes back on a port cut since it was sent proves nothing.
    long long tx_usec;
    long long cut_usec;
    // Fast detection sends again no sooner than this.
    long long probe_after_usec;
    // The latest frames were a fast-detection probe, not the port's cadence: a loop they prove
    // was found by the probe.
    uint8_t last_send_probe;
    // While blocked: the probe timer, whether a frame of the port came back since the latest
    // probe, whether that probe awaits its check, and the misses in a row.
    thread_timer probe_timer;
    uint8_t probe_back;
    uint8_t probe_pending;
    uint8_t probe_misses;
    // While another veskd is left to cut a loop this port's frames prove (vesk/machine/yield.h):
    // the hold-off timer, its phase, and when the probe after it went out.
    thread_timer hold_timer;
    uint8_t hold_phase;
    long long hold_probe_usec;
    // The VLANs loop detection blocked on this port alone, by id, and the timer that probes
    // them, in the phase that sends (0) or checks (1).
    std::map<uint16_t, vesk_blocked_vlan> vlan_blocks;
    thread_timer vlan_timer;
    uint8_t vlan_checking;
    // The VLANs of the port the bridge does not forward on by their own port state (the
    // spanning tree's): neither probed nor cut there, and frames through them prove nothing.
    std::set<uint16_t> stp_vlans;
};

// The framework handle of the port's daemon, for its log lines and timers; null for a port in
// no bridge.
struct lib_globals *vesk_port_zg(const struct vesk_port *port);
// A name an interface may have (a switch's module may name them "xe1/1"): 1 to INTERFACE_NAMSIZ
// printable characters, none a blank. What a file (configuration or state) may name before the
// interface is there.
bool vesk_port_name_ok(const char *name);
// The port is a member of vid.
bool vesk_port_in_vlan(const struct vesk_port *port, uint16_t vid);
// True while loop detection has the port shut down or blocked.
bool vesk_port_is_cut(const struct vesk_port *port);

// The port record of the interface ifindex in handle's privileged virtual router, or null.
struct vesk_port *vesk_port_from_ifindex(struct lib_globals *handle, uint32_t ifindex);
// The port of ifp's interface index in bridge, or null.
struct vesk_port *vesk_find_port_from_bridge(struct interface *ifp, struct vesk_bridge *bridge);
// The new or already existing port of ifp, or null without bridge or interface.
struct vesk_port *vesk_bridge_add_port(struct vesk_bridge *bridge, struct interface *ifp);
// Stops the port of ifp in the named bridge of ifp's virtual router and frees it with its
// entries and memberships: -1 without bridge name, else 0.
int vesk_remove_port_from_bridge(struct interface *ifp, const char *bridge_name);
// The port takes its interface's name (after a rename) and its place in its bridge's order.
void vesk_port_follow_name(struct vesk_port *port);
// Natural interface-name order of two ports.
int vsek_interface_cmp(void *a, void *b);

// What the model tells a port's state machine when the port's protect VLANs or its place in the
// bridge change. The model does not call the machine: the machine registers the hook at start-up
// (vesk_machine_hook_install), and without a hook nobody is told.
enum vesk_machine_request : uint8_t {
    // The port gained an active protect VLAN: the machine starts (again).
    VESK_MACHINE_START,
    // The port lost its last active protect VLAN, or leaves its bridge: the machine stops and
    // a port that loop detection cut is released.
    VESK_MACHINE_STOP,
    // A cut port lost a looped protect VLAN but keeps others: it resumes soon.
    VESK_MACHINE_RESUME_SOON,
    // The port gained a further active protect VLAN (its entry's fast_left set): that VLAN
    // gets a fast start of its own.
    VESK_MACHINE_VLAN_GAINED,
};
typedef void (*vesk_machine_hook)(struct vesk_port *port, enum vesk_machine_request request);
// Registers the hook (null: none).
void vesk_model_set_machine_hook(vesk_machine_hook hook);
// Tells the registered hook, if any.
void vesk_model_tell_machine(struct vesk_port *port, enum vesk_machine_request request);

// 1 when the port's flags have both IFF_UP and IFF_RUNNING, else 0.
int vesk_port_is_running(struct vesk_port *port);

// Called, when set, after a port's state or its release deadline changed: the daemon keeps
// the ports it took out in its state file. The listener gets the port's framework handle.
extern void (*vesk_port_state_listener)(struct lib_globals *zg);
void vesk_port_state_changed(const struct vesk_port *port);
