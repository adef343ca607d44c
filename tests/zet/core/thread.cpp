// The event loop and its clock: one-shot timers on the virtual clock, reads, posts, and the
// records' memory.
#include "../zet_test.h"

#include <numeric>

namespace {

using ms = std::chrono::milliseconds;
using std::chrono::steady_clock;

// What fired, as "name@microseconds past the virtual start", for the test that is running.
std::vector<std::string> fired;

int record(struct thread *t) {
    fired.push_back(static_cast<const char *>(THREAD_ARG(t)) + std::string("@") +
                    std::to_string(zet_clock_now_usec() - 1000000000));
    return 0;
}

struct LoopTest : ::testing::Test {
    lib_globals zg{};
    struct thread buf {};
    void SetUp() override {
        zet_clock_use_virtual(1000);
        ASSERT_NE(zg.master = thread_master_create(), nullptr);
        fired.clear();
    }
    void TearDown() override {
        thread_master_free(zg.master);
        EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), 0);
        zet_clock_use_monotonic();
    }
    struct thread *timer(const char *name, long seconds) {
        return thread_add_timer(&zg, record, const_cast<char *>(name), seconds);
    }
    struct thread *fetch() {
        return thread_fetch(&zg, &buf);
    }
};

TEST_F(LoopTest, TimersFireOnceAtTheirTimeInExpiryThenArmingOrderAndNeverEarly) {
    for (const char *name : {"a", "b", "c"})
        timer(name, 2);
    timer("seven", 7);
    timer("zero", 0);
    timer("past", -5);
    thread_add_timer_msec(&zg, record, const_cast<char *>("1500ms"), 1500);
    thread_add_timer_msec(&zg, record, const_cast<char *>("1ms"), 1);
    struct thread *t = timer("one", 1);
    EXPECT_EQ(std::tuple(t->type, t->sands.tv_sec, t->sands.tv_usec),
              std::tuple(int{THREAD_TIMER}, time_t{1001}, suseconds_t{0}));
    thread_advance(&zg, 10);
    EXPECT_EQ(fired, (std::vector<std::string>{"zero@0", "past@0", "1ms@1000000", "one@1000000",
                                               "1500ms@2000000", "a@2000000", "b@2000000",
                                               "c@2000000", "seven@7000000"}));
    zet_clock_advance_usec(250000); // a sub-second expiry is kept
    t = timer("resume", 5);
    EXPECT_EQ(std::pair(t->sands.tv_sec, t->sands.tv_usec),
              std::pair(time_t{1015}, suseconds_t{250000}));
    zet_clock_advance_usec(4999999);
    EXPECT_EQ(thread_run_due(&zg), 0);
    zet_clock_advance_usec(1);
    EXPECT_EQ(thread_run_due(&zg), 1);
    EXPECT_EQ(fired.back(), "resume@15250000");
}

// A callback cancels one timer due in the same round (already gathered) and one due later, and
// re-arms itself the way the daemon does: clear the handle first, cancel the fetched copy
// (harmless), arm again. A timer cancelled and armed again counts from the second arming.
struct thread *g_same, *g_later, *g_self;
int rearm(struct thread *t) {
    record(t);
    g_self = nullptr;
    thread_cancel(t);
    thread_cancel(g_same);
    thread_cancel(g_later);
    g_same = g_later = nullptr;
    g_self = thread_add_timer(THREAD_GLOB(t), rearm, THREAD_ARG(t), fired.size() < 3 ? 1 : 10);
    return 0;
}

TEST_F(LoopTest, CallbacksCancelAndRearmTimers) {
    struct thread *resume = timer("resume", 5);
    g_self = thread_add_timer(&zg, rearm, const_cast<char *>("tx"), 3);
    g_same = timer("same", 3);
    g_later = timer("later", 4);
    timer("bystander", 3);
    thread_advance(&zg, 2);
    thread_cancel(resume);
    timer("resume", 5);
    thread_advance(&zg, 21);
    EXPECT_EQ(fired, (std::vector<std::string>{"tx@3000000", "bystander@3000000", "tx@4000000",
                                               "resume@7000000", "tx@14000000"}));
    ASSERT_NE(g_self, nullptr);
    EXPECT_EQ(g_self->sands.tv_sec, 1024);
}

// Run-due runs what callbacks make due now; a fetch never waits for virtual time.
TEST_F(LoopTest, RunDueAndFetchOnTheVirtualClockAndRecordsReturnTheirMemory) {
    thread_add_timer(
        &zg,
        [](struct thread *t) {
            record(t);
            return thread_add_timer(THREAD_GLOB(t), record, const_cast<char *>("next"), 0), 0;
        },
        const_cast<char *>("first"), 0);
    EXPECT_EQ(thread_run_due(&zg), 2);
    EXPECT_EQ(fired, (std::vector<std::string>{"first@0", "next@0"}));
    thread_cancel(timer("cancelled", 1));
    timer("later", 10);
    auto start = steady_clock::now();
    EXPECT_EQ(fetch(), nullptr);
    EXPECT_LT(steady_clock::now() - start, ms(500));
    zet_clock_advance_usec(10000000);
    ASSERT_EQ(fetch(), &buf);
    EXPECT_EQ(std::pair(buf.type, buf.zg), std::pair(int{THREAD_TIMER}, &zg));
    thread_call(&buf);
    EXPECT_EQ(fired.back(), "later@10000000");
    EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), 0);
    memory_fail_next(MTYPE_ZET_THREAD, 1);
    EXPECT_EQ(timer("x", 1), nullptr);
}

// A session closing another cancels its read, readable in the same round: it never runs.
struct thread *g_other_read;
TEST_F(LoopTest, AReadCancelledAfterItWasFoundReadableNeverRuns) {
    int a[2], b[2];
    ASSERT_TRUE(pipe(a) == 0 && pipe(b) == 0);
    ASSERT_TRUE(write(a[1], "a", 1) == 1 && write(b[1], "b", 1) == 1);
    thread_add_read(
        &zg, [](struct thread *t) { return record(t), thread_cancel(g_other_read), 0; },
        const_cast<char *>("first"), a[0]);
    g_other_read = thread_add_read(&zg, record, const_cast<char *>("second"), b[0]);
    EXPECT_EQ(thread_run_due(&zg), 1);
    EXPECT_EQ(fired, std::vector<std::string>{"first@0"});
    for (int fd : {a[0], a[1], b[0], b[1]})
        close(fd);
}

// A timer already due when the loop looks (armed at 0, or due while a callback ran) runs at
// once even while a read is armed, instead of waiting for that descriptor.
TEST_F(LoopTest, ATimerAlreadyDueDoesNotWaitForAnArmedRead) {
    zet_clock_use_monotonic();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    thread_add_read(&zg, record, const_cast<char *>("read"), fds[0]);
    timer("due", 0);
    std::thread late_writer([&] { // ends a wrongful wait
        std::this_thread::sleep_for(ms(1500));
        EXPECT_EQ(write(fds[1], "x", 1), 1);
    });
    const auto start = steady_clock::now();
    ASSERT_EQ(fetch(), &buf);
    EXPECT_LT(steady_clock::now() - start, ms(1000));
    EXPECT_EQ(buf.type, int{THREAD_TIMER});
    late_writer.join();
    thread_run_due(&zg);
    close(fds[0]);
    close(fds[1]);
}

// Each post carries its sequence number; arg collects them.
int on_post(struct thread *t) {
    uint32_t v;
    EXPECT_EQ(std::pair(t->data_len, t->type), std::pair(sizeof v, int{THREAD_EVENT}));
    std::memcpy(&v, t->data, sizeof v);
    static_cast<std::vector<uint32_t> *>(THREAD_ARG(t))->push_back(v);
    return 0;
}

// A post to a full queue fails; a timer due meanwhile is not starved by the posts (in order).
TEST_F(LoopTest, FullPostQueueRefusesAndDoesNotStarveATimer) {
    std::vector<uint32_t> got, want(THREAD_POST_QUEUE_MAX);
    for (uint32_t v = 0; v < THREAD_POST_QUEUE_MAX + 10; v++)
        EXPECT_EQ(thread_post(zg.master, on_post, &got, &v, sizeof v),
                  v < THREAD_POST_QUEUE_MAX ? 0 : -1); // the cut's flush relies on the -1
    timer("tick", 0);
    ASSERT_EQ(fetch(), &buf);
    thread_call(&buf);
    EXPECT_EQ(fired, std::vector<std::string>{"tick@0"});
    EXPECT_EQ(thread_run_due(&zg), int{THREAD_POST_QUEUE_MAX});
    std::iota(want.begin(), want.end(), 0);
    EXPECT_EQ(got, want);
}

} // namespace
