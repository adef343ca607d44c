// The verdict on the main thread for frames rejected at its first two steps, which is where
// nearly all foreign traffic that passes the kernel filter ends: an ARP reply (header step) and
// another station's ARP request from 0.0.0.0 (sender-address step).
#include <cstring>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/daemon_world.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"

namespace {

struct RejectWorld {
    vesk_bench::DaemonWorld world;
    std::vector<uint8_t> frame;
    uint8_t address[VESK_RECV_ADDR_LEN] = {};

    RejectWorld() {
        vesk_port *port = world.add_ports(1, 10, 10).front();
        vesk_api_add_protect_vlan(10, port->ifp, world.bridge());
        vesk_provlan copy = *vesk_find_provlan_from_port(10, port);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(port, &copy, image + 22, image, image);
        frame.assign(image + VESK_LINK_HDR_LEN, image + VESK_FRAME_LEN);
        uint32_t ifindex = port->ifindex;
        std::memcpy(address + 12, &ifindex, sizeof ifindex);
    }
};

RejectWorld &reject_world() {
    static RejectWorld *w = new RejectWorld();
    return *w;
}

void verdict(benchmark::State &state, size_t offset, uint8_t value) {
    RejectWorld &w = reject_world();
    std::vector<uint8_t> bad = w.frame;
    bad[offset] = value;
    for (auto _ : state)
        vesk_recv_verdict(w.world.handle(), w.address, bad.data(), VESK_PDU_LEN);
}

void BM_VerdictRejectedArpHeader(benchmark::State &state) {
    verdict(state, 7, 0x02); // ARP operation 2, a reply
}
BENCHMARK(BM_VerdictRejectedArpHeader);

void BM_VerdictRejectedSenderMac(benchmark::State &state) {
    verdict(state, 13, 0x77); // another station's sender address
}
BENCHMARK(BM_VerdictRejectedSenderMac);

} // namespace
