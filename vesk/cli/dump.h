// Developer dumps of raw port and VLAN records to the daemon's standard output (the console).
// Only error messages reach the command shell.
#pragma once

struct cli;
struct cli_element;
struct vesk_port;

// "dump vesk bridage interface IFNAME": 0 after a dump, 1 for a missing or unknown interface,
// -1 without bridge.
int dump_vesk_global_port_info_cli(struct cli *cli, int argc, char **argv);
// "dump vesk bridage vlan <1-4094>": 0 after a dump (also of a VLAN the bridge lacks), 1 for an
// invalid id, -1 without bridge.
int dump_vesk_global_vlan_info_cli(struct cli *cli, int argc, char **argv);
// Every field of a port record; nothing for null.
void vesk_dump_port(struct vesk_port *port);

extern const struct cli_element dump_vesk_global_port_info_cmd;
extern const struct cli_element dump_vesk_global_vlan_info_cmd;
