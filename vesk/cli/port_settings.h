// The per-port settings (struct vesk_port_settings), each declared once in port_settings.cpp:
// its interface command and "no" form, its running-configuration line, its show line and its
// JSON key all come from that one entry.
#pragma once

#include <nlohmann/json_fwd.hpp>

struct cli;
struct cli_tree;
struct vesk_port;

// The commands of every setting in interface mode, in the table's order.
void vesk_port_settings_install(struct cli_tree *tree);
// The running-configuration lines of the settings that differ from their defaults. Gives their
// number.
int vesk_port_settings_write(struct cli *cli, const struct vesk_port *port);
// The show lines of the settings that have one and differ from their defaults.
void vesk_port_settings_show(struct cli *cli, const struct vesk_port *port);
// The JSON keys of the settings into a port's object.
void vesk_port_settings_json(nlohmann::json &j, const struct vesk_port *port);
