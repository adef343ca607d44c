// Received frames against a daemon with ports and protect VLANs. The input is a run of
// 48-byte records: the receiving interface, a control byte, and the 46 bytes the frame socket
// delivers. Besides crashes, leaks and undefined behaviour it finds verdicts that change the
// model for a frame that cannot prove a loop, and any contradiction in the model afterwards.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz_daemon.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/model/model.h"

namespace {

constexpr size_t kRecordLen = 2 + VESK_PDU_LEN;
constexpr uint8_t kArpRequest[] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
// Interfaces 1..4 are ports, 5 is an interface of no bridge, others do not exist.
constexpr uint32_t kInterfaces = 7;

// Control byte.
constexpr uint8_t kAdvance = 0x01; // run one second of timers first
constexpr uint8_t kDebug = 0x02;   // every debug flag on for this frame
constexpr uint8_t kForceUp = 0x04; // "force up" on the receiving port first
constexpr uint8_t kClockShift = 4; // bits 4..6: time of day moves on 0..7 s
constexpr uint8_t kClockMask = 0x70;

struct PortSnapshot {
    std::vector<uint8_t> loops;
    uint8_t loop_vlan_count;
    uint32_t mstate;
    uint32_t pstate;
    bool operator==(const PortSnapshot &) const = default;
};

std::vector<vesk_port *> ports;
long time_of_day = vesk_fuzz::kTimeOfDay;

void protect(vesk_port *port, std::initializer_list<uint16_t> vids) {
    for (uint16_t vid : vids) {
        if (vesk_api_add_protect_vlan(vid, port->ifp, vesk_fuzz::bridge()) != 0)
            vesk_fuzz::fail("protect VLAN %u on %s", vid, port->name);
    }
}

// ge1 and ge4 share a MAC, as every port of a switch does, so frames may cross between them;
// ge3 only logs loops; VLAN 99 of ge1 is protected but not a membership (inactive).
void build_state() {
    vesk_fuzz::start();
    time_of_day = vesk_fuzz::kTimeOfDay;
    ports.clear();
    ports.push_back(vesk_fuzz::add_port("ge1", 1, {1, 10, 20}));
    ports.push_back(vesk_fuzz::add_port("ge2", 2, {10, 30}));
    ports.push_back(vesk_fuzz::add_port("ge3", 3, {1}));
    ports.push_back(vesk_fuzz::add_port("ge4", 4, {1}));
    std::memcpy(ports[3]->mac_address, ports[0]->mac_address, sizeof ports[0]->mac_address);
    if (if_create(veskm, "eth5", 5) == nullptr)
        vesk_fuzz::fail("interface eth5");
    protect(ports[0], {1, 10, 20, 99});
    protect(ports[1], {10, 30});
    protect(ports[2], {1});
    protect(ports[3], {1});
    vesk_api_loop_handle(VESK_LOOP_LOG, ports[2]->ifp, vesk_fuzz::bridge());
    vesk_fuzz::check_model();
}

std::vector<PortSnapshot> snapshot() {
    std::vector<PortSnapshot> out;
    for (vesk_port *port : ports) {
        PortSnapshot s{{}, port->loop_vlan_count, port->mstate, port->pstate};
        for (listnode *n = listhead(port->provlan_info); n != nullptr; n = listnextnode(n))
            s.loops.push_back(static_cast<vesk_provlan *>(listgetdata(n))->is_loop);
        out.push_back(s);
    }
    return out;
}

// Whether the frame could prove a loop at all: it names a protect entry of a port and carries
// that entry's latest check values. Every other frame must leave the ports as they were.
bool may_prove_loop(const uint8_t *frame) {
    if (std::memcmp(frame, kArpRequest, sizeof kArpRequest) != 0)
        return false;
    vesk_port *tx = vesk_port_from_ifindex(veskm, decode_pkt_element(frame + 28, 4));
    if (tx == nullptr)
        return false;
    auto vid = static_cast<uint16_t>(decode_pkt_element(frame + 32, 2));
    vesk_provlan *entry = vesk_find_provlan_from_port(vid, tx);
    return entry != nullptr && std::memcmp(frame + 38, entry->tx_check, 8) == 0;
}

void apply_control(uint8_t control, uint32_t rx_ifindex) {
    time_of_day += (control & kClockMask) >> kClockShift;
    vesk_fuzz::set_time_of_day(time_of_day);
    if (control & kAdvance)
        vesk_fuzz::advance(1);
    uint32_t all = control & kDebug ? 0xffffffffu : 0;
    vesk_global_debug.term_event = vesk_global_debug.term_nsm = vesk_global_debug.term_packet = all;
    if ((control & kForceUp) && rx_ifindex >= 1 && rx_ifindex <= ports.size())
        vesk_api_force_up(ports[rx_ifindex - 1]->ifp, vesk_fuzz::bridge());
}

void receive(const uint8_t *record) {
    uint32_t rx_ifindex = record[0] % kInterfaces;
    apply_control(record[1], rx_ifindex);
    const uint8_t *frame = record + 2;
    uint8_t address[VESK_RECV_ADDR_LEN] = {};
    std::memset(address, 0xff, 6);
    std::memcpy(address + 12, &rx_ifindex, sizeof rx_ifindex);
    bool may_prove = may_prove_loop(frame);
    std::vector<PortSnapshot> before = snapshot();
    vesk_recv_verdict(veskm, address, frame, VESK_PDU_LEN);
    if (!may_prove && snapshot() != before)
        vesk_fuzz::fail("a frame that proves nothing changed a port");
    vesk_fuzz::check_model();
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
