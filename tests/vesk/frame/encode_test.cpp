// The detection frame's image, field codec and what the encoder records in the entry.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/model_fixture.h"
#include "vesk/frame/auth.h"
#include "vesk/frame/encode.h"
#include "vesk/model/model.h"

namespace {

long fake_seconds = 0x5F000000;

int fake_time(struct timeval *tv, void *) {
    tv->tv_sec = fake_seconds;
    tv->tv_usec = 999999;
    return 0;
}

// RFC 1071 over big-endian words, written out here rather than taken from the framework.
uint16_t rfc1071(const uint8_t *data, size_t length) {
    uint32_t sum = 0;
    for (size_t i = 0; i < length; i += 2) {
        uint32_t hi = data[i];
        uint32_t lo = i + 1 < length ? data[i + 1] : 0;
        sum += (hi << 8) | lo;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// The frame carries each checksum low-order byte first.
void put_check(std::vector<uint8_t> &image, size_t at, size_t from, size_t length) {
    uint16_t c = rfc1071(image.data() + from, length);
    image[at] = static_cast<uint8_t>(c & 0xff);
    image[at + 1] = static_cast<uint8_t>(c >> 8);
}

class EncodeTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        fake_seconds = 0x5F000000;
        vesk_frame_set_time_source(fake_time);
        port_ = make_port("ge7", 7, {});
        ASSERT_NE(port_, nullptr);
        const uint8_t mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
        std::memcpy(port_->mac_address, mac, 6);
        entry_.vid = 100;
    }
    void TearDown() override {
        vesk_frame_set_time_source(nullptr);
        ModelFixture::TearDown();
    }

    std::vector<uint8_t> encode() {
        std::vector<uint8_t> buf(VESK_FRAME_BUF_LEN, 0);
        vesk_encode_pkt(port_, &entry_, buf.data() + VESK_CHECK_A_OFFSET,
                        buf.data() + VESK_CHECK_B_OFFSET, buf.data());
        return buf;
    }

    vesk_port *port_ = nullptr;
    vesk_provlan entry_{};
};

TEST_F(EncodeTest, ImageOfTheWorkedExample) {
    std::vector<uint8_t> expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x11, 0x22, 0x33,
                                     0x44, 0x55, 0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04,
                                     0x00, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    expected.resize(42, 0x00);
    for (uint8_t b : {0x00, 0x00, 0x00, 0x07, 0x00, 0x64, 0x5F, 0x00, 0x00, 0x00})
        expected.push_back(b);
    expected.resize(60, 0x00);
    put_check(expected, 52, 22, 16);
    put_check(expected, 54, 38, 16);
    put_check(expected, 56, 0, 29);
    put_check(expected, 58, 29, 29);

    std::vector<uint8_t> got = encode();
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 60), expected);
    EXPECT_EQ(got[60], 0) << "the spare byte stays clear";
    EXPECT_EQ(entry_.tx_time, 0x5F000000u);
    EXPECT_EQ(0, std::memcmp(entry_.tx_check, expected.data() + 52, 8));
}

TEST_F(EncodeTest, AuthenticationMakesTheChecksAKeyedHashOfTheImage) {
    const std::vector<uint8_t> plain = encode();
    ASSERT_EQ(vesk_auth_set(1), 0);
    const std::vector<uint8_t> got = encode();
    EXPECT_EQ(0, std::memcmp(entry_.tx_check, got.data() + 52, 8));
    uint8_t hash[8];
    crypto_shorthash(hash, got.data(), 52, vesk_auth.key);
    vesk_auth.key[0] ^= 1; // another start's key
    const std::vector<uint8_t> other_key = encode();
    vesk_auth.key[0] ^= 1;
    vesk_auth_set(0);
    EXPECT_EQ(0, std::memcmp(plain.data(), got.data(), 52)) << "the fields stay as they are";
    EXPECT_EQ(0, std::memcmp(got.data() + 52, hash, 8));
    EXPECT_NE(0, std::memcmp(other_key.data() + 52, got.data() + 52, 8));
    EXPECT_EQ(encode(), plain) << "off: the check values of the frame format again";
}

TEST(PktElement, RoundTripsBigEndianAndIgnoresNonPositiveLengths) {
    uint8_t out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    vesk_encode_pkt_element(0x0102032C, out, 4);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{1, 2, 3, 0x2C}));
    EXPECT_EQ(decode_pkt_element(out, 4), 0x0102032Cu);
    vesk_encode_pkt_element(-2, out, 2);
    EXPECT_EQ(decode_pkt_element(out, 2), 0xFFFEu);
    vesk_encode_pkt_element(7, out, 0);
    vesk_encode_pkt_element(7, out, -1);
    EXPECT_EQ(out[0], 0xFF) << "n <= 0 writes nothing";
    EXPECT_EQ(decode_pkt_element(out, 0), 0u);
    EXPECT_EQ(decode_pkt_element(out, -3), 0u);
}

} // namespace
