// Operator show commands: the VLAN membership table, the global state and each port's state.
#pragma once

#include <cstdint>

struct cli;
struct cli_element;
struct thread;
struct vesk_bridge;
struct vesk_port;

// "show loop-detect": VLAN table, global state, every port. Gives 0.
int show_vesk(struct cli *cli, int argc, char **argv);
// "show loop-detect interface IFNAME": one port's state block. Gives 0, or 1 on an error.
int show_vesk_port(struct cli *cli, int argc, char **argv);
// "show loop-detect vlan": the VLAN table alone. Gives 0.
int show_vesk_vlan(struct cli *cli, int argc, char **argv);

// The VLAN membership table: id in 8 columns, 16 blanks, then member names wrapped so that a
// line of names stays within 31 columns; "mgm" ports are never listed.
void vesk_display_vlan(struct cli *cli, struct vesk_bridge *bridge);
// The state block of one port: protection, protect and loop VLANs, state, remaining time.
void vesk_display_port(struct cli *cli, struct vesk_port *port);
// The ids of the active entries, and of the looped entries, of a port's protect VLANs, each
// followed by a blank.
void vesk_display_pro_vlan_list(struct cli *cli, struct vesk_port *port);
void vesk_display_loop_vlan_list(struct cli *cli, struct vesk_port *port);

// "up" when the port's interface is up and running, else the operator word of its pstate.
const char *vesk_port_show_state(const struct vesk_port *port);
// A port shown up that loop detection blocked in single VLANs is shown blocked in those VLANs:
// "blocked (vlan 20,30)".
bool vesk_port_shows_vlan_blocks(const struct vesk_port *port);

// Time left until timer fires, in 1/256 s, never negative; 0 for no timer.
long l2_timer_get_remaining_tics(struct thread *timer);

extern const struct cli_element show_vesk_cmd;
extern const struct cli_element show_vesk_port_cmd;
extern const struct cli_element show_vesk_vlan_cmd;
