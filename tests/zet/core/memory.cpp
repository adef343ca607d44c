// Typed memory: zero-filled, counted per type, and failing on request, once per injected failure.
#include "../zet_test.h"

namespace {

TEST(Memory, IsZeroFilledCountedPerTypeAndFailsOnRequestOnceEach) {
    constexpr int kType = 700, kOther = 701; // types no module uses
    const long start = memory_live_total();
    auto *a = static_cast<uint8_t *>(mfh_calloc(kType, 64));
    void *zero = mfh_calloc(kType, 0), *other = mfh_calloc(kOther, 8);
    ASSERT_TRUE(a != nullptr && zero != nullptr && zero != a && other != nullptr);
    EXPECT_EQ(std::count(a, a + 64, 0), 64);
    EXPECT_EQ(std::tuple(memory_live(kType), memory_live(kOther), memory_live_total()),
              std::tuple(2, 1, start + 3));
    EXPECT_EQ(std::pair(mfh_calloc(-1, 8), mfh_calloc(MTYPE_MAX, 8)),
              (std::pair<void *, void *>()));
    memory_fail_next(kType, 5);
    memory_fail_next(kType, 0);
    EXPECT_EQ(memory_fail_pending(kType), 0);
    memory_fail_next(kType, 2);
    pal_mem_free(kOther, mfh_calloc(kOther, 8)); // another type's allocation takes none
    EXPECT_EQ(std::pair(mfh_calloc(kType, 8), mfh_calloc(kType, 8)), (std::pair<void *, void *>()));
    EXPECT_EQ(memory_live(kType), 2) << "failed allocations are not counted";
    for (void *p : {static_cast<void *>(a), zero, static_cast<void *>(nullptr)})
        pal_mem_free(kType, p);
    pal_mem_free(kOther, other);
    EXPECT_EQ(memory_live_total(), start);
}

} // namespace
