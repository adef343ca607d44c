#include "vesk/machine/vlan_block.h"

#include <algorithm>
#include <vector>

#include "vesk/frame/transmit.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/bridge.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"
#include "vesk/nsm/port_state.h"

namespace {

constexpr long long VESK_USEC_PER_SEC = 1000000;

int vesk_vlan_timer_handle(struct thread *t);

void vesk_vlan_arm(struct vesk_port *port, long msec) {
    port->vlan_timer.arm(
        thread_add_timer_msec(vesk_port_zg(port), vesk_vlan_timer_handle, port, msec));
    if (!port->vlan_timer.armed())
        zlog_err(vesk_port_zg(port), "Port %s cannot arm its vlan probe timer", port->name);
}

// The port protects vid as a member: only then are there frames of the VLAN to probe it with.
bool vesk_vlan_protected(struct vesk_port *port, uint16_t vid) {
    const struct vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
    return entry != nullptr && vesk_provlan_active(port, *entry);
}

// A VLAN-aware bridge, and a VLAN the port protects as a member.
bool vesk_vlan_applies(struct vesk_port *port, uint16_t vid) {
    return port != nullptr && port->bridge != nullptr && port->bridge->all_vlans == 0 &&
           vesk_vlan_protected(port, vid);
}

void vesk_vlan_stop_timer_if_idle(struct vesk_port *port) {
    if (!port->vlan_blocks.empty() || !port->vlan_timer.armed())
        return;
    port->vlan_timer.cancel();
    port->vlan_checking = 0;
}

void vesk_vlan_unblock(struct vesk_port *port, uint16_t vid, uint8_t cause) {
    zlog_warn(vesk_port_zg(port), "Cancel a loop on the port %s in vlan %d, unblock", port->name,
              static_cast<int>(vid));
    vesk_send_vlan_state_to_nsm(vesk_port_zg(port), port->ifindex, false, vid);
    port->vlan_blocks.erase(vid);
    port->counters.releases++;
    vesk_history_add(VESK_EVENT_UNBLOCK, static_cast<vesk_event_cause>(cause), port->name, vid,
                     nullptr);
    vesk_vlan_stop_timer_if_idle(port);
    vesk_port_state_changed(port);
}

// Each blocked VLAN sends one frame; a VLAN the port no longer protects has nothing to probe it
// with and is released.
void vesk_vlan_probe_round(struct vesk_port *port) {
    std::vector<uint16_t> unprotected;
    for (auto &[vid, block] : port->vlan_blocks) {
        if (!vesk_vlan_protected(port, vid)) {
            unprotected.push_back(vid);
            continue;
        }
        block.back = 0;
        block.pending = 1;
        vesk_send_vlan(port, vid);
    }
    for (uint16_t vid : unprotected)
        vesk_vlan_unblock(port, vid, VESK_CAUSE_DISABLED);
    if (port->vlan_blocks.empty())
        return;
    port->vlan_checking = 1;
    vesk_vlan_arm(port, VESK_BLOCK_CHECK_MSEC);
}

// A probe that could not leave (link down) proves nothing either way.
void vesk_vlan_check_round(struct vesk_port *port) {
    const long long now = zet_clock_now_usec();
    std::vector<std::pair<uint16_t, uint8_t>> released;
    for (auto &[vid, block] : port->vlan_blocks) {
        if (block.pending) {
            block.pending = 0;
            if (block.back)
                block.misses = 0;
            else if (vesk_port_is_running(port))
                block.misses++;
            VESK_DEBUG_LOG_MACHINE(vesk_port_zg(port),
                                   "Port %s blocked in vlan %d, probe %s, misses %d", port->name,
                                   static_cast<int>(vid),
                                   block.back ? "came back" : "did not come back", block.misses);
        }
        if (block.misses >= VESK_BLOCK_MISSES)
            released.emplace_back(vid, VESK_CAUSE_LOOP_GONE);
        else if (now >= block.until_usec)
            released.emplace_back(vid, block.cause);
    }
    for (const auto &[vid, cause] : released)
        vesk_vlan_unblock(port, vid, cause);
    port->vlan_checking = 0;
    if (!port->vlan_blocks.empty())
        vesk_vlan_arm(port, VESK_BLOCK_PROBE_MSEC - VESK_BLOCK_CHECK_MSEC);
}

int vesk_vlan_timer_handle(struct thread *t) {
    auto *port = static_cast<struct vesk_port *>(THREAD_ARG(t));
    port->vlan_timer.fired();
    if (port->vlan_checking)
        vesk_vlan_check_round(port);
    else
        vesk_vlan_probe_round(port);
    return 0;
}

// A block made now or taken over: probed at once unless a round is under way, which it joins
// at its next probe.
void vesk_vlan_record(struct vesk_port *port, uint16_t vid, uint32_t wait) {
    const long long now = zet_clock_now_usec();
    vesk_blocked_vlan &block = port->vlan_blocks[vid];
    block = {};
    block.cut_usec = now;
    block.until_usec = now + static_cast<long long>(wait) * VESK_USEC_PER_SEC;
    block.cause = VESK_CAUSE_TIMER;
    if (!port->vlan_timer.armed())
        vesk_vlan_probe_round(port);
    vesk_port_state_changed(port);
}

} // namespace

int vesk_vlan_block(struct vesk_port *port, uint16_t vid) {
    if (!vesk_vlan_applies(port, vid))
        return -1;
    if (vesk_port_vlan_blocked(port, vid))
        return 0;
    if (vesk_send_vlan_state_to_nsm(vesk_port_zg(port), port->ifindex, true, vid) != 0) {
        zlog_warn(vesk_port_zg(port), "Port %s cannot be blocked in vlan %d alone", port->name,
                  static_cast<int>(vid));
        return -1;
    }
    zlog_warn(vesk_port_zg(port), "Detect a loop on the port %s in vlan %d, block", port->name,
              static_cast<int>(vid));
    port->counters.blocks++;
    vesk_history_add(VESK_EVENT_BLOCK, VESK_CAUSE_NONE, port->name, vid, nullptr);
    vesk_vlan_record(port, vid, port->settings.resume_time);
    return 0;
}

bool vesk_port_vlan_blocked(const struct vesk_port *port, uint16_t vid) {
    return port != nullptr && port->vlan_blocks.contains(vid);
}

bool vesk_vlan_block_probe_back(struct vesk_port *port, uint16_t vid) {
    if (port == nullptr)
        return false;
    auto it = port->vlan_blocks.find(vid);
    if (it == port->vlan_blocks.end())
        return false;
    it->second.back = 1;
    return true;
}

void vesk_vlan_blocks_release(struct vesk_port *port, uint8_t cause) {
    while (port != nullptr && !port->vlan_blocks.empty())
        vesk_vlan_unblock(port, port->vlan_blocks.begin()->first, cause);
}

void vesk_vlan_blocks_forget(struct vesk_port *port, uint16_t vid) {
    std::vector<uint16_t> gone;
    for (const auto &[blocked, block] : port->vlan_blocks)
        if (vid == 0 || blocked == vid)
            gone.push_back(blocked);
    for (uint16_t v : gone) {
        zlog_warn(vesk_port_zg(port),
                  "%s is no longer in vlan %d, where loop detection blocked it: nothing to "
                  "unblock",
                  port->name, static_cast<int>(v));
        port->vlan_blocks.erase(v);
    }
    vesk_vlan_stop_timer_if_idle(port);
    if (!gone.empty())
        vesk_port_state_changed(port);
}

void vesk_vlan_blocks_force_up(struct vesk_port *port) {
    const long long soon = zet_clock_now_usec() + VESK_RESUME_SOON * VESK_USEC_PER_SEC;
    for (auto &[vid, block] : port->vlan_blocks) {
        block.until_usec = std::min(block.until_usec, soon);
        block.cause = VESK_CAUSE_FORCE_UP;
    }
    if (!port->vlan_blocks.empty())
        vesk_port_state_changed(port);
}

int vesk_vlan_block_adopt(struct vesk_port *port, uint16_t vid, uint32_t wait) {
    if (!vesk_vlan_applies(port, vid) ||
        vesk_send_vlan_state_to_nsm(vesk_port_zg(port), port->ifindex, true, vid) != 0)
        return -1;
    // The state the last veskd left, which the module took for the spanning tree's until now.
    port->stp_vlans.erase(vid);
    vesk_vlan_record(port, vid, wait);
    return 0;
}

long long vesk_vlan_blocks_remaining(const struct vesk_port *port) {
    long long first = -1;
    const long long now = zet_clock_now_usec();
    for (const auto &[vid, block] : port->vlan_blocks) {
        const long long left = std::max(0LL, block.until_usec - now) / VESK_USEC_PER_SEC;
        first = first < 0 ? left : std::min(first, left);
    }
    return first;
}

std::string vesk_vlan_blocks_text(const struct vesk_port *port) {
    std::string text;
    for (const auto &[vid, block] : port->vlan_blocks)
        text += (text.empty() ? "" : ",") + std::to_string(vid);
    return text;
}
