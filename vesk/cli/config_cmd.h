// The global and interface configuration commands of loop detection.
#pragma once

struct cli;
struct cli_element;

// Configure mode: bridge-wide enabling.
int vesk_enable(struct cli *cli, int argc, char **argv);
int no_vesk_enable(struct cli *cli, int argc, char **argv);
// Configure, interface and p-interface modes: selects the interface to configure.
int interface_vesk(struct cli *cli, int argc, char **argv);
// Interface mode.
int vesk_enable_p(struct cli *cli, int argc, char **argv);
int no_vesk_enable_p(struct cli *cli, int argc, char **argv);
int vesk_port_protect_vlan(struct cli *cli, int argc, char **argv);
int no_vesk_port_protect_vlan(struct cli *cli, int argc, char **argv);
int no_vesk_port_protect_vlan_all(struct cli *cli, int argc, char **argv);
int vesk_port_tx_time(struct cli *cli, int argc, char **argv);
int no_vesk_port_tx_time(struct cli *cli, int argc, char **argv);
int vesk_port_resume_time(struct cli *cli, int argc, char **argv);
int no_vesk_port_resume_time(struct cli *cli, int argc, char **argv);
int vesk_port_force_up(struct cli *cli, int argc, char **argv);
int vesk_port_loop_handle(struct cli *cli, int argc, char **argv);
int vesk_port_uplink(struct cli *cli, int argc, char **argv);
int no_vesk_port_uplink(struct cli *cli, int argc, char **argv);
// Configure mode: fast detection on forwarding-database moves, on by default.
int vesk_fast_detect_on(struct cli *cli, int argc, char **argv);
int no_vesk_fast_detect(struct cli *cli, int argc, char **argv);
// Configure mode: how long a loop that another veskd sees too is left to it.
int vesk_hold_off(struct cli *cli, int argc, char **argv);
int no_vesk_hold_off(struct cli *cli, int argc, char **argv);

extern const struct cli_element vesk_enable_cmd;
extern const struct cli_element no_vesk_enable_cmd;
extern const struct cli_element interface_vesk_cmd;
extern const struct cli_element vesk_enable_p_cmd;
extern const struct cli_element no_vesk_enable_p_cmd;
extern const struct cli_element vesk_port_protect_vlan_cmd;
extern const struct cli_element no_vesk_port_protect_vlan_cmd;
extern const struct cli_element no_vesk_port_protect_vlan_all_cmd;
extern const struct cli_element vesk_port_tx_time_cmd;
extern const struct cli_element no_vesk_port_tx_time_cmd;
extern const struct cli_element vesk_port_resume_time_cmd;
extern const struct cli_element no_vesk_port_resume_time_cmd;
extern const struct cli_element vesk_port_force_up_cmd;
extern const struct cli_element vesk_port_loop_handle_cmd;
extern const struct cli_element vesk_port_uplink_cmd;
extern const struct cli_element no_vesk_port_uplink_cmd;
extern const struct cli_element vesk_fast_detect_cmd;
extern const struct cli_element no_vesk_fast_detect_cmd;
extern const struct cli_element vesk_hold_off_cmd;
extern const struct cli_element no_vesk_hold_off_cmd;
