// The running-configuration lines of one port: what both "write" and the configuration kept
// for a port whose interface goes are made of.
#pragma once

struct cli;
struct vesk_bridge;
struct vesk_port;

// The setting lines of one port, values equal to the defaults left out. Gives their number.
int vesk_port_config_write(struct cli *cli, const struct vesk_bridge *bridge,
                           struct vesk_port *port);
