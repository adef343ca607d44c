#include "vesk/cli/config_write.h"

#include <algorithm>

#include "vesk/cli/kept_config.h"
#include "vesk/cli/port_config.h"
#include "vesk/daemon/daemon.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/yield.h"
#include "vesk/model/model.h"

// Looked up without the bridge check's operator message: the running configuration is read
// back as commands, and a message line in the saved file would be a bad line there.
static struct vesk_bridge *vesk_config_bridge(struct cli *cli) {
    struct vesk_master *master = vesk_get_master(cli->zg);
    if (master == nullptr) {
        return nullptr;
    }
    return vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master);
}

int vesk_config_write(struct cli *cli) {
    int lines = 0;
    if (const struct vesk_daemon *d = vesk_daemon_of(cli->zg); d != nullptr && !d->fast_detect) {
        cli_out(cli, "no loop-detect fast-detect\n");
        lines++;
    }
    if (vesk_hold_off_msec != VESK_HOLD_OFF_DEFAULT_MSEC) {
        cli_out(cli, "loop-detect hold-off %u\n", vesk_hold_off_msec);
        lines++;
    }
    struct vesk_bridge *bridge = vesk_config_bridge(cli);
    struct vesk_master *master = vesk_get_master(cli->zg);
    bool enabled =
        bridge != nullptr ? bridge->vesk_enable == 1 : master != nullptr && master->kept_enable;
    if (!enabled) {
        return lines;
    }
    cli_out(cli, "loop-detect enable\n");
    return lines + 1;
}

// The names of the kept configuration and, while the bridge is there, of the interfaces, in
// natural order, each once.
static std::vector<std::string> vesk_config_names(struct lib_globals *zg, bool with_interfaces) {
    std::vector<std::string> names = vesk_kept_names();
    if (with_interfaces)
        ifg_foreach(
            zg->ifg,
            [](void *ctx, struct interface *ifp) {
                static_cast<std::vector<std::string> *>(ctx)->emplace_back(ifp->name);
            },
            &names);
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return ifname_cmp3(a.c_str(), b.c_str()) < 0;
    });
    names.erase(std::unique(names.begin(), names.end()), names.end());
    return names;
}

// The block of one name: its port's settings, or the lines kept for it.
static int vesk_if_block_write(struct cli *cli, struct vesk_bridge *bridge,
                               const std::string &name) {
    cli_out(cli, "interface %s\n", name.c_str());
    struct interface *ifp = ifg_lookup_by_name(cli->zg->ifg, name.c_str());
    if (ifp != nullptr && ifp->desc[0] != '\0')
        cli_out(cli, " description %s\n", ifp->desc);
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, bridge);
    if (port != nullptr)
        return vesk_port_config_write(cli, bridge, port);
    std::vector<std::string> lines = vesk_kept_lines(name.c_str());
    for (const std::string &line : lines)
        cli_out(cli, " %s\n", line.c_str());
    return static_cast<int>(lines.size());
}

int vesk_if_config_write(struct cli *cli) {
    struct ovx_vr *vr = cli->vr;
    if (vr == nullptr) {
        return 0;
    }
    struct vesk_bridge *bridge = vesk_config_bridge(cli);
    int count = 0;
    bool first = true;
    for (const std::string &name : vesk_config_names(cli->zg, bridge != nullptr)) {
        // Every block ends in "!" (the last one in the separator after this section), so that
        // the lines of a block whose interface has gone are never taken for the block before.
        if (!first) {
            cli_out(cli, "!\n");
        }
        first = false;
        count += vesk_if_block_write(cli, bridge, name);
    }
    return count;
}
