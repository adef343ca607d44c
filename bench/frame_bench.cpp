// Detection frames: encoding one frame (plain and authenticated, and the hash alone), and the main
// thread's verdict on an accepted and on a rejected frame (the deepest rejection: wrong check
// values).
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "vesk/daemon/lifecycle.h"
#include "vesk/frame/auth.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

constexpr long kSeconds = 1700000000;

int fixed_time(struct timeval *tv, void *) {
    tv->tv_sec = kSeconds;
    tv->tv_usec = 0;
    return 0;
}

// One port of bridge "1" protecting VLAN 10, with the frame it last sent.
struct frame_bench_world {
    vesk_daemon daemon;
    vesk_port *port = nullptr;
    std::vector<uint8_t> frame;
    uint8_t address[VESK_RECV_ADDR_LEN] = {};

    frame_bench_world() {
        vesk_frame_set_time_source(fixed_time);
        vesk_daemon_make(&daemon);
        vesk_bridge *bridge = vesk_add_bridge(daemon.master, "1");
        interface *ifp = if_create(daemon.zg, "ge1", 1);
        ifp->flags = 0x1 | 0x40;
        const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        std::memcpy(ifp->hw_addr, mac, 6);
        ifp->hw_addr_len = 6;
        port = vesk_bridge_add_port(bridge, ifp);
        vesk_bridge_vlan_add_port(bridge, 10, port);
        vesk_add_provlan_to_port(10, port);
        vesk_provlan copy = *vesk_find_provlan_from_port(10, port);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &copy, image + 22, image, image);
        frame.assign(image + VESK_LINK_HDR_LEN, image + VESK_FRAME_LEN);
        uint32_t ifindex = 1;
        std::memcpy(address + 12, &ifindex, 4);
        vesk_frame_set_time_source(nullptr);
    }
};

frame_bench_world &world() {
    static frame_bench_world w;
    return w;
}

void BM_EncodeOneFrame(benchmark::State &state) {
    frame_bench_world &w = world();
    vesk_provlan entry = *vesk_find_provlan_from_port(10, w.port);
    uint8_t buffer[VESK_FRAME_BUF_LEN];
    for (auto _ : state) {
        std::memset(buffer, 0, sizeof buffer);
        vesk_encode_pkt(w.port, &entry, buffer + 22, buffer, buffer);
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_EncodeOneFrame);

// The same frame with "loop-detect authentication": the check bytes become a keyed hash.
void BM_EncodeOneFrameAuthenticated(benchmark::State &state) {
    frame_bench_world &w = world();
    vesk_provlan entry = *vesk_find_provlan_from_port(10, w.port);
    uint8_t buffer[VESK_FRAME_BUF_LEN];
    vesk_auth_set(&w.daemon.auth, 1);
    for (auto _ : state) {
        std::memset(buffer, 0, sizeof buffer);
        vesk_encode_pkt(w.port, &entry, buffer + 22, buffer, buffer);
        benchmark::DoNotOptimize(buffer);
    }
    vesk_auth_set(&w.daemon.auth, 0);
}
BENCHMARK(BM_EncodeOneFrameAuthenticated);

// The hash alone: what authentication adds to every frame sent.
void BM_FrameHash(benchmark::State &state) {
    vesk_frame_auth auth{};
    vesk_auth_init(&auth);
    uint8_t image[VESK_FRAME_LEN] = {1, 2, 3};
    uint8_t check[VESK_CHECK_LEN];
    for (auto _ : state) {
        vesk_auth_sign(&auth, image, check);
        benchmark::DoNotOptimize(check);
        image[48]++;
    }
}
BENCHMARK(BM_FrameHash);

void BM_VerdictAccepted(benchmark::State &state) {
    frame_bench_world &w = world();
    vesk_frame_set_time_source(fixed_time);
    for (auto _ : state)
        vesk_recv_verdict(w.daemon.zg, w.address, w.frame.data(), VESK_PDU_LEN);
    vesk_frame_set_time_source(nullptr);
    if (vesk_port_loop_vlan_count(w.port) != 1)
        state.SkipWithError("the frame was not accepted");
}
BENCHMARK(BM_VerdictAccepted);

void BM_VerdictRejectedChecksum(benchmark::State &state) {
    frame_bench_world &w = world();
    std::vector<uint8_t> bad = w.frame;
    bad[38] ^= 0xff;
    vesk_frame_set_time_source(fixed_time);
    for (auto _ : state)
        vesk_recv_verdict(w.daemon.zg, w.address, bad.data(), VESK_PDU_LEN);
    vesk_frame_set_time_source(nullptr);
}
BENCHMARK(BM_VerdictRejectedChecksum);

} // namespace
