#include "zet/frame/packet.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <sys/socket.h>
#include <unistd.h>

#include "zet/core/globals.h"
#include "zet/core/if.h"
#include "zet/frame/addr.h"
#include "zet/frame/ring.h"

namespace {

constexpr size_t ETH_HDR = 14;
constexpr size_t VLAN_TAG = 4;
constexpr size_t MIN_FRAME = 60;
// Room for the largest frame the filter could ever pass, with slack for a mis-set filter.
constexpr size_t RX_FRAME_MAX = ETH_HDR + VLAN_TAG + FRAME_PAYLOAD_MAX;

// The program tcpdump compiles from:
//   (ether[12:2] = 0x0806 and len = 60 and ether[20:2] = 1 and ether[28:4] = 0) or
//   (ether[12:2] = 0x8100 and ether[16:2] = 0x0806 and len = 64 and ether[24:2] = 1 and
//    ether[32:4] = 0)
// i.e. ARP requests from 0.0.0.0 padded to the minimum frame, untagged or tagged in-line.
// A tag the kernel moved out of the frame shortens it to 60 bytes, the untagged case.
// Jump offsets count from the next instruction; 17 accepts, 18 rejects.
sock_filter FILTER[] = {
    /* 0 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_ARP, 0, 6),
    /* 2 */ BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 60, 0, 14),
    /* 4 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 20),
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 12),
    /* 6 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 28),
    /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 9, 10),
    /* 8 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_8021Q, 0, 9),
    /* 9 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 16),
    /* 10 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_ARP, 0, 7),
    /* 11 */ BPF_STMT(BPF_LD | BPF_W | BPF_LEN, 0),
    /* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 64, 0, 5),
    /* 13 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 24),
    /* 14 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 1, 0, 3),
    /* 15 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 32),
    /* 16 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 1),
    /* 17 */ BPF_STMT(BPF_RET | BPF_K, 262144),
    /* 18 */ BPF_STMT(BPF_RET | BPF_K, 0),
};

int fail(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

bool port_sends_untagged(const interface *ifp, uint16_t vid) {
    if (vid == 0)
        return true;
    return (ifp->untagged[vid / 8] >> (vid % 8)) & 1;
}

// tpid: the bridge's tag protocol, 0 for none (untagged); an 802.1ad bridge drops C-tags.
size_t build_header(uint8_t *frame, const frame_send_addr &to, uint16_t tpid_host) {
    std::memcpy(frame, to.dst, 6);
    std::memcpy(frame + 6, to.src, 6);
    size_t off = 12;
    if (tpid_host != 0) {
        uint16_t tpid = htons(tpid_host);
        uint16_t tci = htons(to.vid);
        std::memcpy(frame + off, &tpid, 2);
        std::memcpy(frame + off + 2, &tci, 2);
        off += VLAN_TAG;
    }
    uint16_t type = htons(ETH_P_ARP);
    std::memcpy(frame + off, &type, 2);
    return off + 2;
}

} // namespace

void frame_packet_filter(struct sock_fprog *prog) {
    prog->len = sizeof(FILTER) / sizeof(FILTER[0]);
    prog->filter = FILTER;
}

int frame_packet_open(struct frame_ring &ring) {
    // Protocol 0: nothing is received until bind, so the filter is in place before any frame.
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sock_fprog prog{};
    frame_packet_filter(&prog);
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0)
        return fail(fd);
    int one = 1;
    // Older kernels lack it; the pkttype check on every read covers them.
    setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    if (frame_ring_attach(ring, fd) < 0)
        return fail(fd);
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof sll) < 0) {
        frame_ring_detach(ring);
        return fail(fd);
    }
    return fd;
}

ssize_t frame_packet_send(struct lib_globals *zg, int fd, const struct frame_send_addr &to,
                          const uint8_t *data, size_t len) {
    interface *ifp = ifg_lookup_by_index(zg->ifg, static_cast<uint32_t>(to.ifindex));
    if (ifp == nullptr) {
        errno = ENODEV;
        return -1;
    }
    uint8_t frame[ETH_HDR + VLAN_TAG + FRAME_PAYLOAD_MAX] = {};
    uint16_t tpid = ifp->vlan_tpid != 0 ? ifp->vlan_tpid : ETH_P_8021Q;
    size_t hdr = build_header(frame, to, port_sends_untagged(ifp, to.vid) ? 0 : tpid);
    std::memcpy(frame + hdr, data, len);
    size_t total = hdr + len;
    size_t min_total = MIN_FRAME + (hdr - ETH_HDR);
    if (total < min_total)
        total = min_total;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ARP);
    sll.sll_ifindex = to.ifindex;
    sll.sll_halen = 6;
    std::memcpy(sll.sll_addr, to.dst, 6);
    ssize_t n = sendto(fd, frame, total, 0, reinterpret_cast<sockaddr *>(&sll), sizeof sll);
    return n < 0 ? -1 : static_cast<ssize_t>(len);
}

ssize_t frame_packet_recv(struct frame_ring &ring, uint8_t *buf, size_t len, bool trunc,
                          struct frame_recv_addr &from) {
    frame_ring_frame f{};
    if (!frame_ring_next(ring, f)) {
        errno = EAGAIN;
        return -1;
    }
    if (f.pkttype == PACKET_OUTGOING || f.wire_len > RX_FRAME_MAX || f.len < ETH_HDR ||
        f.len != f.wire_len)
        return FRAME_RX_IGNORED;
    size_t hdr = ETH_HDR;
    uint16_t type = static_cast<uint16_t>(f.data[12] << 8 | f.data[13]);
    if (type == ETH_P_8021Q || type == ETH_P_8021AD)
        hdr += VLAN_TAG;
    if (f.len < hdr)
        return FRAME_RX_IGNORED;
    std::memcpy(from.dst, f.data, 6);
    std::memcpy(from.src, f.data + 6, 6);
    from.ifindex = static_cast<uint32_t>(f.ifindex);
    size_t payload = f.len - hdr;
    size_t copied = payload < len ? payload : len;
    std::memcpy(buf, f.data + hdr, copied);
    return static_cast<ssize_t>(trunc ? payload : copied);
}
