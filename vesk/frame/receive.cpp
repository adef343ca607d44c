#include "vesk/frame/receive.h"

#include <cerrno>
#include <cstring>

#include "vesk/daemon/daemon.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/shed.h"
#include "vesk/host/debug_flags.h"
#include "vesk/host/zet.h"
#include "vesk/machine/cut.h"
#include "vesk/machine/yield.h"
#include "vesk/model/history.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"

struct vesk_recv_counts vesk_recv_counts;

namespace {

constexpr uint8_t ARP_REQUEST_HEADER[] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
constexpr int RX_OFF_SENDER_MAC = 8;
constexpr int RX_OFF_SENDER_IP = 14;
constexpr int RX_OFF_IFINDEX = VESK_OFF_IFINDEX - VESK_LINK_HDR_LEN;
constexpr int RX_OFF_PRO_VLAN = VESK_OFF_PRO_VLAN - VESK_LINK_HDR_LEN;
constexpr int RX_OFF_TX_TIME = VESK_OFF_TX_TIME - VESK_LINK_HDR_LEN;
constexpr int RX_OFF_CHECK = VESK_OFF_CHECK - VESK_LINK_HDR_LEN;
constexpr uint32_t MAX_FRAME_AGE = 4;
constexpr int32_t STALE_PASS_AFTER = 4;
constexpr int RX_POST_LEN = VESK_RECV_ADDR_LEN + VESK_PDU_LEN;

void vesk_recv_count(std::atomic<uint64_t> &count) {
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

uint32_t vesk_recv_addr_ifindex(const uint8_t *address) {
    uint32_t ifindex = 0;
    std::memcpy(&ifindex, address + 12, sizeof ifindex);
    return ifindex;
}

int vesk_recv_post_handle(struct thread *t) {
    if (t == nullptr || t->data_len != RX_POST_LEN)
        return 0;
    vesk_recv_verdict(static_cast<lib_globals *>(THREAD_ARG(t)), t->data,
                      t->data + VESK_RECV_ADDR_LEN, VESK_PDU_LEN);
    return 0;
}

// A frame that carries the time of the entry's latest frame is that frame, or a forgery that
// fails on its check values: its age is taken from the monotonic clock. Any other frame can
// only fail on them, and is judged by the time of day as it says.
bool vesk_recv_recent(const struct vesk_provlan *entry, uint32_t tx_time) {
    if (tx_time == entry->tx_time)
        return vesk_frame_mono_now() - entry->tx_mono <= MAX_FRAME_AGE;
    return vesk_frame_now() - tx_time <= MAX_FRAME_AGE;
}

// A frame that is not recent: the stale-frame record, which lets the same transmit time pass
// once it has been seen often enough. Gives true when the frame may go on to the check values.
bool vesk_recv_stale_passes(struct lib_globals *handle, uint32_t tx_time) {
    struct vesk_daemon *d = vesk_daemon_of(handle);
    if (d == nullptr)
        return false;
    struct vesk_stale_record &stale = d->stale;
    uint32_t now = vesk_frame_now();
    VESK_DEBUG_LOG_RECV(
        handle, "vesk_recv: VESK packet for tx_time %d current_time %d recv_count:%d",
        static_cast<int>(stale.stale_time), static_cast<int>(tx_time), stale.stale_count);
    if (tx_time == stale.stale_time) {
        int32_t count = stale.stale_count + 1;
        if (count > STALE_PASS_AFTER) {
            stale.stale_count = 1;
            return true;
        }
        stale.stale_count = count;
    } else {
        stale.stale_time = tx_time;
        stale.stale_count = 1;
    }
    VESK_DEBUG_LOG_RECV(handle,
                        "vesk_recv: receive invalid VESK packet for timeout %d %d recv_count:%d",
                        static_cast<int>(now), static_cast<int>(tx_time), stale.stale_count);
    return false;
}

bool vesk_recv_reject(struct lib_globals *handle, uint64_t *counter, const char *message) {
    (*counter)++;
    VESK_DEBUG_LOG_RECV(handle, "%s", message);
    return false;
}

// A loop newly found in vid: counted, and kept in the history with what it leads to. Gives the
// event's serial.
unsigned long long vesk_recv_note_loop(struct vesk_port *tx_port, const struct vesk_port *rx_port,
                                       uint32_t vid) {
    tx_port->counters.loops++;
    const vesk_event_cause action =
        tx_port->settings.loop_process == VESK_LOOP_SHUTDOWN ? VESK_CAUSE_SHUTDOWN
        : tx_port->settings.loop_process == VESK_LOOP_BLOCK  ? VESK_CAUSE_BLOCK
                                                             : VESK_CAUSE_LOG;
    vesk_history_add(VESK_EVENT_LOOP, action, tx_port->name, static_cast<uint16_t>(vid),
                     rx_port->name)
        ->probe = tx_port->last_send_probe != 0;
    return vesk_history_last_serial();
}

// A detection frame of another veskd: the format of ours (an ARP request from 0.0.0.0 for no one,
// a port and a VLAN in its padding) from a unicast MAC that is not the one our frames carry.
bool vesk_recv_foreign(struct lib_globals *handle, const struct vesk_port *rx_port,
                       const uint8_t *buffer) {
    if (std::memcmp(buffer, ARP_REQUEST_HEADER, sizeof ARP_REQUEST_HEADER) != 0)
        return false;
    for (int i = RX_OFF_SENDER_IP; i < RX_OFF_IFINDEX; i++)
        if (buffer[i] != 0)
            return false;
    const uint32_t ifindex = decode_pkt_element(buffer + RX_OFF_IFINDEX, 4);
    const uint32_t vid = decode_pkt_element(buffer + RX_OFF_PRO_VLAN, 2);
    const uint8_t *mac = buffer + RX_OFF_SENDER_MAC;
    static constexpr uint8_t NO_MAC[6] = {};
    if (ifindex == 0 || vid == 0 || vid > 4094 || (mac[0] & 1) != 0 ||
        std::memcmp(mac, NO_MAC, sizeof NO_MAC) == 0 ||
        std::memcmp(mac, rx_port->mac_address, 6) == 0)
        return false;
    const vesk_port *named = vesk_port_from_ifindex(handle, ifindex);
    return named == nullptr || std::memcmp(mac, named->mac_address, 6) != 0;
}

// A held-off loop leaves no mark, or the port's machine would cut it at its next step.
void vesk_recv_unmark_loop(struct vesk_port *tx_port, uint32_t vid, unsigned loops_before) {
    if (vesk_port_loop_vlan_count(tx_port) == loops_before)
        return;
    vesk_provlan *entry = vesk_find_provlan_from_port(static_cast<uint16_t>(vid), tx_port);
    if (entry != nullptr)
        entry->is_loop = 0;
}

// What a decoded frame leads to on the receiving side: the refusals counted and logged, the
// stale-frame record kept. Gives true for the port's own frame, recent or passed as stale.
bool vesk_recv_judge(struct lib_globals *handle, struct vesk_port *rx_port,
                     const vesk_frame_read &f) {
    switch (f.verdict) {
    case VESK_FRAME_NOT_OURS:
        return false;
    case VESK_FRAME_BAD_MAC:
        return vesk_recv_reject(handle, &rx_port->counters.rx_bad_mac,
                                "vesk_recv: receive invalid VESK packet for error mac addr");
    case VESK_FRAME_BAD_VLAN:
        return vesk_recv_reject(handle, &rx_port->counters.rx_bad_vlan,
                                "vesk_recv: receive invalid VESK packet for error pro_vlan");
    default:
        break;
    }
    if (!f.recent && !vesk_recv_stale_passes(handle, f.tx_time)) {
        rx_port->counters.rx_stale++;
        return false;
    }
    if (f.verdict == VESK_FRAME_BAD_CHECK)
        return vesk_recv_reject(handle, &rx_port->counters.rx_bad_check,
                                "vesk_recv: receive invalid VESK packet for error checksum");
    if (f.verdict == VESK_FRAME_BAD_MD5)
        return vesk_recv_reject(handle, &rx_port->counters.rx_bad_check,
                                "vesk_recv: receive invalid VESK packet for error md5");
    return true;
}

// The entry's frame came back: its VLAN is looped.
void vesk_recv_mark_loop(struct vesk_provlan *entry) {
    entry->back = 1;
    entry->is_loop = 1;
}

} // namespace

int vesk_recv_pkt_karsto(struct lib_globals *handle) {
    if (handle == nullptr)
        return -1;
    const struct vesk_daemon *d = vesk_daemon_of(handle);
    const int sockfd = d != nullptr ? d->sockfd : -1;
    if (sockfd < 0) {
        zlog_err(handle, "PDU[RECV]: socket is not open (%d)", sockfd);
        return -1;
    }
    uint8_t buffer[VESK_RECV_BUF_LEN];
    uint8_t address[VESK_RECV_ADDR_LEN];
    vesk_recv_shed shed{};
    for (;;) {
        std::memset(buffer, 0, sizeof buffer);
        std::memset(address, 0, sizeof address);
        socklen_t address_len = sizeof address;
        ssize_t n =
            pal_sock_recvfrom(sockfd, buffer, sizeof buffer, MSG_TRUNC, address, &address_len);
        if (n < 0 && errno == EBADF)
            return 0;
        if (n < 0)
            continue;
        vesk_recv_count(vesk_recv_counts.read);
        if (n != VESK_PDU_LEN) {
            vesk_recv_count(vesk_recv_counts.wrong_size);
            continue;
        }
        if (vesk_recv_shed_repeat(&shed, vesk_recv_addr_ifindex(address), buffer,
                                  zet_clock_now_usec())) {
            vesk_recv_count(vesk_recv_counts.shed);
            continue;
        }
        vesk_recv(handle, address, buffer, VESK_PDU_LEN);
    }
}

void vesk_recv(struct lib_globals *handle, const uint8_t *address, const uint8_t *buffer,
               int length) {
    if (address == nullptr)
        return;
    VESK_DEBUG_LOG_RECV(handle, "vesk_recv: receive frame on port %d",
                        static_cast<int>(vesk_recv_addr_ifindex(address)));
    if (handle == nullptr || buffer == nullptr || length != VESK_PDU_LEN)
        return;
    uint8_t post[RX_POST_LEN];
    std::memcpy(post, address, VESK_RECV_ADDR_LEN);
    std::memcpy(post + VESK_RECV_ADDR_LEN, buffer, VESK_PDU_LEN);
    thread_post(handle->master, vesk_recv_post_handle, handle, post, sizeof post);
}

void vesk_recv_verdict(struct lib_globals *handle, const uint8_t *address, const uint8_t *buffer,
                       int length) {
    if (address == nullptr || buffer == nullptr || length != VESK_PDU_LEN)
        return;
    vesk_port *rx_port = vesk_port_from_ifindex(handle, vesk_recv_addr_ifindex(address));
    // A port whose link is down to us may still hear frames: one the bridge does not forward
    // on (STP blocking). What comes in there never crossed the bridge, so it proves no loop.
    if (rx_port == nullptr || !if_flags_up(rx_port->flags))
        return;
    if (vesk_recv_foreign(handle, rx_port, buffer))
        vesk_yield_heard(rx_port, buffer + RX_OFF_SENDER_MAC,
                         decode_pkt_element(buffer + RX_OFF_IFINDEX, 4));
    const vesk_frame_read f = vesk_frame_decode(handle, rx_port, buffer, length);
    if (!vesk_recv_judge(handle, rx_port, f))
        return;
    vesk_port *tx_port = f.tx_port;
    const uint32_t vid = f.vid;
    // What went out or came in where the bridge does not forward in that VLAN never crossed it.
    if (rx_port->stp_vlans.contains(static_cast<uint16_t>(vid)) ||
        tx_port->stp_vlans.contains(static_cast<uint16_t>(vid)))
        return;
    const unsigned loops_before = vesk_port_loop_vlan_count(tx_port);
    vesk_recv_mark_loop(f.entry);
    tx_port->counters.rx_own++;
    if (vesk_yield(handle, tx_port, rx_port, vid)) {
        vesk_recv_unmark_loop(tx_port, vid, loops_before);
        return;
    }
    unsigned long long event = 0;
    if (vesk_port_loop_vlan_count(tx_port) != loops_before)
        event = vesk_recv_note_loop(tx_port, rx_port, vid);
    vesk_loop_verdict(handle, tx_port, rx_port, vid, event);
}

vesk_frame_read vesk_frame_decode(struct lib_globals *handle, const struct vesk_port *rx_port,
                                  const uint8_t *buffer, int length) {
    vesk_frame_read f{};
    if (rx_port == nullptr || buffer == nullptr || length < VESK_PDU_LEN ||
        std::memcmp(buffer, ARP_REQUEST_HEADER, sizeof ARP_REQUEST_HEADER) != 0)
        return f;
    f.ifindex = decode_pkt_element(buffer + RX_OFF_IFINDEX, 4);
    f.tx_port = vesk_port_from_ifindex(handle, f.ifindex);
    // The frame names the port that sent it, with that port's MAC: where ports send with their
    // own MACs, a frame back on another port carries the sender's, not the receiver's. A frame
    // naming no port is held to the receiver's, as where every port sends with the bridge's.
    const vesk_port *owner = f.tx_port != nullptr ? f.tx_port : rx_port;
    if (std::memcmp(buffer + RX_OFF_SENDER_MAC, owner->mac_address, 6) != 0) {
        f.verdict = VESK_FRAME_BAD_MAC;
        return f;
    }
    if (f.tx_port == nullptr)
        return f;
    f.vid = decode_pkt_element(buffer + RX_OFF_PRO_VLAN, 2);
    f.entry = vesk_find_provlan_from_port(static_cast<uint16_t>(f.vid), f.tx_port);
    if (f.entry == nullptr) {
        f.verdict = VESK_FRAME_BAD_VLAN;
        return f;
    }
    f.tx_time = decode_pkt_element(buffer + RX_OFF_TX_TIME, 4);
    f.recent = vesk_recv_recent(f.entry, f.tx_time);
    f.verdict = std::memcmp(buffer + RX_OFF_CHECK, f.entry->tx_check, 4) != 0 ? VESK_FRAME_BAD_CHECK
                : std::memcmp(buffer + RX_OFF_CHECK + 4, f.entry->tx_check + 4, 4) != 0
                    ? VESK_FRAME_BAD_MD5
                    : VESK_FRAME_OWN;
    return f;
}
