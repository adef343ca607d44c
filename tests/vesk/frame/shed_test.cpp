// Shedding repeated frames: only true copies, only within the window, never a frame that was
// not handed on just before.
#include <array>
#include <map>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "vesk/frame/shed.h"

namespace {

using Pdu = std::array<uint8_t, VESK_PDU_LEN>;

class ShedTest : public ::testing::Test {
  protected:
    bool repeat(uint32_t ifindex, const Pdu &p, long long usec) {
        return vesk_recv_shed_repeat(shed_.get(), ifindex, p.data(), usec);
    }
    std::unique_ptr<vesk_recv_shed> shed_ = std::make_unique<vesk_recv_shed>();
};

TEST_F(ShedTest, OnlyTheSameBytesOnTheSamePortWithinTheWindowOncePerWindow) {
    Pdu a{};
    a[1] = 7;
    Pdu last_byte = a, first_byte = a;
    last_byte[VESK_PDU_LEN - 1] ^= 1;
    first_byte[0] ^= 0x80;
    EXPECT_FALSE(repeat(0, Pdu{}, 0)) << "port 0 is never taken for an empty slot";
    EXPECT_FALSE(repeat(0, Pdu{}, 0));
    EXPECT_FALSE(repeat(3, a, 1000));
    EXPECT_TRUE(repeat(3, a, 1000));
    EXPECT_TRUE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC - 1));
    EXPECT_FALSE(repeat(4, a, 1000)) << "the same frame on another port is news";
    EXPECT_FALSE(repeat(3, last_byte, 1000));
    EXPECT_FALSE(repeat(3, first_byte, 1000));
    EXPECT_EQ(shed_->shed_count, 2u);
    EXPECT_FALSE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC)) << "the window has passed";
    EXPECT_TRUE(repeat(3, a, 1000 + VESK_SHED_WINDOW_USEC + 1));
    int handed = 0;
    for (long long t = 2 * VESK_SHED_WINDOW_USEC; t < 12 * VESK_SHED_WINDOW_USEC; t += 1000)
        handed += repeat(7, a, t) ? 0 : 1;
    EXPECT_EQ(handed, 10) << "a continuing storm is handed on once per window";
    EXPECT_EQ(shed_->shed_count, 993u);
}

// Many more distinct frames than slots, arriving in random order: slots are overwritten all the
// time, yet nothing is ever shed unless the same frame on the same port was handed on less than
// a window before.
TEST_F(ShedTest, NeverShedsWhatWasNotJustHandedOn) {
    std::mt19937 rng(2024);
    std::vector<Pdu> pool(3 * VESK_SHED_SLOTS);
    for (Pdu &p : pool)
        for (auto &b : p)
            b = static_cast<uint8_t>(rng());
    std::map<std::pair<uint32_t, size_t>, long long> handed_at;
    long long now = 0;
    size_t shed = 0;
    for (int step = 0; step < 200000; step++) {
        now += static_cast<long long>(rng() % 2000);
        const size_t which = rng() % (step % 2 == 0 ? 8 : pool.size());
        const uint32_t ifindex = 1 + rng() % 3;
        const auto key = std::make_pair(ifindex, which);
        if (!repeat(ifindex, pool[which], now)) {
            handed_at[key] = now;
            continue;
        }
        auto it = handed_at.find(key);
        ASSERT_NE(it, handed_at.end()) << "shed a frame never handed on";
        ASSERT_LT(now - it->second, VESK_SHED_WINDOW_USEC) << "shed after the window";
        shed++;
    }
    EXPECT_EQ(shed, shed_->shed_count);
    EXPECT_GT(shed, 10000u) << "the frequent frames should mostly be shed";
}

} // namespace
