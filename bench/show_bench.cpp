// "show loop-detect" (and its VLAN form) on a full switch: 48 ports, each a member of all 4094
// VLANs and protecting 16 of them, loop detection running on every port.
#include <benchmark/benchmark.h>

#include "bench/daemon_world.h"

namespace {

vesk_bench::DaemonWorld &full_switch() {
    static vesk_bench::DaemonWorld *world = [] {
        auto *w = new vesk_bench::DaemonWorld();
        for (vesk_port *port : w->add_ports(48, 1, 4094)) {
            for (uint16_t vid = 1; vid <= 16; vid++)
                vesk_api_add_protect_vlan(static_cast<uint16_t>(vid * 200), port->ifp, w->bridge());
        }
        return w;
    }();
    return *world;
}

void show(benchmark::State &state, const char *line) {
    vesk_bench::DaemonWorld &world = full_switch();
    size_t bytes = 0;
    for (auto _ : state) {
        std::string out = world.run(line);
        bytes = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["output_bytes"] = static_cast<double>(bytes);
}

void BM_ShowLoopDetect48x4094(benchmark::State &state) {
    show(state, "show loop-detect");
}
BENCHMARK(BM_ShowLoopDetect48x4094)->Unit(benchmark::kMicrosecond);

void BM_ShowLoopDetectVlan48x4094(benchmark::State &state) {
    show(state, "show loop-detect vlan");
}
BENCHMARK(BM_ShowLoopDetectVlan48x4094)->Unit(benchmark::kMicrosecond);

void BM_ShowRunningConfig48(benchmark::State &state) {
    show(state, "show running-config");
}
BENCHMARK(BM_ShowRunningConfig48)->Unit(benchmark::kMicrosecond);

} // namespace
