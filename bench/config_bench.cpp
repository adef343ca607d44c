// Reading a configuration file of 512 interface blocks (enable, two protect VLANs, transmit
// interval, resume time, loop handling) into a daemon whose 512 ports NSM has reported, each a
// member of VLANs 1 to 64.
#include <cstdio>
#include <string>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "bench/daemon_world.h"

namespace {

constexpr int kPorts = 512;

std::string config_text() {
    std::string text = "loop-detect enable\n!\n";
    for (int i = 1; i <= kPorts; i++) {
        text += "interface ge" + std::to_string(i) + "\n";
        text += " loop-detect tx-interval time " + std::to_string(10 + i % 290) + "\n";
        text += " loop-detect resume time " + std::to_string(180 + i % 420) + "\n";
        text += " loop-detect protect vlan " + std::to_string(2 + i % 60) + "\n";
        text += " loop-detect protect vlan 64\n";
        if (i % 2 == 0)
            text += " loop-detect loop log\n";
        text += "!\n";
    }
    return text;
}

std::string write_config() {
    char path[] = "/tmp/vesk-bench-config-XXXXXX";
    int fd = mkstemp(path);
    std::string text = config_text();
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "";
    close(fd);
    return path;
}

void BM_ReadConfig512Interfaces(benchmark::State &state) {
    const std::string path = write_config();
    if (path.empty()) {
        state.SkipWithError("cannot write the configuration file");
        return;
    }
    int failed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        {
            vesk_bench::DaemonWorld world;
            world.add_ports(kPorts, 1, 64);
            state.ResumeTiming();
            failed = host_config_read(world.handle(), path.c_str());
            state.PauseTiming();
        }
        state.ResumeTiming();
    }
    unlink(path.c_str());
    state.counters["failed_lines"] = failed;
}
BENCHMARK(BM_ReadConfig512Interfaces)->Unit(benchmark::kMillisecond);

} // namespace
