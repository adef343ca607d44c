// The show commands as JSON, for scripts: "show loop-detect json", "show loop-detect interface
// IFNAME json", "show loop-detect events json", "show loop-detect statistics json". Field
// names and examples: docs/json.md.
#pragma once

struct cli_element;

extern const struct cli_element show_vesk_json_cmd;
extern const struct cli_element show_vesk_port_json_cmd;
extern const struct cli_element show_vesk_events_json_cmd;
extern const struct cli_element show_vesk_statistics_json_cmd;
