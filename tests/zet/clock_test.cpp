// The process clock: monotonic in production, virtual (moved only by the test) in tests.
#include "zet/core/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

struct ClockTest : ::testing::Test {
    void TearDown() override { zet_clock_use_monotonic(); }
};

long long usec_of(const timeval &tv) {
    return tv.tv_sec * 1000000LL + tv.tv_usec;
}

TEST_F(ClockTest, MonotonicClockMovesForwardAndIsTheDefault) {
    EXPECT_FALSE(zet_clock_is_virtual());
    timeval a{}, b{};
    ASSERT_EQ(pal_time_tzcurrent(&a, nullptr), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(pal_time_tzcurrent(&b, nullptr), 0);
    EXPECT_GE(usec_of(b) - usec_of(a), 5000);
    EXPECT_GE(a.tv_usec, 0);
    EXPECT_LT(a.tv_usec, 1000000);
}

TEST_F(ClockTest, VirtualClockStandsStillUntilAdvanced) {
    zet_clock_use_virtual(1000);
    EXPECT_TRUE(zet_clock_is_virtual());
    timeval tv{};
    pal_time_tzcurrent(&tv, nullptr);
    EXPECT_EQ(tv.tv_sec, 1000);
    EXPECT_EQ(tv.tv_usec, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    pal_time_tzcurrent(&tv, nullptr);
    EXPECT_EQ(usec_of(tv), 1000 * 1000000LL);

    zet_clock_advance_usec(1500001);
    pal_time_tzcurrent(&tv, nullptr);
    EXPECT_EQ(tv.tv_sec, 1001);
    EXPECT_EQ(tv.tv_usec, 500001);
    EXPECT_EQ(zet_clock_now_usec(), 1001500001LL);
}

TEST_F(ClockTest, VirtualClockNeverGoesBack) {
    zet_clock_use_virtual(50);
    zet_clock_advance_usec(-10);
    zet_clock_advance_usec(0);
    EXPECT_EQ(zet_clock_now_usec(), 50 * 1000000LL);
}

TEST_F(ClockTest, SwitchingBackGivesTheMonotonicClock) {
    zet_clock_use_virtual(7);
    zet_clock_use_monotonic();
    EXPECT_FALSE(zet_clock_is_virtual());
    timeval tv{};
    pal_time_tzcurrent(&tv, nullptr);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    EXPECT_LE(tv.tv_sec, ts.tv_sec);
    EXPECT_GE(tv.tv_sec, ts.tv_sec - 1);
}

TEST_F(ClockTest, NullTimevalIsRefused) {
    EXPECT_EQ(pal_time_tzcurrent(nullptr, nullptr), -1);
}

TEST_F(ClockTest, ReadsFromAnotherThreadSeeTimeOnlyGrow) {
    zet_clock_use_virtual(0);
    std::atomic<bool> done{false};
    std::atomic<bool> went_back{false};
    std::thread reader([&] {
        long long last = 0;
        while (!done.load()) {
            timeval tv{};
            pal_time_tzcurrent(&tv, nullptr);
            long long now = usec_of(tv);
            if (now < last)
                went_back = true;
            last = now;
        }
    });
    for (int i = 0; i < 100000; i++)
        zet_clock_advance_usec(7);
    done = true;
    reader.join();
    EXPECT_FALSE(went_back.load());
    EXPECT_EQ(zet_clock_now_usec(), 700000);
}

} // namespace
