#include "vesk/cli/port_config.h"

#include "vesk/cli/port_settings.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"

// Replaying an enable line, the port's or the bridge's, adds VLAN 1 to the port.
static bool vesk_config_restores_vlan1(const struct vesk_bridge *bridge,
                                       const struct vesk_port *port) {
    return port->cfg_enable || (bridge->vesk_enable == 1 && !port->cfg_disable);
}

// The enable line is replayed before the port's protect lines, so VLAN 1 comes back first in
// the port's order.
static bool vesk_config_vlan1_first(const struct vesk_port *port) {
    const std::vector<const struct vesk_provlan *> entries = vesk_port_provlans_in_order(port);
    return !entries.empty() && entries.front()->vid == 1;
}

// VLAN 1 is written where no enable line brings it back, or where it does but not in its place:
// without the line a port protecting VLAN 1 loses it, or shows it first after a read-back. Where
// an enable line restores it in its place it is not written: under a p-interface, which takes
// no interface command, the line would only be a bad line.
static bool vesk_config_writes_provlan(const struct vesk_bridge *bridge,
                                       const struct vesk_port *port,
                                       const struct vesk_provlan *entry) {
    return entry->vid != 1 || !vesk_config_restores_vlan1(bridge, port) ||
           !vesk_config_vlan1_first(port);
}

// A port that no longer protects the VLAN 1 an enable line adds on replay has to lose it again,
// or it gains a VLAN it did not protect; one that protects it later in its order loses it too,
// and the protect lines add it back in its place.
static bool vesk_config_drops_vlan1(const struct vesk_bridge *bridge, struct vesk_port *port) {
    return vesk_config_restores_vlan1(bridge, port) && !vesk_config_vlan1_first(port);
}

int vesk_port_config_write(struct cli *cli, const struct vesk_bridge *bridge,
                           struct vesk_port *port) {
    int lines = vesk_port_settings_write(cli, port);
    if (port->cfg_enable) {
        cli_out(cli, " loop-detect enable\n");
        lines++;
    }
    if (port->cfg_disable) {
        cli_out(cli, " no loop-detect enable\n");
        lines++;
    }
    if (vesk_config_drops_vlan1(bridge, port)) {
        cli_out(cli, " no loop-detect protect vlan 1\n");
        lines++;
    }
    for (const struct vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        if (!vesk_config_writes_provlan(bridge, port, entry)) {
            continue;
        }
        cli_out(cli, " loop-detect protect vlan %d\n", entry->vid);
        lines++;
    }
    return lines;
}
