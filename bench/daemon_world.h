// The test world (tests/support/world.h) with the command tables and a command context, for the
// benchmarks: bridge "1" with ports and VLANs made directly, as NSM would report them. Each
// benchmark owns its world.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/world.h"
#include "vesk/cli/cli.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/model/model.h"

namespace vesk_bench {

class DaemonWorld : public vesk_test::World {
  public:
    DaemonWorld() : World(vesk_test::abort_on_fault) {
        vesk_test::WorldOptions options;
        options.quiet = true;
        start(options);
        cli_ = cli_new(handle(), 15);
    }
    ~DaemonWorld() {
        cli_free(cli_);
        stop(vesk_test::Leaks::MODEL);
    }
    DaemonWorld(const DaemonWorld &) = delete;
    DaemonWorld &operator=(const DaemonWorld &) = delete;

    // Ports ge1..geN (interface indexes 1..N), running, each a member of VLANs first..last.
    std::vector<vesk_port *> add_ports(int n, uint16_t first, uint16_t last) {
        std::vector<vesk_port *> ports;
        for (int i = 1; i <= n; i++) {
            std::string name = "ge" + std::to_string(i);
            ports.push_back(make_port(name.c_str(), static_cast<uint32_t>(i)));
            for (unsigned vid = first; vid <= last; vid++)
                join(ports.back(), static_cast<uint16_t>(vid));
        }
        return ports;
    }

    // Runs one command line and gives its output.
    std::string run(const char *line) {
        cli_execute(cli_, line, true);
        return cli_output_take(cli_);
    }

  private:
    struct cli *cli_ = nullptr;
};

} // namespace vesk_bench
