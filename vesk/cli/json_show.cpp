#include "vesk/cli/json_show.h"

#include <nlohmann/json.hpp>

#include "vesk/cli/common.h"
#include "vesk/cli/history_show.h"
#include "vesk/cli/port_settings.h"
#include "vesk/cli/show.h"
#include "vesk/host/zet.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/history.h"
#include "vesk/model/model.h"

using nlohmann::json;

namespace {

// Names arrive from the kernel or an NSM peer; a byte that is no UTF-8 must not make the
// whole reply invalid JSON, so it is replaced.
std::string vesk_json_text(const json &j) {
    return j.dump(2, ' ', false, json::error_handler_t::replace);
}

int vesk_json_out(struct cli *cli, const json &j) {
    cli_out(cli, "%s\n", vesk_json_text(j).c_str());
    return 0;
}

json vesk_json_vlan_ids(struct vesk_port *port, bool looped) {
    json ids = json::array();
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port))
        if (looped ? entry->is_loop != 0 : vesk_provlan_active(port, *entry))
            ids.push_back(entry->vid);
    return ids;
}

// Only a port blocked in single VLANs says which: "blocked" with "blocked_vlans".
void vesk_json_vlan_blocks(json &j, const struct vesk_port *port) {
    if (port->vlan_blocks.empty())
        return;
    json vids = json::array();
    for (const auto &[vid, block] : port->vlan_blocks)
        vids.push_back(vid);
    j["blocked_vlans"] = vids;
    if (vesk_port_shows_vlan_blocks(port))
        j["state"] = "blocked";
}

json vesk_json_port(struct vesk_port *port) {
    const bool protected_port = !port->provlans.empty();
    json j = {
        {"name", port->name},
        {"ifindex", port->ifindex},
        {"enabled", port->cfg_enable != 0},
        {"protected", protected_port},
        {"protect_vlans", vesk_json_vlan_ids(port, false)},
        {"loop", protected_port && vesk_port_loop_vlan_count(port) != 0},
        {"loop_vlans", vesk_json_vlan_ids(port, true)},
        {"state", vesk_port_show_state(port)},
        {"resume_remaining", nullptr},
    };
    vesk_port_settings_json(j, port);
    if (port->resume_timer.armed())
        j["resume_remaining"] = l2_timer_get_remaining_tics(port->resume_timer.get()) >> 8;
    else if (!port->vlan_blocks.empty())
        j["resume_remaining"] = vesk_vlan_blocks_remaining(port);
    vesk_json_vlan_blocks(j, port);
    return j;
}

json vesk_json_vlans(struct vesk_bridge *bridge) {
    json vlans = json::array();
    for (uint16_t vid = 0; vid < VESK_VLAN_IDS; vid++) {
        if (!vesk_bridge_has_vlan(bridge, vid))
            continue;
        json ports = json::array();
        for (const struct vesk_port *port : vesk_bridge_vlan_members(bridge, vid))
            ports.push_back(port->name);
        vlans.push_back({{"vid", vid}, {"ports", ports}});
    }
    return vlans;
}

int show_vesk_json(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    json ports = json::array();
    for (const auto &port : bridge->ports)
        ports.push_back(vesk_json_port(port.get()));
    return vesk_json_out(cli, {{"enabled", bridge->vesk_enable != 0},
                               {"vlans", vesk_json_vlans(bridge)},
                               {"ports", ports}});
}

int show_vesk_port_json(struct cli *cli, int argc, char **argv) {
    struct vesk_port *port = vesk_cli_named_port(cli, argc > 0 ? argv[0] : nullptr);
    if (port == nullptr)
        return 1;
    return vesk_json_out(cli, vesk_json_port(port));
}

int show_vesk_events_json(struct cli *cli, int, char **) {
    json events = json::array();
    for (unsigned i = 0; i < vesk_history_count(); i++) {
        const vesk_event *e = vesk_history_at(i);
        char when[40];
        vesk_history_time(e->when, when, sizeof when);
        json j = {{"time", when}, {"event", vesk_event_kind_name(e->kind)}, {"port", e->port}};
        if (e->kind == VESK_EVENT_LOOP) {
            j["vlan"] = e->vid;
            j["rx_port"] = e->rx_port;
            j["action"] = vesk_event_cause_name(e->cause);
            j["probe"] = e->probe;
        } else {
            j["cause"] = vesk_event_cause_name(e->cause);
            if (e->vid != 0)
                j["vlan"] = e->vid;
        }
        if (e->has_neighbour)
            j["neighbour"] = {{"system", e->neighbour.system}, {"port", e->neighbour.port}};
        events.push_back(j);
    }
    return vesk_json_out(cli, {{"events", events}});
}

json vesk_json_counters(const struct vesk_port *port) {
    const vesk_port_counters &c = port->counters;
    json counters = {{"name", port->name},
                     {"frames_sent", c.tx_frames},
                     {"own_frames_back", c.rx_own},
                     {"refused",
                      {{"mac", c.rx_bad_mac},
                       {"vlan", c.rx_bad_vlan},
                       {"stale", c.rx_stale},
                       {"check", c.rx_bad_check}}},
                     {"loops", c.loops},
                     {"shutdowns", c.shutdowns},
                     {"blocks", c.blocks},
                     {"releases", c.releases}};
    if (c.held_off != 0)
        counters["held_off"] = c.held_off;
    return counters;
}

int show_vesk_statistics_json(struct cli *cli, int, char **) {
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 0);
    if (bridge == nullptr)
        return 1;
    vesk_recv_totals t{};
    vesk_recv_totals_get(&t);
    json ports = json::array();
    for (const auto &port : bridge->ports)
        ports.push_back(vesk_json_counters(port.get()));
    return vesk_json_out(
        cli, {{"receive_thread",
               {{"frames_read", t.read}, {"wrong_size", t.wrong_size}, {"shed", t.shed}}},
              {"ports", ports}});
}

} // namespace

const char *const show_vesk_json_help[] = {"Show running system information", "loop-detect",
                                           "JSON output", nullptr};
const struct cli_element show_vesk_json_cmd = {"show loop-detect json", show_vesk_json,
                                               show_vesk_json_help};
const char *const show_vesk_port_json_help[] = {
    "Show running system information",     "loop-detect", "interface",
    "Interface name(e.g. fe, ge, xe, sa)", "JSON output", nullptr};
const struct cli_element show_vesk_port_json_cmd = {"show loop-detect interface IFNAME json",
                                                    show_vesk_port_json, show_vesk_port_json_help};
const char *const show_vesk_events_json_help[] = {"Show running system information", "loop-detect",
                                                  "Events of the last loops and releases",
                                                  "JSON output", nullptr};
const struct cli_element show_vesk_events_json_cmd = {
    "show loop-detect events json", show_vesk_events_json, show_vesk_events_json_help};
const char *const show_vesk_statistics_json_help[] = {"Show running system information",
                                                      "loop-detect", "Frame and loop counters",
                                                      "JSON output", nullptr};
const struct cli_element show_vesk_statistics_json_cmd = {
    "show loop-detect statistics json", show_vesk_statistics_json, show_vesk_statistics_json_help};
