#include "support/model_check.h"

#include <cstdarg>
#include <cstdio>

#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace vesk_check {

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

bool is_member(vesk_vlan *vlan, vesk_port *port) {
    if (vlan == nullptr || vlan->vlan_port_list == nullptr)
        return false;
    for (listnode *n = listhead(vlan->vlan_port_list); n != nullptr; n = listnextnode(n)) {
        if (listgetdata(n) == port)
            return true;
    }
    return false;
}

std::string range_fault(vesk_bridge *b, vesk_port *port) {
    int previous_high = -2;
    for (vesk_rlist *r = port->vlan_list; r != nullptr; r = r->next) {
        if (r->low > r->high || r->low <= previous_high + 1)
            return describe("port %s: range %u-%u after %d", port->name, r->low, r->high,
                            previous_high);
        previous_high = r->high;
    }
    route_node *rn = b->vlan_table != nullptr ? route_top(b->vlan_table) : nullptr;
    for (; rn != nullptr; rn = route_next(rn)) {
        auto *vlan = static_cast<vesk_vlan *>(rn->info);
        if (vlan != nullptr &&
            (vesk_find_vlan_from_rlist(vlan->vid, &port->vlan_list) != 0) != is_member(vlan, port))
            return describe("port %s: VLAN %u membership differs between port and VLAN",
                            port->name, vlan->vid);
    }
    return "";
}

// Membership is judged by the VLAN record: when memory runs out while a VLAN record is deleted,
// the record goes but the member's range list may keep the id (shortening it needs a node).
std::string entry_fault(vesk_bridge *b, vesk_port *port) {
    unsigned count = 0, active = 0, looped = 0;
    for (listnode *n = listhead(port->provlan_info); n != nullptr; n = listnextnode(n)) {
        auto *entry = static_cast<vesk_provlan *>(listgetdata(n));
        if (entry == nullptr)
            return describe("port %s: null protect entry", port->name);
        count++;
        active += entry->in_vlan != 0 ? 1 : 0;
        looped += entry->is_loop != 0 ? 1 : 0;
        bool member = is_member(vesk_find_vlan_from_bridge(entry->vid, b), port);
        if ((entry->in_vlan != 0) != member)
            return describe("port %s: protect VLAN %u active %u, member %d", port->name, entry->vid,
                            entry->in_vlan, member);
    }
    if (count != port->provlan_count || count > VESK_MAX_PROVLAN ||
        active != port->active_provlan_count || looped != port->loop_vlan_count)
        return describe("port %s: %u entries, %u active, %u looped; counts say %u, %u, %u",
                        port->name, count, active, looped, port->provlan_count,
                        port->active_provlan_count, port->loop_vlan_count);
    return "";
}

std::string machine_fault(vesk_port *port) {
    if (port->mstate >= SMS_MAX || port->pstate >= VESK_PORT_STATE_MAX)
        return describe("port %s: mstate %u pstate %u", port->name, port->mstate, port->pstate);
    bool stray_tx = port->tx_timer != nullptr && port->mstate != SMS_WAIT_TX;
    if (stray_tx || (port->resume_timer != nullptr && port->mstate != SMS_RESUME))
        return describe("port %s: %s timer armed in %s", port->name, stray_tx ? "tx" : "resume",
                        vesk_machine_state_name(port->mstate));
    return "";
}

std::string port_fault(vesk_bridge *b, vesk_port *port) {
    if (port == nullptr || port->bridge != b)
        return describe("port list of bridge %s holds a stranger", b->name);
    for (const std::string &fault : {range_fault(b, port), entry_fault(b, port), machine_fault(port)})
        if (!fault.empty())
            return fault;
    return "";
}

} // namespace

std::string model_fault(lib_globals *zg) {
    vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return "master record is gone";
    for (listnode *bn = listhead(master->bridge_list); bn != nullptr; bn = listnextnode(bn)) {
        auto *b = static_cast<vesk_bridge *>(listgetdata(bn));
        for (listnode *n = listhead(b->port_list); n != nullptr; n = listnextnode(n)) {
            std::string fault = port_fault(b, static_cast<vesk_port *>(listgetdata(n)));
            if (!fault.empty())
                return fault;
        }
    }
    return "";
}

} // namespace vesk_check
