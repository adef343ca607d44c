// The detection frame: its 60-byte image, the big-endian field codec and the encoder.
#pragma once

#include <cstdint>
#include <sys/time.h>

struct vesk_port;
struct vesk_provlan;

// The image: a padded ARP request whose padding carries the daemon's data.
constexpr int VESK_FRAME_LEN = 60;
// Link header mirrored at the image's start; it never crosses the frame socket.
constexpr int VESK_LINK_HDR_LEN = 14;
// What crosses the frame socket: the image from its ARP header on.
constexpr int VESK_PDU_LEN = VESK_FRAME_LEN - VESK_LINK_HDR_LEN;
// The transmit path's buffer: the image and one spare byte.
constexpr int VESK_FRAME_BUF_LEN = 61;
// Window starts the transmit path hands the encoder, as image offsets.
constexpr int VESK_CHECK_A_OFFSET = 22;
constexpr int VESK_CHECK_B_OFFSET = 0;

// Image offsets of the daemon's fields.
constexpr int VESK_OFF_IFINDEX = 42;
constexpr int VESK_OFF_PRO_VLAN = 46;
constexpr int VESK_OFF_TX_TIME = 48;
constexpr int VESK_OFF_CHECK = 52;
constexpr int VESK_CHECK_LEN = 8;

// Writes the n low bytes of value at dst, most significant first; n <= 0 writes nothing.
void vesk_encode_pkt_element(int32_t value, uint8_t *dst, int n);
// The n bytes at src read most significant first; n < 1 gives 0.
uint32_t decode_pkt_element(const uint8_t *src, int n);

// Fills the 60 bytes of frame for port and its protect entry, and records in the entry the
// time and check values written, and the monotonic time. check_a and check_b are the two
// check-window starts.
void vesk_encode_pkt(struct vesk_port *port, struct vesk_provlan *entry, const uint8_t *check_a,
                     const uint8_t *check_b, uint8_t *frame);

// The time of day that frames carry and that the verdict judges them by.
typedef int (*vesk_time_of_day_func)(struct timeval *tv, void *tz);
// Replaces the time-of-day source (tests); null restores the system's gettimeofday. Call it
// only while no frame is being encoded or judged.
void vesk_frame_set_time_source(vesk_time_of_day_func source);
// Whole seconds of the time of day, low 32 bits.
uint32_t vesk_frame_now(void);
// Whole seconds of the framework's monotonic clock, low 32 bits.
uint32_t vesk_frame_mono_now(void);
