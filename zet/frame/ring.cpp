#include "zet/frame/ring.h"

#include <cerrno>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>

namespace {

tpacket2_hdr *frame_ring_slot(frame_ring &ring, unsigned index) {
    return reinterpret_cast<tpacket2_hdr *>(ring.map + size_t{index} * FRAME_RING_SLOT);
}

// Gives the slot read last back to the kernel: its bytes were valid until now.
void frame_ring_release(frame_ring &ring) {
    tpacket2_hdr *hdr = frame_ring_slot(ring, ring.slot);
    __atomic_store_n(&hdr->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    ring.held = false;
    ring.slot = (ring.slot + 1) % FRAME_RING_SLOTS;
}

} // namespace

int frame_ring_attach(struct frame_ring &ring, int fd) {
    int version = TPACKET_V2;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0)
        return -1;
    tpacket_req req{};
    req.tp_block_size = FRAME_RING_BLOCK;
    req.tp_block_nr = FRAME_RING_SIZE / FRAME_RING_BLOCK;
    req.tp_frame_size = FRAME_RING_SLOT;
    req.tp_frame_nr = FRAME_RING_SLOTS;
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0)
        return -1;
    void *map = mmap(nullptr, FRAME_RING_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return -1;
    ring = frame_ring{};
    ring.map = static_cast<uint8_t *>(map);
    ring.size = FRAME_RING_SIZE;
    return 0;
}

bool frame_ring_next(struct frame_ring &ring, struct frame_ring_frame &out) {
    if (ring.map == nullptr)
        return false;
    if (ring.held)
        frame_ring_release(ring);
    const tpacket2_hdr *hdr = frame_ring_slot(ring, ring.slot);
    if ((__atomic_load_n(&hdr->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
        return false;
    ring.held = true;
    const auto *base = reinterpret_cast<const uint8_t *>(hdr);
    const auto *sll = reinterpret_cast<const sockaddr_ll *>(base + TPACKET_ALIGN(sizeof *hdr));
    out.data = base + hdr->tp_mac;
    out.len = hdr->tp_snaplen;
    out.wire_len = hdr->tp_len;
    out.ifindex = sll->sll_ifindex;
    out.pkttype = sll->sll_pkttype;
    return true;
}

void frame_ring_detach(struct frame_ring &ring) {
    if (ring.map != nullptr)
        munmap(ring.map, ring.size);
    ring = frame_ring{};
}
