// Typed allocation: zero-filled memory, live counters per type, injected failures.
#include "zet/core/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int kType = 700; // a type no other test or module uses
constexpr int kOther = 701;

struct rec {
    int a;
    char text[40];
    void *p;
};

TEST(Memory, AllocationIsZeroFilledAndCounted) {
    const long start_total = memory_live_total();
    auto *r = static_cast<rec *>(mfh_calloc(kType, sizeof(rec)));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->a, 0);
    EXPECT_EQ(r->p, nullptr);
    for (char c : r->text)
        EXPECT_EQ(c, 0);
    EXPECT_EQ(memory_live(kType), 1);
    EXPECT_EQ(memory_live_total(), start_total + 1);

    void *second = mfh_calloc(kType, 16);
    void *other = mfh_calloc(kOther, 16);
    EXPECT_EQ(memory_live(kType), 2);
    EXPECT_EQ(memory_live(kOther), 1);

    pal_mem_free(kType, r);
    pal_mem_free(kType, second);
    pal_mem_free(kOther, other);
    EXPECT_EQ(memory_live(kType), 0);
    EXPECT_EQ(memory_live(kOther), 0);
    EXPECT_EQ(memory_live_total(), start_total);
}

TEST(Memory, FreeingNullChangesNothing) {
    const long start = memory_live(kType);
    pal_mem_free(kType, nullptr);
    EXPECT_EQ(memory_live(kType), start);
}

TEST(Memory, ZeroSizeGivesDistinctCountedPointers) {
    void *a = mfh_calloc(kType, 0);
    void *b = mfh_calloc(kType, 0);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_EQ(memory_live(kType), 2);
    pal_mem_free(kType, a);
    pal_mem_free(kType, b);
    EXPECT_EQ(memory_live(kType), 0);
}

TEST(Memory, TypesOutsideTheRangeAreRefused) {
    const long start_total = memory_live_total();
    EXPECT_EQ(mfh_calloc(-1, 8), nullptr);
    EXPECT_EQ(mfh_calloc(MTYPE_MAX, 8), nullptr);
    EXPECT_EQ(memory_live(MTYPE_MAX), 0);
    EXPECT_EQ(memory_live_total(), start_total);
}

TEST(Memory, InjectedFailuresHitOnlyTheNextAllocationsOfThatType) {
    memory_fail_next(kType, 2);
    EXPECT_EQ(memory_fail_pending(kType), 2);
    void *other = mfh_calloc(kOther, 8); // another type is not affected
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(mfh_calloc(kType, 8), nullptr);
    EXPECT_EQ(mfh_calloc(kType, 8), nullptr);
    EXPECT_EQ(memory_live(kType), 0); // failed allocations are not counted
    void *third = mfh_calloc(kType, 8);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(memory_fail_pending(kType), 0);
    pal_mem_free(kType, third);
    pal_mem_free(kOther, other);
}

TEST(Memory, InjectedFailureCanBeCleared) {
    memory_fail_next(kType, 5);
    memory_fail_next(kType, 0);
    void *p = mfh_calloc(kType, 8);
    EXPECT_NE(p, nullptr);
    pal_mem_free(kType, p);
}

TEST(Memory, ForeachLiveReportsTypesInAscendingOrder) {
    void *a = mfh_calloc(kOther, 8);
    void *b = mfh_calloc(kType, 8);
    void *c = mfh_calloc(kType, 8);
    std::vector<std::pair<int, long>> seen;
    memory_foreach_live(
        [](void *ctx, int type, long live) {
            static_cast<std::vector<std::pair<int, long>> *>(ctx)->emplace_back(type, live);
        },
        &seen);
    std::vector<std::pair<int, long>> ours;
    int last = -1;
    for (auto &[type, live] : seen) {
        EXPECT_GT(type, last);
        last = type;
        if (type == kType || type == kOther)
            ours.emplace_back(type, live);
    }
    EXPECT_EQ(ours, (std::vector<std::pair<int, long>>{{kType, 2}, {kOther, 1}}));
    pal_mem_free(kOther, a);
    pal_mem_free(kType, b);
    pal_mem_free(kType, c);
}

TEST(Memory, CountersStayExactUnderConcurrentUse) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([] {
            std::vector<void *> held;
            for (int i = 0; i < kRounds; i++) {
                held.push_back(mfh_calloc(kType, 24));
                if (held.size() == 8) {
                    for (void *p : held)
                        pal_mem_free(kType, p);
                    held.clear();
                }
            }
            for (void *p : held)
                pal_mem_free(kType, p);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(memory_live(kType), 0);
}

TEST(Memory, ConcurrentInjectedFailuresAreTakenExactlyOnce) {
    constexpr int kFailures = 1000;
    memory_fail_next(kType, kFailures);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 500; i++) {
                void *p = mfh_calloc(kType, 8);
                if (p == nullptr)
                    failed++;
                pal_mem_free(kType, p);
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(failed.load(), kFailures);
    EXPECT_EQ(memory_live(kType), 0);
}

} // namespace
