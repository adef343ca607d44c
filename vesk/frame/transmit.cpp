#include "vesk/frame/transmit.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vesk/daemon/daemon.h"
#include "vesk/frame/encode.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/model/bridge.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"

const uint8_t vesk_arp_addr[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};

int vesk_sock_init(struct vesk_daemon *d) {
    d->sockfd = pal_sock(d->zg, AF_FRAME_SOCK, SOCK_RAW, 0);
    if (d->sockfd < 0)
        zlog_err(d->zg, "socket create failed.");
    return d->sockfd;
}

int vesk_send(const struct vesk_daemon *d, const uint8_t *src_mac, const uint8_t *dst_mac,
              int32_t ifindex, uint16_t vid, const uint8_t *data, int length) {
    if (d == nullptr || d->sockfd < 0 || data == nullptr || src_mac == nullptr ||
        dst_mac == nullptr || length < 0)
        return -1;
    frame_send_addr addr{};
    std::memcpy(addr.dst, dst_mac, sizeof addr.dst);
    std::memcpy(addr.src, src_mac, sizeof addr.src);
    addr.ifindex = ifindex;
    addr.vid = vid;
    VESK_DEBUG_LOG_SEND(d->zg, "vesk port %d pal_sock_sendto \n", ifindex);
    ssize_t ret = pal_sock_sendto(d->sockfd, data, static_cast<size_t>(length), 0, &addr,
                                  FRAME_SEND_ADDR_LEN);
    if (ret < 0) {
        std::printf("[%s:%d] ifindex = %d,ret = %d error = %s.\n", "vesk_send", __LINE__, ifindex,
                    static_cast<int>(ret), std::strerror(errno));
        return -1;
    }
    return 0;
}

namespace {

bool vesk_port_sends_all_vlans(const struct vesk_port *port) {
    return port->bridge != nullptr && port->bridge->all_vlans != 0;
}

int vesk_send_entry(struct vesk_port *port, struct vesk_provlan *entry) {
    // The frame before came back no more: the loop it proved is gone. Only the port that was
    // cut starts afresh; the other end of its loop keeps probing and learns it here.
    if (entry->back == 0)
        entry->is_loop = 0;
    entry->back = 0;
    uint8_t buffer[VESK_FRAME_BUF_LEN] = {};
    vesk_encode_pkt(port, entry, buffer + VESK_CHECK_A_OFFSET, buffer + VESK_CHECK_B_OFFSET,
                    buffer);
    struct lib_globals *zg = vesk_port_zg(port);
    VESK_DEBUG_LOG_SEND(zg, "vesk port %s start send pkt, pro vlan is %d\n", port->name,
                        entry->vid);
    const struct vesk_daemon *d = vesk_daemon_of(zg);
    int result = vesk_send(d, port->mac_address, vesk_arp_addr, static_cast<int32_t>(port->ifindex),
                           entry->vid, buffer + VESK_LINK_HDR_LEN, VESK_PDU_LEN);
    if (result == 0)
        port->counters.tx_frames++;
    port->tx_usec = zet_clock_now_usec();
    return result;
}

// Sends on the active entries of port that pick(entry) chooses; the result of the last send.
template <typename Pick> int vesk_send_picked(struct vesk_port *port, Pick pick) {
    if (port == nullptr || port->provlans.empty())
        return -1;
    int result = -1;
    for (vesk_provlan *entry : vesk_port_provlans_in_order(port)) {
        if (!vesk_provlan_active(port, *entry) && !vesk_port_sends_all_vlans(port))
            continue;
        // The bridge does not forward there (its spanning tree): nothing to probe.
        if (port->stp_vlans.contains(entry->vid))
            continue;
        if (pick(entry))
            result = vesk_send_entry(port, entry);
    }
    return result;
}

} // namespace

int vesk_send_pkt(struct vesk_port *port) {
    return vesk_send_picked(port, [port](const vesk_provlan *entry) {
        return entry->fast_left == 0 && !port->vlan_blocks.contains(entry->vid);
    });
}

int vesk_send_vlan(struct vesk_port *port, uint16_t vid) {
    return vesk_send_picked(port, [vid](const vesk_provlan *entry) { return entry->vid == vid; });
}

int vesk_send_fast(struct vesk_port *port, bool first) {
    int left = 0;
    vesk_send_picked(port, [&left, first](vesk_provlan *entry) {
        if (entry->fast_left == 0 || (first && entry->fast_left != VESK_TX_UP_COUNT))
            return false;
        entry->fast_left--;
        left += entry->fast_left;
        return true;
    });
    return left;
}
