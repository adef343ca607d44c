// Received frames against a daemon with ports and protect VLANs. The input is a run of 48-byte
// records: the receiving interface, a control byte, and the 46 bytes the frame socket delivers.
// A frame that cannot prove a loop must leave the ports as they were, and the model must hold
// together after every frame.
#include <cstring>
#include <vector>

#include "fuzz_daemon.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/host/debug_flags.h"
#include "vesk/machine/api.h"
#include "vesk/model/model.h"

namespace {

using vesk_fuzz::world;
constexpr size_t kRecordLen = 2 + VESK_PDU_LEN;
constexpr uint8_t kArpRequest[] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
// Interfaces 1..4 are ports, 5 is an interface of no bridge, others do not exist.
constexpr uint32_t kInterfaces = 7;
// Control byte: bit 0 runs one second of timers first, bit 1 turns every debug flag on for this
// frame, bit 2 forces the receiving port up first, bits 4..6 move the time of day on 0..7 s.
constexpr uint8_t kAdvance = 0x01, kDebug = 0x02, kForceUp = 0x04;

std::vector<vesk_port *> ports;
long time_of_day;

// ge1 and ge4 share a MAC, as every port of a switch does, so frames may cross between them;
// ge3 only logs loops; VLAN 99 of ge1 is protected but not a membership (inactive).
void build_state() {
    vesk_fuzz::start();
    time_of_day = vesk_fuzz::kTimeOfDay;
    ports = {world.make_port("ge1", 1, {1, 10, 20}), world.make_port("ge2", 2, {10, 30}),
             world.make_port("ge3", 3, {1}), world.make_port("ge4", 4, {1})};
    std::memcpy(ports[3]->mac_address, ports[0]->mac_address, sizeof ports[0]->mac_address);
    world.make_interface("eth5", 5);
    const std::vector<std::vector<uint16_t>> protect = {{1, 10, 20, 99}, {10, 30}, {1}, {1}};
    for (size_t i = 0; i < ports.size(); i++)
        for (uint16_t vid : protect[i])
            if (vesk_api_add_protect_vlan(vid, ports[i]->ifp, world.bridge()) != 0)
                vesk_fuzz::fail("protect VLAN %u on %s", vid, ports[i]->name);
    vesk_api_set_setting(ports[2]->ifp, world.bridge(), &vesk_port_settings::loop_process,
                         VESK_LOOP_LOG, "set loop process");
    world.check_model();
}

// Per port: loop flags of its entries, loop count, machine and port state.
std::vector<std::vector<uint32_t>> snapshot() {
    std::vector<std::vector<uint32_t>> out;
    for (vesk_port *port : ports) {
        out.push_back({vesk_port_loop_vlan_count(port), port->mstate, port->pstate});
        for (const vesk_provlan *entry : vesk_port_provlans_in_order(port))
            out.back().push_back(entry->is_loop);
    }
    return out;
}

// Whether the frame could prove a loop at all: it names a protect entry of a port and carries
// that entry's latest check values.
bool may_prove_loop(const uint8_t *frame) {
    if (std::memcmp(frame, kArpRequest, sizeof kArpRequest) != 0)
        return false;
    vesk_port *tx =
        vesk_port_from_ifindex(vesk_fuzz::world.handle(), decode_pkt_element(frame + 28, 4));
    auto vid = static_cast<uint16_t>(decode_pkt_element(frame + 32, 2));
    vesk_provlan *entry = tx != nullptr ? vesk_find_provlan_from_port(vid, tx) : nullptr;
    return entry != nullptr && std::memcmp(frame + 38, entry->tx_check, 8) == 0;
}

void receive(const uint8_t *record) {
    uint32_t rx_ifindex = record[0] % kInterfaces;
    const uint8_t control = record[1];
    time_of_day += (control >> 4) & 0x7;
    world.set_time_of_day(time_of_day);
    if (control & kAdvance)
        world.advance(1);
    vesk_global_debug.term_event = vesk_global_debug.term_nsm = vesk_global_debug.term_packet =
        control & kDebug ? 0xffffffffu : 0;
    if ((control & kForceUp) && rx_ifindex >= 1 && rx_ifindex <= ports.size())
        vesk_api_force_up(ports[rx_ifindex - 1]->ifp, world.bridge());
    const uint8_t *frame = record + 2;
    uint8_t address[VESK_RECV_ADDR_LEN] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
    std::memcpy(address + 12, &rx_ifindex, sizeof rx_ifindex);
    const bool may_prove = may_prove_loop(frame);
    const auto before = snapshot();
    vesk_recv_verdict(vesk_fuzz::world.handle(), address, frame, VESK_PDU_LEN);
    if (!may_prove && snapshot() != before)
        vesk_fuzz::fail("a frame that proves nothing changed a port");
    world.check_model();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kRecordLen)
        return 0;
    build_state();
    for (size_t off = 0; off + kRecordLen <= size; off += kRecordLen)
        receive(data + off);
    vesk_fuzz::stop();
    return 0;
}
