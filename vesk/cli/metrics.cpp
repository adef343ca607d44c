#include "vesk/cli/metrics.h"

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "vesk/cli/common.h"
#include "vesk/cli/history_show.h"
#include "vesk/cli/show.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/history.h"
#include "vesk/model/model.h"

#ifndef VESK_VERSION
#define VESK_VERSION "0.0.0"
#endif

namespace {

// Loops found since start, by port and VLAN: a Prometheus counter only ever grows, so these
// survive "clear loop-detect statistics" and "clear loop-detect events".
std::map<std::pair<std::string, unsigned>, unsigned long long> vesk_metrics_loops;
// The send time of the frame that proved the latest loop, by the port that sent it, until its
// cut is seen; and the latency of the latest cut, negative before the first.
std::map<std::string, long long> vesk_metrics_loop_sent;
long long vesk_metrics_latency_usec = -1;

constexpr const char *VESK_METRICS_STATES[] = {"up", "shutdown", "blocked", "down"};

struct vesk_metrics_out {
    std::string text;

    void head(const char *name, const char *type, const char *help) {
        text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void line(const char *name, const std::string &labels, unsigned long long value) {
        text += name;
        if (!labels.empty())
            text += "{" + labels + "}";
        text += " " + std::to_string(value) + "\n";
    }
};

// A label value as the text format wants it: backslash, quote and line end escaped.
std::string vesk_metrics_label(const char *name, const std::string &value) {
    std::string out = std::string(name) + "=\"";
    for (char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c == '\n' ? std::string("\\n") : std::string(1, c);
    }
    return out + "\"";
}

std::string vesk_metrics_port(const struct vesk_port *port) {
    return vesk_metrics_label("port", port->name);
}

// The state names of the show commands, folded to the four the metric has.
const char *vesk_metrics_state(const struct vesk_port *port) {
    if (port->pstate == VESK_PORT_BLOCKED)
        return "blocked";
    if (port->pstate == VESK_PORT_SHUTDOWN)
        return "shutdown";
    return std::string(vesk_port_show_state(port)) == "up" ? "up" : "down";
}

template <typename F> void vesk_metrics_each_port(struct vesk_bridge *bridge, F f) {
    for (const auto &port : bridge->ports)
        f(port.get());
}

// A cut seen since its loop's frame came back gives the latency, from that frame's send.
void vesk_metrics_take_latency(const struct vesk_port *port) {
    auto it = vesk_metrics_loop_sent.find(port->name);
    if (it == vesk_metrics_loop_sent.end())
        return;
    // A verdict that cut nothing (its partner was cut, the cut was dropped) gives no latency.
    if (port->cut_usec >= it->second)
        vesk_metrics_latency_usec = port->cut_usec - it->second;
    vesk_metrics_loop_sent.erase(it);
}

void vesk_metrics_ports(vesk_metrics_out &out, struct vesk_bridge *bridge) {
    out.head("veskd_port_protected", "gauge", "1 where loop detection protects the port.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        const bool on = !p->provlans.empty();
        out.line("veskd_port_protected", vesk_metrics_port(p), on ? 1 : 0);
    });
    out.head("veskd_port_state", "gauge", "1 for the port's current state.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        for (const char *state : VESK_METRICS_STATES)
            out.line("veskd_port_state",
                     vesk_metrics_port(p) + "," + vesk_metrics_label("state", state),
                     std::string(vesk_metrics_state(p)) == state ? 1 : 0);
    });
    out.head("veskd_port_resume_seconds", "gauge",
             "Seconds until a port cut by loop detection is released; 0 when none.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        const long left =
            p->resume_timer.armed() ? l2_timer_get_remaining_tics(p->resume_timer.get()) >> 8 : 0;
        out.line("veskd_port_resume_seconds", vesk_metrics_port(p),
                 static_cast<unsigned long long>(left > 0 ? left : 0));
    });
}

void vesk_metrics_loops_found(vesk_metrics_out &out) {
    out.head("veskd_loops_detected_total", "counter", "Loops found, by port and VLAN.");
    for (const auto &[key, count] : vesk_metrics_loops)
        out.line("veskd_loops_detected_total",
                 vesk_metrics_label("port", key.first) + "," +
                     vesk_metrics_label("vlan", std::to_string(key.second)),
                 count);
}

void vesk_metrics_counters(vesk_metrics_out &out, struct vesk_bridge *bridge) {
    out.head("veskd_port_cuts_total", "counter", "Ports cut by loop detection, by action.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        out.line("veskd_port_cuts_total",
                 vesk_metrics_port(p) + "," + vesk_metrics_label("action", "shutdown"),
                 p->counters.shutdowns);
        out.line("veskd_port_cuts_total",
                 vesk_metrics_port(p) + "," + vesk_metrics_label("action", "block"),
                 p->counters.blocks);
    });
    out.head("veskd_frames_sent_total", "counter", "Detection frames sent.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        out.line("veskd_frames_sent_total", vesk_metrics_port(p), p->counters.tx_frames);
    });
    out.head("veskd_frames_received_total", "counter",
             "The port's own detection frames that came back, on any port.");
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        out.line("veskd_frames_received_total", vesk_metrics_port(p), p->counters.rx_own);
    });
}

void vesk_metrics_refused(vesk_metrics_out &out, struct vesk_bridge *bridge) {
    unsigned long long mac = 0, vlan = 0, stale = 0, check = 0;
    vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
        mac += p->counters.rx_bad_mac;
        vlan += p->counters.rx_bad_vlan;
        stale += p->counters.rx_stale;
        check += p->counters.rx_bad_check;
    });
    vesk_recv_totals t{};
    vesk_recv_totals_get(&t);
    out.head("veskd_frames_refused_total", "counter", "Frames refused on arrival, by reason.");
    const std::pair<const char *, unsigned long long> reasons[] = {{"mac", mac},
                                                                   {"vlan", vlan},
                                                                   {"stale", stale},
                                                                   {"check", check},
                                                                   {"wrong_size", t.wrong_size},
                                                                   {"shed", t.shed}};
    for (const auto &[reason, count] : reasons)
        out.line("veskd_frames_refused_total", vesk_metrics_label("reason", reason), count);
}

void vesk_metrics_latency(vesk_metrics_out &out, struct vesk_bridge *bridge) {
    vesk_metrics_each_port(bridge, vesk_metrics_take_latency);
    if (vesk_metrics_latency_usec < 0)
        return;
    out.head("veskd_last_detection_latency_seconds", "gauge",
             "From the send of the frame that proved the latest cut loop to its cut.");
    char value[64];
    std::snprintf(value, sizeof value, "veskd_last_detection_latency_seconds %.6f\n",
                  static_cast<double>(vesk_metrics_latency_usec) / 1e6);
    out.text += value;
}

int show_vesk_metrics(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    cli_out(cli, "%s", vesk_metrics_text(cli->zg).c_str());
    return 0;
}

} // namespace

std::string vesk_metrics_text(struct lib_globals *zg) {
    struct vesk_master *master = vesk_get_master(zg);
    struct vesk_bridge *bridge =
        master != nullptr ? vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master) : nullptr;
    vesk_metrics_out out;
    out.head("veskd_up", "gauge", "1 while veskd runs.");
    out.line("veskd_up", "", 1);
    out.head("veskd_build_info", "gauge", "veskd's version, in the label.");
    out.line("veskd_build_info", vesk_metrics_label("version", VESK_VERSION), 1);
    if (bridge == nullptr)
        return out.text;
    vesk_metrics_ports(out, bridge);
    vesk_metrics_loops_found(out);
    vesk_metrics_counters(out, bridge);
    vesk_metrics_refused(out, bridge);
    vesk_metrics_latency(out, bridge);
    return out.text;
}

void vesk_metrics_note_event(struct lib_globals *zg, const struct vesk_event *e) {
    if (e->kind != VESK_EVENT_LOOP || e->cause == VESK_CAUSE_HELD_OFF)
        return;
    vesk_metrics_loops[{e->port, e->vid}]++;
    if (e->cause != VESK_CAUSE_SHUTDOWN && e->cause != VESK_CAUSE_BLOCK)
        return;
    struct vesk_port *port = nullptr;
    struct vesk_master *master = vesk_get_master(zg);
    struct vesk_bridge *bridge =
        master != nullptr ? vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master) : nullptr;
    if (bridge != nullptr)
        vesk_metrics_each_port(bridge, [&](struct vesk_port *p) {
            if (std::string(p->name) == e->port)
                port = p;
        });
    if (port != nullptr)
        vesk_metrics_loop_sent[e->port] = port->tx_usec;
}

const char *const show_vesk_metrics_help[] = {"Show running system information", "loop-detect",
                                              "Counters and states for Prometheus", nullptr};
const struct cli_element show_vesk_metrics_cmd = {"show loop-detect metrics", show_vesk_metrics,
                                                  show_vesk_metrics_help};
