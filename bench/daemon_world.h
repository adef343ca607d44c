// A started framework with the daemon's model and command table for the benchmarks: bridge "1"
// with ports and VLANs made directly, as NSM would report them. Each benchmark owns its world
// and makes it current (veskm) before it measures, since the frame benchmarks keep their own;
// a world that ends gives the handle back to whichever was current before it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "vesk/cli/cli.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace vesk_bench {

class DaemonWorld {
  public:
    DaemonWorld() : previous_(veskm) {
        vesk_machine_hook_install();
        zg_ = lib_start();
        veskm = zg_;
        zg_->protocol = VESK_PROTOCOL;
        zg_->master = thread_master_create();
        openzlog(zg_, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG);
        zlog_set_discard(zg_->log);
        nsm_client_create(zg_, 0);
        vesk_lib_cli_init(zg_);
        vesk_cli_init(zg_);
        vesk_master_init(ovx_vr_get_privileged(zg_));
        bridge_ = vesk_add_bridge(vesk_get_master(zg_)->bridge_list, VESK_BRIDGE_NAME);
        cli_ = cli_new(zg_, 15);
    }
    ~DaemonWorld() {
        cli_free(cli_);
        veskm = zg_;
        while (listhead(bridge_->port_list) != nullptr) {
            auto *port = static_cast<vesk_port *>(listgetdata(listhead(bridge_->port_list)));
            vesk_remove_port_from_bridge(port->ifp, bridge_->name);
        }
        lib_stop(zg_);
        veskm = previous_;
    }
    DaemonWorld(const DaemonWorld &) = delete;
    DaemonWorld &operator=(const DaemonWorld &) = delete;

    void make_current() { veskm = zg_; }
    lib_globals *handle() const { return zg_; }
    vesk_bridge *bridge() const { return bridge_; }
    struct cli *cli() const {
        return cli_;
    }

    // Ports ge1..geN (interface indexes 1..N), running, each a member of VLANs first..last.
    std::vector<vesk_port *> add_ports(int n, uint16_t first, uint16_t last) {
        std::vector<vesk_vlan *> vlans;
        for (unsigned vid = first; vid <= last; vid++)
            vlans.push_back(vesk_bridge_add_vlan(bridge_, static_cast<uint16_t>(vid)));
        std::vector<vesk_port *> ports;
        for (int i = 1; i <= n; i++) {
            std::string name = "ge" + std::to_string(i);
            interface *ifp = if_create(zg_, name.c_str(), static_cast<uint32_t>(i));
            ifp->flags = 0x1 | 0x40;
            const uint8_t mac[6] = {
                0x02, 0, 0, 0, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            std::memcpy(ifp->hw_addr, mac, 6);
            ifp->hw_addr_len = 6;
            vesk_port *port = vesk_bridge_add_port(bridge_, ifp);
            for (vesk_vlan *vlan : vlans)
                vesk_bridge_vlan_add_port(vlan, port);
            ports.push_back(port);
        }
        return ports;
    }

    // Runs one command line and gives its output.
    std::string run(const char *line) {
        cli_execute(cli_, line, true);
        return cli_output_take(cli_);
    }

  private:
    lib_globals *previous_;
    lib_globals *zg_ = nullptr;
    vesk_bridge *bridge_ = nullptr;
    struct cli *cli_ = nullptr;
};

} // namespace vesk_bench
