// The event loop's post queue, filled from other threads (frame receive, cuts) only on a real
// port; the daemon's tests run every timer and read of the loop on the virtual clock.
#include "../zet_test.h"

#include <numeric>

namespace {

// Each post carries its sequence number; arg collects them.
int on_post(struct thread *t) {
    uint32_t v;
    EXPECT_EQ(std::pair(t->data_len, t->type), std::pair(sizeof v, int{THREAD_EVENT}));
    std::memcpy(&v, t->data, sizeof v);
    static_cast<std::vector<uint32_t> *>(THREAD_ARG(t))->push_back(v);
    return 0;
}

// A post to a full queue fails; a timer due meanwhile is not starved by the posts (in order);
// a fetch on the virtual clock never waits for a timer.
TEST(Loop, FullPostQueueRefusesAndDoesNotStarveATimer) {
    zet_clock_use_virtual(1000);
    lib_globals zg{};
    ASSERT_NE(zg.master = thread_master_create(), nullptr);
    std::vector<uint32_t> got, want(THREAD_POST_QUEUE_MAX);
    for (uint32_t v = 0; v < THREAD_POST_QUEUE_MAX + 10; v++)
        EXPECT_EQ(thread_post(zg.master, on_post, &got, &v, sizeof v),
                  v < THREAD_POST_QUEUE_MAX ? 0 : -1); // the cut's flush relies on the -1
    bool ticked = false;
    thread_add_timer(
        &zg, [](struct thread *t) { return *static_cast<bool *>(THREAD_ARG(t)) = true, 0; },
        &ticked, 0);
    struct thread buf {};
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    thread_call(&buf);
    EXPECT_TRUE(ticked && got.empty());
    EXPECT_EQ(thread_run_due(&zg), int{THREAD_POST_QUEUE_MAX});
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(got, want);
    thread_add_timer_msec(&zg, on_post, &got, 1);
    EXPECT_EQ(thread_fetch(&zg, &buf), nullptr) << "virtual time moves only when told to";
    thread_master_free(zg.master);
    EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), 0);
    zet_clock_use_monotonic();
}

} // namespace
