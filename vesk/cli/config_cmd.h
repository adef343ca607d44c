// The global and interface configuration commands of loop detection, but for the per-port
// settings (vesk/cli/port_settings.h).
#pragma once

struct cli_element;

// Configure mode: bridge-wide enabling.
extern const struct cli_element vesk_enable_cmd;
extern const struct cli_element no_vesk_enable_cmd;
// Configure, interface and p-interface modes: selects the interface to configure.
extern const struct cli_element interface_vesk_cmd;
// Interface mode.
extern const struct cli_element vesk_enable_p_cmd;
extern const struct cli_element no_vesk_enable_p_cmd;
extern const struct cli_element vesk_port_protect_vlan_cmd;
extern const struct cli_element no_vesk_port_protect_vlan_cmd;
extern const struct cli_element no_vesk_port_protect_vlan_all_cmd;
extern const struct cli_element vesk_port_force_up_cmd;
// Configure mode: fast detection on forwarding-database moves, on by default.
extern const struct cli_element vesk_fast_detect_cmd;
extern const struct cli_element no_vesk_fast_detect_cmd;
// Configure mode: how long a loop that another veskd sees too is left to it.
extern const struct cli_element vesk_hold_off_cmd;
extern const struct cli_element no_vesk_hold_off_cmd;
