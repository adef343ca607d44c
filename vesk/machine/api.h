// Management operations: the layer between the configuration commands and the port records.
// They check no ranges and print nothing; the command layer does both.
#pragma once

#include <cstdint>

struct interface;
struct vesk_bridge;
struct vesk_port;
struct vesk_port_settings;

// Sets one of the port's settings (vesk/model/port.h): 0 or -11 (what names the setting in the
// debug line). Stored only: an armed timer keeps its expiry, the value applies when it is next
// armed.
int vesk_api_set_setting(struct interface *ifp, struct vesk_bridge *bridge,
                         uint32_t vesk_port_settings::*field, uint32_t value, const char *what);
// Releases a port waiting on its resume timer, or shown shut down without one, about a second
// from now; other ports: no change.
int vesk_api_force_up(struct interface *ifp, struct vesk_bridge *bridge);
// 0 (also when vid is already protected), -11, -13 (16 protect VLANs held) or -14.
int vesk_api_add_protect_vlan(uint16_t vid, struct interface *ifp, struct vesk_bridge *bridge);
// Removes one protect VLAN, or every one for vid 0: 0 or -11.
int vesk_api_remove_protect_vlan(uint16_t vid, struct interface *ifp, struct vesk_bridge *bridge);
// Every port of the bridge not left out of it ("no loop-detect enable" on the port), in list
// order: enabled, and VLAN 1 protected.
void vesk_api_enable_bridge(struct vesk_bridge *bridge);
// A port new to the bridge gets what enabling the bridge gave the others, when it is enabled.
void vesk_api_bridge_port_joined(struct vesk_bridge *bridge, struct vesk_port *port);
// Every port of the bridge, in list order: no longer left out; those without their own enable
// disabled, VLAN 1 unprotected.
void vesk_api_disable_bridge(struct vesk_bridge *bridge);
