// Machine-readable loop-detection reports for the device's management interface.
#pragma once

struct cli;
struct cli_element;

// The largest VLAN list one report line carries, and the group size of both callers.
constexpr int VESK_WMI_VLAN_MAX = 4094;

// 1 when a port of this name appears in the per-port reports: the port-channel and PON
// interfaces that the interface modes set apart ("po" or "pon" followed by digits) never do.
int vesk_wmi_port_reported(const char *name);

// Writes vids in the order given as comma-terminated single ids and ranges of consecutive ids,
// each range cut into groups of at most group values.
void wmi_loopback_vlan_display_format(struct cli *cli, const int *vids, int count, int group);

// "show wmi loopback switch": "enable" or "disable" without line end; "ERROR" without bridge.
int get_wmi_loopback_enable(struct cli *cli, int argc, char **argv);
// "show wmi port loopback infomation": one loopback( ... ); line per reported port.
int get_wmi_loopback_port_info(struct cli *cli, int argc, char **argv);
// "show wmi loop-detect": one loopInfo( ... ); line per reported port.
int wmi_show_vesk(struct cli *cli, int argc, char **argv);

extern const struct cli_element get_wmi_loopback_enable_cmd;
extern const struct cli_element get_wmi_loopback_port_info_cmd;
extern const struct cli_element wmi_show_vesk_cmd;
