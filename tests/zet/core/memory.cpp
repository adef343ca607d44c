// Typed memory: zero-filled, counted per type, and failing on request.
#include "../zet_test.h"

namespace {

constexpr int kType = 700, kOther = 701; // types no module uses

TEST(Memory, IsZeroFilledCountedPerTypeAndRefusesUnknownTypes) {
    const long start = memory_live_total();
    auto *a = static_cast<uint8_t *>(mfh_calloc(kType, 64));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::count(a, a + 64, 0), 64);
    void *zero1 = mfh_calloc(kType, 0), *zero2 = mfh_calloc(kType, 0),
         *other = mfh_calloc(kOther, 8);
    EXPECT_TRUE(zero1 != nullptr && zero2 != nullptr && zero1 != zero2);
    EXPECT_EQ(std::tuple(memory_live(kType), memory_live(kOther), memory_live_total()),
              std::tuple(3, 1, start + 4));
    std::vector<std::pair<int, long>> seen;
    memory_foreach_live(
        [](void *ctx, int type, long live) {
            static_cast<std::vector<std::pair<int, long>> *>(ctx)->emplace_back(type, live);
        },
        &seen);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::vector(seen.end() - 2, seen.end()),
              (std::vector<std::pair<int, long>>{{kType, 3}, {kOther, 1}}));
    for (void *p : {static_cast<void *>(a), zero1, zero2, static_cast<void *>(nullptr)})
        pal_mem_free(kType, p);
    pal_mem_free(kOther, other);
    EXPECT_EQ(std::pair(mfh_calloc(-1, 8), mfh_calloc(MTYPE_MAX, 8)),
              (std::pair<void *, void *>()));
    EXPECT_EQ(memory_live_total(), start);
}

// Each injected failure hits one allocation of its type, also under concurrent use, and the
// counters stay exact.
TEST(Memory, InjectedFailuresHitTheNextAllocationsOfTheirTypeOnceEach) {
    memory_fail_next(kType, 5);
    memory_fail_next(kType, 0);
    EXPECT_EQ(memory_fail_pending(kType), 0);
    memory_fail_next(kType, 2);
    void *other = mfh_calloc(kOther, 8);
    EXPECT_EQ(std::pair(mfh_calloc(kType, 8), mfh_calloc(kType, 8)), (std::pair<void *, void *>()));
    EXPECT_EQ(memory_live(kType), 0) << "failed allocations are not counted";
    void *third = mfh_calloc(kType, 8);
    EXPECT_NE(third, nullptr);
    pal_mem_free(kType, third);
    pal_mem_free(kOther, other);
    memory_fail_next(kType, 1000);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            std::vector<void *> held;
            for (int i = 0; i < 10000; i++) {
                held.push_back(mfh_calloc(kType, 24));
                failed += held.back() == nullptr;
                if (held.size() < 8 && i < 9999)
                    continue;
                for (void *p : held)
                    pal_mem_free(kType, p);
                held.clear();
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(std::pair(failed.load(), memory_live(kType)), std::pair(1000, 0L));
}

} // namespace
