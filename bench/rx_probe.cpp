// Reads the frame socket's traffic for a while the way the daemon would, either one recvmsg per
// frame or from the daemon's receive ring, and reports what it read, what the kernel dropped and
// the reader's CPU time. bench/rx_modes.sh runs it against a loop storm to choose between the two.
//
//   vesk_rx_probe recvfrom|ring SECONDS
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <memory>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "vesk/frame/encode.h"
#include "vesk/frame/shed.h"
#include "vesk/host/zet.h"
#include "zet/frame/packet.h"
#include "zet/frame/ring.h"

namespace {

using steady = std::chrono::steady_clock;

struct probe_counts {
    unsigned long long frames = 0; // reads of a 46-byte frame
    unsigned long long handed = 0; // of those, not shed
};

// What the daemon does with each read: strip the link header, keep 46 bytes, shed copies.
void probe_take(probe_counts &c, vesk_recv_shed &shed, const uint8_t *frame, size_t len,
                uint32_t ifindex) {
    size_t hdr = 14;
    if (len >= 14 && frame[12] == 0x81 && frame[13] == 0x00)
        hdr += 4;
    if (len < hdr + VESK_PDU_LEN)
        return;
    uint8_t pdu[VESK_PDU_LEN];
    std::memcpy(pdu, frame + hdr, sizeof pdu);
    c.frames++;
    if (!vesk_recv_shed_repeat(&shed, ifindex, pdu, zet_clock_now_usec()))
        c.handed++;
}

int probe_open(void) {
    int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sock_fprog prog{};
    frame_packet_filter(&prog);
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) < 0 ||
        setsockopt(fd, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) < 0)
        return -1;
    return fd;
}

int probe_bind(int fd) {
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    return bind(fd, reinterpret_cast<sockaddr *>(&sll), sizeof sll);
}

int probe_recvfrom(int fd, steady::time_point end, probe_counts &c, vesk_recv_shed &shed) {
    uint8_t frame[1522];
    while (steady::now() < end) {
        sockaddr_ll sll{};
        socklen_t sl = sizeof sll;
        ssize_t n = recvfrom(fd, frame, sizeof frame, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&sll), &sl);
        if (n < 0) {
            pollfd p{fd, POLLIN, 0};
            poll(&p, 1, 100);
            continue;
        }
        probe_take(c, shed, frame, static_cast<size_t>(n), static_cast<uint32_t>(sll.sll_ifindex));
    }
    return 0;
}

// The daemon's own ring (zet/frame_ring), read the way the packet backend reads it.
int probe_ring(int fd, steady::time_point end, probe_counts &c, vesk_recv_shed &shed) {
    frame_ring ring;
    if (frame_ring_attach(ring, fd) < 0 || probe_bind(fd) < 0)
        return -1;
    while (steady::now() < end) {
        frame_ring_frame f{};
        if (!frame_ring_next(ring, f)) {
            pollfd p{fd, POLLIN | POLLERR, 0};
            poll(&p, 1, 100);
            continue;
        }
        probe_take(c, shed, f.data, f.len, static_cast<uint32_t>(f.ifindex));
    }
    frame_ring_detach(ring);
    return 0;
}

double thread_cpu_seconds(void) {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3 || (std::strcmp(argv[1], "recvfrom") != 0 && std::strcmp(argv[1], "ring") != 0)) {
        std::fprintf(stderr, "usage: vesk_rx_probe recvfrom|ring SECONDS\n");
        return 2;
    }
    const bool ring = std::strcmp(argv[1], "ring") == 0;
    const double seconds = std::atof(argv[2]);
    int fd = probe_open();
    if (fd < 0 || (!ring && probe_bind(fd) < 0)) {
        std::perror("vesk_rx_probe: socket");
        return 1;
    }
    auto shed = std::make_unique<vesk_recv_shed>();
    probe_counts c;
    tpacket_stats_v3 stats{};
    socklen_t sl = sizeof stats;
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &sl);
    const double cpu0 = thread_cpu_seconds();
    const auto start = steady::now();
    const auto end = start + std::chrono::duration_cast<steady::duration>(
                                 std::chrono::duration<double>(seconds));
    if ((ring ? probe_ring(fd, end, c, *shed) : probe_recvfrom(fd, end, c, *shed)) < 0) {
        std::perror("vesk_rx_probe: ring");
        return 1;
    }
    const double cpu = thread_cpu_seconds() - cpu0;
    const double wall = std::chrono::duration<double>(steady::now() - start).count();
    sl = sizeof stats;
    getsockopt(fd, SOL_PACKET, PACKET_STATISTICS, &stats, &sl);
    std::printf("%s read %.0f/s handed %.0f/s kernel-queued %.0f/s dropped %.0f/s cpu %.1f%% "
                "per-frame %.0f ns\n",
                argv[1], c.frames / wall, c.handed / wall, stats.tp_packets / wall,
                stats.tp_drops / wall, 100 * cpu / wall, c.frames ? 1e9 * cpu / c.frames : 0.0);
    close(fd);
    return 0;
}
