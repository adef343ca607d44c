#include "zet/frame/ring.h"

#include <cerrno>
#include <linux/if_packet.h>
#include <sys/mman.h>
#include <sys/socket.h>

namespace {

// Room for the largest frame the filter passes, behind the ring's own headers.
constexpr unsigned RING_FRAME_SIZE = 2048;

tpacket_block_desc *frame_ring_block(frame_ring &ring, unsigned index) {
    return reinterpret_cast<tpacket_block_desc *>(ring.map + size_t{index} * FRAME_RING_BLOCK);
}

void frame_ring_release(frame_ring &ring) {
    tpacket_block_desc *desc = frame_ring_block(ring, ring.block);
    __atomic_store_n(&desc->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    ring.held = false;
    ring.block = (ring.block + 1) % FRAME_RING_BLOCKS;
}

// Takes the next block when the kernel has handed it over.
bool frame_ring_take(frame_ring &ring) {
    tpacket_block_desc *desc = frame_ring_block(ring, ring.block);
    if ((__atomic_load_n(&desc->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
        return false;
    ring.held = true;
    ring.left = desc->hdr.bh1.num_pkts;
    ring.next = reinterpret_cast<const uint8_t *>(desc) + desc->hdr.bh1.offset_to_first_pkt;
    return true;
}

} // namespace

int frame_ring_attach(struct frame_ring &ring, int fd) {
    int version = TPACKET_V3;
    if (setsockopt(fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0)
        return -1;
    tpacket_req3 req{};
    req.tp_block_size = FRAME_RING_BLOCK;
    req.tp_block_nr = FRAME_RING_BLOCKS;
    req.tp_frame_size = RING_FRAME_SIZE;
    req.tp_frame_nr = FRAME_RING_BLOCK / RING_FRAME_SIZE * FRAME_RING_BLOCKS;
    req.tp_retire_blk_tov = FRAME_RING_RETIRE_MS;
    if (setsockopt(fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0)
        return -1;
    size_t size = size_t{FRAME_RING_BLOCK} * FRAME_RING_BLOCKS;
    void *map = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        return -1;
    ring = frame_ring{};
    ring.map = static_cast<uint8_t *>(map);
    ring.size = size;
    return 0;
}

bool frame_ring_next(struct frame_ring &ring, struct frame_ring_frame &out) {
    if (ring.map == nullptr)
        return false;
    // A handed-over block may hold no frame; the loop gives each block one look.
    for (unsigned looked = 0; looked <= FRAME_RING_BLOCKS; looked++) {
        if (ring.held && ring.left == 0)
            frame_ring_release(ring);
        if (!ring.held && !frame_ring_take(ring))
            return false;
        if (ring.left == 0)
            continue;
        const auto *hdr = reinterpret_cast<const tpacket3_hdr *>(ring.next);
        const auto *sll =
            reinterpret_cast<const sockaddr_ll *>(ring.next + TPACKET_ALIGN(sizeof(tpacket3_hdr)));
        out.data = ring.next + hdr->tp_mac;
        out.len = hdr->tp_snaplen;
        out.wire_len = hdr->tp_len;
        out.ifindex = sll->sll_ifindex;
        out.pkttype = sll->sll_pkttype;
        ring.next += hdr->tp_next_offset;
        ring.left--;
        return true;
    }
    return false;
}

void frame_ring_detach(struct frame_ring &ring) {
    if (ring.map != nullptr)
        munmap(ring.map, ring.size);
    ring = frame_ring{};
}
