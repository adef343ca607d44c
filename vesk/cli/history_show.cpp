#include "vesk/cli/history_show.h"

#include <cstring>

#include "vesk/cli/common.h"
#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"
#include "vesk/model/history.h"
#include "vesk/model/model.h"

namespace {

// The receive thread's counts at the last clear: it alone writes them, so a clear only moves
// the point they are counted from.
vesk_recv_totals vesk_recv_cleared;

void vesk_show_event(struct cli *cli, const struct vesk_event *e) {
    char when[40];
    vesk_history_time(e->when, when, sizeof when);
    cli_out(cli, "%-27s%-9s%-17s", when, vesk_event_kind_name(e->kind), e->port);
    if (e->kind == VESK_EVENT_LOOP)
        cli_out(cli, "vlan %d, back on %s, %s%s", e->vid, e->rx_port,
                vesk_event_cause_name(e->cause), e->probe ? ", fast-detect probe" : "");
    else if (e->vid != 0) // a block or unblock of one VLAN
        cli_out(cli, "vlan %d%s%s", e->vid, e->cause != VESK_CAUSE_NONE ? ", " : "",
                vesk_event_cause_name(e->cause));
    else
        cli_out(cli, "%s", vesk_event_cause_name(e->cause));
    if (e->has_neighbour)
        cli_out(cli, ", neighbour %s port %s", e->neighbour.system, e->neighbour.port);
    cli_out(cli, "\n");
}

int show_vesk_events(struct cli *cli, int, char **) {
    cli_out(cli, "%-27s%-9s%-17s%s\n", "Time", "Event", "Port", "Details");
    for (unsigned i = 0; i < vesk_history_count(); i++)
        vesk_show_event(cli, vesk_history_at(i));
    return 0;
}

int clear_vesk_events(struct cli *, int, char **) {
    vesk_history_clear();
    return 0;
}

void vesk_show_port_counters(struct cli *cli, const struct vesk_port *port) {
    const vesk_port_counters &c = port->counters;
    cli_out(cli, "Interface %s\n", port->name);
    cli_out(cli, "  Frames sent: %llu\n", static_cast<unsigned long long>(c.tx_frames));
    cli_out(cli, "  Own frames back: %llu\n", static_cast<unsigned long long>(c.rx_own));
    cli_out(cli, "  Refused: mac %llu, vlan %llu, stale %llu, check %llu\n",
            static_cast<unsigned long long>(c.rx_bad_mac),
            static_cast<unsigned long long>(c.rx_bad_vlan),
            static_cast<unsigned long long>(c.rx_stale),
            static_cast<unsigned long long>(c.rx_bad_check));
    cli_out(cli, "  Loops found: %llu\n", static_cast<unsigned long long>(c.loops));
    cli_out(cli, "  Shutdowns: %llu, blocks: %llu, releases: %llu\n",
            static_cast<unsigned long long>(c.shutdowns), static_cast<unsigned long long>(c.blocks),
            static_cast<unsigned long long>(c.releases));
    if (c.held_off != 0)
        cli_out(cli, "  Loops left to another veskd: %llu\n",
                static_cast<unsigned long long>(c.held_off));
}

int show_vesk_statistics(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    vesk_recv_totals t{};
    vesk_recv_totals_get(&t);
    cli_out(cli, "Receive thread: frames read %llu, wrong size %llu, shed %llu\n", t.read,
            t.wrong_size, t.shed);
    for (const auto &port : bridge->ports)
        vesk_show_port_counters(cli, port.get());
    return 0;
}

int show_vesk_statistics_port(struct cli *cli, int argc, char **argv) {
    struct vesk_port *port = vesk_cli_named_port(cli, argc > 0 ? argv[0] : nullptr);
    if (port == nullptr)
        return 1;
    vesk_show_port_counters(cli, port);
    return 0;
}

int clear_vesk_statistics(struct cli *cli, int, char **) {
    vesk_recv_cleared = {};
    vesk_recv_totals_get(&vesk_recv_cleared);
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    for (const auto &port : bridge->ports)
        port->counters = {};
    return 0;
}

unsigned long long vesk_recv_since_clear(const std::atomic<uint64_t> &count,
                                         unsigned long long cleared) {
    return count.load(std::memory_order_relaxed) - cleared;
}

} // namespace

void vesk_recv_totals_get(struct vesk_recv_totals *totals) {
    totals->read = vesk_recv_since_clear(vesk_recv_counts.read, vesk_recv_cleared.read);
    totals->wrong_size =
        vesk_recv_since_clear(vesk_recv_counts.wrong_size, vesk_recv_cleared.wrong_size);
    totals->shed = vesk_recv_since_clear(vesk_recv_counts.shed, vesk_recv_cleared.shed);
}

const char *const show_vesk_events_help[] = {"Show running system information", "loop-detect",
                                             "Events of the last loops and releases", nullptr};
const struct cli_element show_vesk_events_cmd = {"show loop-detect events", show_vesk_events,
                                                 show_vesk_events_help};
const char *const clear_vesk_events_help[] = {"Reset functions", "loop-detect",
                                              "Events of the last loops and releases", nullptr};
const struct cli_element clear_vesk_events_cmd = {"clear loop-detect events", clear_vesk_events,
                                                  clear_vesk_events_help};
const char *const show_vesk_statistics_help[] = {"Show running system information", "loop-detect",
                                                 "Frame and loop counters", nullptr};
const struct cli_element show_vesk_statistics_cmd = {
    "show loop-detect statistics", show_vesk_statistics, show_vesk_statistics_help};
const char *const show_vesk_statistics_port_help[] = {
    "Show running system information",     "loop-detect", "Frame and loop counters", "interface",
    "Interface name(e.g. fe, ge, xe, sa)", nullptr};
const struct cli_element show_vesk_statistics_port_cmd = {
    "show loop-detect statistics interface IFNAME", show_vesk_statistics_port,
    show_vesk_statistics_port_help};
const char *const clear_vesk_statistics_help[] = {"Reset functions", "loop-detect",
                                                  "Frame and loop counters", nullptr};
const struct cli_element clear_vesk_statistics_cmd = {
    "clear loop-detect statistics", clear_vesk_statistics, clear_vesk_statistics_help};
