#include "vesk/frame/shed.h"

#include <cstring>

namespace {

// Mixes the port and the frame's bytes eight at a time; the slot is the top bits. Storm
// copies of our own frames differ in a few bytes (port, VLAN, time, check values), foreign
// ARP requests in their sender address: every word is mixed so either kind spreads.
size_t vesk_shed_slot_of(uint32_t ifindex, const uint8_t *pdu) {
    constexpr uint64_t MIX = 0x9E3779B97F4A7C15ULL;
    uint64_t h = ifindex * MIX;
    size_t off = 0;
    for (; off + 8 <= VESK_PDU_LEN; off += 8) {
        uint64_t word = 0;
        std::memcpy(&word, pdu + off, 8);
        h = (h ^ word) * MIX;
    }
    uint64_t tail = 0;
    std::memcpy(&tail, pdu + off, VESK_PDU_LEN - off);
    h = (h ^ tail) * MIX;
    return static_cast<size_t>(h >> 56) % VESK_SHED_SLOTS;
}

} // namespace

bool vesk_recv_shed_repeat(struct vesk_recv_shed *shed, uint32_t ifindex, const uint8_t *pdu,
                           long long now_usec) {
    vesk_shed_slot &slot = shed->slots[vesk_shed_slot_of(ifindex, pdu)];
    bool same =
        slot.ifindex == ifindex && ifindex != 0 && std::memcmp(slot.pdu, pdu, VESK_PDU_LEN) == 0;
    if (same && now_usec - slot.handed_usec < VESK_SHED_WINDOW_USEC)
        return true;
    slot.handed_usec = now_usec;
    slot.ifindex = ifindex;
    std::memcpy(slot.pdu, pdu, VESK_PDU_LEN);
    return false;
}
