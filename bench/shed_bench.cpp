// The receive thread's price per read for shedding storm copies: a copy that is shed, and a
// frame that is new and handed on (slot overwritten), each with the clock read it needs.
#include <array>
#include <cstring>
#include <memory>

#include <benchmark/benchmark.h>

#include "vesk/frame/shed.h"
#include "vesk/host/zet.h"

namespace {

void BM_ShedCopy(benchmark::State &state) {
    auto shed = std::make_unique<vesk_recv_shed>();
    std::array<uint8_t, VESK_PDU_LEN> pdu{};
    pdu[20] = 0x5a;
    vesk_recv_shed_repeat(shed.get(), 3, pdu.data(), zet_clock_now_usec());
    bool shed_all = true;
    for (auto _ : state)
        shed_all &= vesk_recv_shed_repeat(shed.get(), 3, pdu.data(), zet_clock_now_usec());
    if (!shed_all)
        state.SkipWithError("a copy was handed on");
}
BENCHMARK(BM_ShedCopy);

void BM_ShedNewFrame(benchmark::State &state) {
    auto shed = std::make_unique<vesk_recv_shed>();
    std::array<uint8_t, VESK_PDU_LEN> pdu{};
    uint32_t serial = 0;
    bool shed_any = false;
    for (auto _ : state) {
        serial++;
        std::memcpy(pdu.data() + 30, &serial, sizeof serial);
        shed_any |= vesk_recv_shed_repeat(shed.get(), 3, pdu.data(), zet_clock_now_usec());
    }
    if (shed_any)
        state.SkipWithError("a new frame was shed");
}
BENCHMARK(BM_ShedNewFrame);

} // namespace
