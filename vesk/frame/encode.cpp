#include "vesk/frame/encode.h"

#include <cstring>

#include "vesk/daemon/daemon.h"
#include "vesk/frame/auth.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"
#include "zet/core/clock.h"
#include "zet/core/pal.h"

static_assert(VESK_AUTH_HASH_LEN == VESK_CHECK_LEN && VESK_AUTH_COVERED == VESK_OFF_CHECK,
              "a signed frame's hash fills its check bytes and covers everything before them");

namespace {

constexpr uint8_t ARP_HEADER[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
constexpr int SHORT_WINDOW = 16;
constexpr int LONG_WINDOW = 29;

int system_time_of_day(struct timeval *tv, void *) {
    return gettimeofday(tv, nullptr);
}

vesk_time_of_day_func time_source = system_time_of_day;

// Checksums a copy, so the window may reach past what the caller has initialised yet.
void vesk_write_check(const uint8_t *window, int length, struct vesk_provlan *entry, uint8_t *frame,
                      int index) {
    uint8_t scratch[LONG_WINDOW] = {};
    std::memcpy(scratch, window, static_cast<size_t>(length));
    uint16_t check = in_checksum(scratch, length);
    uint8_t *out = frame + VESK_OFF_CHECK + 2 * index;
    vesk_encode_pkt_element(check, out, 2);
    std::memcpy(entry->tx_check + 2 * index, out, 2);
}

} // namespace

void vesk_encode_pkt_element(int32_t value, uint8_t *dst, int n) {
    if (dst == nullptr)
        return;
    for (int i = 0; i < n; i++)
        dst[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
}

uint32_t decode_pkt_element(const uint8_t *src, int n) {
    if (src == nullptr)
        return 0;
    uint32_t value = 0;
    for (int i = 0; i < n; i++)
        value = (value << 8) | src[i];
    return value;
}

void vesk_frame_set_time_source(vesk_time_of_day_func source) {
    time_source = source != nullptr ? source : system_time_of_day;
}

uint32_t vesk_frame_now(void) {
    struct timeval tv {};
    time_source(&tv, nullptr);
    return static_cast<uint32_t>(tv.tv_sec);
}

uint32_t vesk_frame_mono_now(void) {
    return static_cast<uint32_t>(zet_clock_now_usec() / 1000000);
}

void vesk_encode_pkt(struct vesk_port *port, struct vesk_provlan *entry, const uint8_t *check_a,
                     const uint8_t *check_b, uint8_t *frame) {
    if (port == nullptr || entry == nullptr || check_a == nullptr || check_b == nullptr ||
        frame == nullptr)
        return;
    std::memset(frame, 0xff, 6);
    std::memcpy(frame + 6, port->mac_address, 6);
    std::memcpy(frame + 12, ARP_HEADER, sizeof(ARP_HEADER));
    std::memcpy(frame + 22, port->mac_address, 6);
    std::memset(frame + 28, 0, 14);
    vesk_encode_pkt_element(static_cast<int32_t>(port->ifindex), frame + VESK_OFF_IFINDEX, 4);
    vesk_encode_pkt_element(entry->vid, frame + VESK_OFF_PRO_VLAN, 2);
    entry->tx_time = vesk_frame_now();
    entry->tx_mono = vesk_frame_mono_now();
    vesk_encode_pkt_element(static_cast<int32_t>(entry->tx_time), frame + VESK_OFF_TX_TIME, 4);
    const struct vesk_daemon *d = vesk_daemon_of(vesk_port_zg(port));
    if (d != nullptr && d->auth.on) {
        vesk_auth_sign(&d->auth, frame, frame + VESK_OFF_CHECK);
        std::memcpy(entry->tx_check, frame + VESK_OFF_CHECK, VESK_CHECK_LEN);
        return;
    }
    vesk_write_check(check_a, SHORT_WINDOW, entry, frame, 0);
    vesk_write_check(check_a + SHORT_WINDOW, SHORT_WINDOW, entry, frame, 1);
    vesk_write_check(check_b, LONG_WINDOW, entry, frame, 2);
    vesk_write_check(check_b + LONG_WINDOW, LONG_WINDOW, entry, frame, 3);
}
