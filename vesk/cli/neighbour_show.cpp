#include "vesk/cli/neighbour_show.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/neighbour.h"
#include "vesk/model/port.h"

namespace {

std::string vesk_mac_text(const uint8_t *mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

// The neighbours by port and MAC, each once, with the latest time one of its frames was heard.
struct vesk_neighbour_row {
    std::string port;
    std::string mac;
    long long seconds_ago;
};

std::vector<vesk_neighbour_row> vesk_neighbour_rows(struct cli *cli) {
    const long long now = zet_clock_now_usec();
    std::vector<vesk_neighbour_row> rows;
    for (const auto &n : vesk_neighbour_list(now)) {
        const struct vesk_port *port = vesk_port_from_ifindex(cli->zg, n.port_ifindex);
        if (port == nullptr)
            continue;
        const long long ago = (now - n.seen_usec) / 1000000;
        std::string mac = vesk_mac_text(n.mac);
        if (!rows.empty() && rows.back().port == port->name && rows.back().mac == mac) {
            rows.back().seconds_ago = std::min(rows.back().seconds_ago, ago);
            continue;
        }
        rows.push_back({port->name, mac, ago});
    }
    return rows;
}

int show_vesk_neighbours(struct cli *cli, int, char **) {
    cli_out(cli, "%-17s%-20s%s\n", "Interface", "Neighbour veskd", "Last heard");
    for (const auto &row : vesk_neighbour_rows(cli))
        cli_out(cli, "%-17s%-20s%lld s ago\n", row.port.c_str(), row.mac.c_str(), row.seconds_ago);
    return 0;
}

int show_vesk_neighbours_json(struct cli *cli, int, char **) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto &row : vesk_neighbour_rows(cli))
        list.push_back({{"port", row.port}, {"mac", row.mac}, {"last_heard", row.seconds_ago}});
    cli_out(cli, "%s\n",
            list.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return 0;
}

const char *const show_vesk_neighbours_help[] = {"Show running system information", "loop-detect",
                                                 "Other veskd switches behind the ports", nullptr};
const char *const show_vesk_neighbours_json_help[] = {
    "Show running system information", "loop-detect", "Other veskd switches behind the ports",
    "JSON output", nullptr};

} // namespace

const struct cli_element show_vesk_neighbours_cmd = {
    "show loop-detect neighbours", show_vesk_neighbours, show_vesk_neighbours_help};
const struct cli_element show_vesk_neighbours_json_cmd = {
    "show loop-detect neighbours json", show_vesk_neighbours_json, show_vesk_neighbours_json_help};
