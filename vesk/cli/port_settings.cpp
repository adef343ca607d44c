#include "vesk/cli/port_settings.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "vesk/cli/common.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/model/model.h"

namespace {

// One per-port setting. The last word of its command is its value: a range "<lo-hi>", a group
// "(a|b)" of choices, or no value for an on/off setting (on 1, off 0). The running-configuration
// line is the command with the value in that word's place, written while the value is not the
// default (the field's initializer in struct vesk_port_settings).
struct vesk_port_setting {
    const char *words;
    const char *const *help;
    // The "no" form, which gives the default back; null when there is none.
    const char *no_words;
    const char *const *no_help;
    uint32_t vesk_port_settings::*field;
    // A range: the word of "% Invalid WORD value". A group: the value of each choice in order.
    const char *invalid;
    const uint32_t *values;
    // The debug line of a port that is not in the bridge: "WHAT, but port N is not in the vesk".
    const char *what;
    // The show line "  SHOW: VALUE" ("Yes" while on), written while not the default; or null.
    const char *show;
    // The key of the port's JSON object, always written; or only while not the default, so
    // that a setting added later changes nothing for a port that does not use it.
    const char *json;
    bool json_always;
};

constexpr const char *const TX_HELP[] = {VESK_HELP_IF, "Send detect packet time interval",
                                         "Time interval", "seconds next send packet", nullptr};
constexpr const char *const NO_TX_HELP[] = {
    VESK_HELP_NO, VESK_HELP_IF, "Send detect packet time interval", "Time interval", nullptr};
constexpr const char *const RESUME_HELP[] = {VESK_HELP_IF, "Port up resume time", "Resume time",
                                             "seconds shutdown to resume time", nullptr};
constexpr const char *const NO_RESUME_HELP[] = {VESK_HELP_NO, VESK_HELP_IF, "Port up resume time",
                                                "Resume time", nullptr};
constexpr const char *const LOOP_HELP[] = {
    VESK_HELP_IF,
    "loop",
    "loop shutdown",
    "loop log",
    "loop block: the bridge stops forwarding on the port, its link stays up",
    nullptr};
constexpr uint32_t LOOP_VALUES[] = {VESK_LOOP_SHUTDOWN, VESK_LOOP_LOG, VESK_LOOP_BLOCK};
constexpr const char *const UPLINK_HELP[] = {
    VESK_HELP_IF, "never cut this port: the other port of its loop is cut instead", nullptr};
constexpr const char *const NO_UPLINK_HELP[] = {VESK_HELP_NO, VESK_HELP_IF, "the port is no uplink",
                                                nullptr};

constexpr vesk_port_setting VESK_PORT_SETTINGS[] = {
    {"loop-detect tx-interval time <10-300>", TX_HELP, "no loop-detect tx-interval time",
     NO_TX_HELP, &vesk_port_settings::tx_interval_time, "time", nullptr,
     "set port tx-interval time", nullptr, "tx_interval", true},
    {"loop-detect resume time <180-600>", RESUME_HELP, "no loop-detect resume time", NO_RESUME_HELP,
     &vesk_port_settings::resume_time, "time", nullptr, "set port resume time", nullptr,
     "resume_time", true},
    {"loop-detect loop (shutdown|log|block)", LOOP_HELP, nullptr, nullptr,
     &vesk_port_settings::loop_process, nullptr, LOOP_VALUES, "set loop process", nullptr,
     "loop_action", true},
    {"loop-detect uplink", UPLINK_HELP, "no loop-detect uplink", NO_UPLINK_HELP,
     &vesk_port_settings::uplink, nullptr, nullptr, "set uplink", "Uplink", "uplink", true},
};

constexpr size_t VESK_PORT_SETTING_COUNT = std::size(VESK_PORT_SETTINGS);

uint32_t vesk_setting_get(const vesk_port_setting &s, const struct vesk_port *port) {
    return port->settings.*s.field;
}

uint32_t vesk_setting_default(const vesk_port_setting &s) {
    return vesk_port_settings{}.*s.field;
}

// The command without its value word, and that word.
std::pair<std::string, std::string> vesk_setting_split(const vesk_port_setting &s) {
    const std::string words = s.words;
    const size_t blank = words.rfind(' ');
    return {words.substr(0, blank), words.substr(blank + 1)};
}

// The choices of a group word "(a|b|c)", in order.
std::vector<std::string> vesk_setting_choices(const std::string &group) {
    std::vector<std::string> out;
    size_t from = 1;
    for (size_t bar; (bar = group.find_first_of("|)", from)) != std::string::npos; from = bar + 1)
        out.push_back(group.substr(from, bar - from));
    return out;
}

// The value as its words: the chosen word of a group (the first for a value none gives), or
// the number.
std::string vesk_setting_text(const vesk_port_setting &s, uint32_t value) {
    if (s.values == nullptr)
        return std::to_string(value);
    const std::vector<std::string> choices = vesk_setting_choices(vesk_setting_split(s).second);
    for (size_t i = 0; i < choices.size(); i++)
        if (s.values[i] == value)
            return choices[i];
    return choices.front();
}

bool vesk_setting_is_flag(const vesk_port_setting &s) {
    return s.invalid == nullptr && s.values == nullptr;
}

// The value a command line gives, or -1 after the invalid-value message.
long vesk_setting_parse(struct cli *cli, const vesk_port_setting &s, int argc, char **argv) {
    if (vesk_setting_is_flag(s))
        return 1;
    if (s.values == nullptr) {
        int lo = 0;
        int hi = 0;
        std::sscanf(vesk_setting_split(s).second.c_str(), "<%d-%d>", &lo, &hi);
        return vesk_cli_number(cli, argv[0], lo, hi, s.invalid);
    }
    const std::vector<std::string> choices = vesk_setting_choices(vesk_setting_split(s).second);
    for (size_t i = 0; argc > 0 && i < choices.size(); i++)
        if (choices[i] == argv[0])
            return s.values[i];
    return s.values[0];
}

int vesk_setting_run(struct cli *cli, const vesk_port_setting &s, int argc, char **argv, bool no) {
    const long value = no ? vesk_setting_default(s) : vesk_setting_parse(cli, s, argc, argv);
    if (value < 0)
        return 1;
    struct vesk_bridge *bridge = vesk_cli_parameter_check(cli, VESK_BRIDGE_NAME, 1);
    if (bridge == nullptr)
        return 1;
    const int code =
        vesk_api_set_setting(cli->ifp, bridge, s.field, static_cast<uint32_t>(value), s.what);
    return code == VESK_SUCCESS ? 0 : vesk_cli_err_output(cli, code);
}

template <size_t I> int vesk_setting_cmd(struct cli *cli, int argc, char **argv) {
    return vesk_setting_run(cli, VESK_PORT_SETTINGS[I], argc, argv, false);
}

template <size_t I> int vesk_setting_no_cmd(struct cli *cli, int argc, char **argv) {
    return vesk_setting_run(cli, VESK_PORT_SETTINGS[I], argc, argv, true);
}

template <size_t... I>
constexpr std::array<std::pair<cli_handler, cli_handler>, sizeof...(I)>
vesk_setting_handlers(std::index_sequence<I...>) {
    return {{{&vesk_setting_cmd<I>, &vesk_setting_no_cmd<I>}...}};
}

constexpr auto VESK_SETTING_HANDLERS =
    vesk_setting_handlers(std::make_index_sequence<VESK_PORT_SETTING_COUNT>{});

} // namespace

void vesk_port_settings_install(struct cli_tree *tree) {
    for (size_t i = 0; i < VESK_PORT_SETTING_COUNT; i++) {
        const vesk_port_setting &s = VESK_PORT_SETTINGS[i];
        const struct cli_element cmd = {s.words, VESK_SETTING_HANDLERS[i].first, s.help};
        cli_install_gen(tree, INTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL, &cmd);
        if (s.no_words == nullptr)
            continue;
        const struct cli_element no_cmd = {s.no_words, VESK_SETTING_HANDLERS[i].second, s.no_help};
        cli_install_gen(tree, INTERFACE_MODE, PRIVILEGE_NORMAL, CLI_FLAG_NORMAL, &no_cmd);
    }
}

int vesk_port_settings_write(struct cli *cli, const struct vesk_port *port) {
    int lines = 0;
    for (const vesk_port_setting &s : VESK_PORT_SETTINGS) {
        const uint32_t value = vesk_setting_get(s, port);
        if (value == vesk_setting_default(s))
            continue;
        if (vesk_setting_is_flag(s))
            cli_out(cli, " %s\n", s.words);
        else
            cli_out(cli, " %s %s\n", vesk_setting_split(s).first.c_str(),
                    vesk_setting_text(s, value).c_str());
        lines++;
    }
    return lines;
}

void vesk_port_settings_show(struct cli *cli, const struct vesk_port *port) {
    for (const vesk_port_setting &s : VESK_PORT_SETTINGS) {
        const uint32_t value = vesk_setting_get(s, port);
        if (s.show == nullptr || value == vesk_setting_default(s))
            continue;
        cli_out(cli, "  %s: %s\n", s.show,
                vesk_setting_is_flag(s) ? "Yes" : vesk_setting_text(s, value).c_str());
    }
}

void vesk_port_settings_json(nlohmann::json &j, const struct vesk_port *port) {
    for (const vesk_port_setting &s : VESK_PORT_SETTINGS) {
        const uint32_t value = vesk_setting_get(s, port);
        if (!s.json_always && value == vesk_setting_default(s))
            continue;
        if (vesk_setting_is_flag(s))
            j[s.json] = value != 0;
        else if (s.values != nullptr)
            j[s.json] = vesk_setting_text(s, value);
        else
            j[s.json] = value;
    }
}
