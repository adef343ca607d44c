// The event loop: one-shot timers on the virtual clock, reads, posts from other threads,
// stopping, and the records' memory.
#include "zet/core/clock.h"
#include "zet/core/lib.h"
#include "zet/core/memory.h"
#include "zet/core/signal.h"
#include "zet/core/thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

long long now_usec() {
    timeval tv{};
    pal_time_tzcurrent(&tv, nullptr);
    return tv.tv_sec * 1000000LL + tv.tv_usec;
}

// What fired, and when, for the test that is running.
struct Log {
    std::vector<std::string> names;
    std::vector<long long> at_usec;
};
Log *g_log = nullptr;

int record(struct thread *t) {
    g_log->names.emplace_back(static_cast<const char *>(THREAD_ARG(t)));
    g_log->at_usec.push_back(now_usec());
    return 0;
}

struct LoopTest : ::testing::Test {
    lib_globals zg{};
    Log log;
    void SetUp() override {
        zet_clock_use_virtual(1000);
        zg.master = thread_master_create();
        ASSERT_NE(zg.master, nullptr);
        g_log = &log;
    }
    void TearDown() override {
        thread_master_free(zg.master);
        zg.master = nullptr;
        EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), 0);
        zet_clock_use_monotonic();
        g_log = nullptr;
    }
    struct thread *timer(const char *name, long seconds) {
        return thread_add_timer(&zg, record, const_cast<char *>(name), seconds);
    }
};

// ---- timers on the virtual clock -------------------------------------------------------------

TEST_F(LoopTest, TimerFiresAtExactlyItsSecondAndNeverEarly) {
    struct thread *t = timer("five", 5);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->type, THREAD_TIMER);
    EXPECT_EQ(t->sands.tv_sec, 1005);
    EXPECT_EQ(t->sands.tv_usec, 0);

    thread_advance(&zg, 4);
    EXPECT_TRUE(log.names.empty());
    zet_clock_advance_usec(999999); // 1004.999999: one microsecond early
    EXPECT_EQ(thread_run_due(&zg), 0);
    EXPECT_TRUE(log.names.empty());
    zet_clock_advance_usec(1);
    EXPECT_EQ(thread_run_due(&zg), 1);
    ASSERT_EQ(log.names.size(), 1u);
    EXPECT_EQ(log.at_usec[0], 1005 * 1000000LL);
    thread_advance(&zg, 100);
    EXPECT_EQ(log.names.size(), 1u) << "a timer is one-shot";
}

TEST_F(LoopTest, AdvanceRunsEachTimerAtItsOwnSecond) {
    timer("three", 3);
    timer("one", 1);
    timer("zero", 0);
    timer("seven", 7);
    thread_advance(&zg, 10);
    ASSERT_EQ(log.names, (std::vector<std::string>{"zero", "one", "three", "seven"}));
    EXPECT_EQ(log.at_usec,
              (std::vector<long long>{1000000000, 1001000000, 1003000000, 1007000000}));
}

TEST_F(LoopTest, EqualExpiriesRunInArmingOrder) {
    const char *names[] = {"a", "b", "c", "d", "e", "f"};
    for (const char *n : names)
        timer(n, 2);
    thread_advance(&zg, 2);
    EXPECT_EQ(log.names, (std::vector<std::string>{"a", "b", "c", "d", "e", "f"}));
}

TEST_F(LoopTest, CancelledTimerNeverFiresAndCanBeArmedAgain) {
    struct thread *t = timer("resume", 5);
    thread_advance(&zg, 2);
    thread_cancel(t);
    t = timer("resume", 5); // re-armed at 1002: due at 1007, not 1005
    thread_advance(&zg, 4);
    EXPECT_TRUE(log.names.empty());
    thread_advance(&zg, 1);
    ASSERT_EQ(log.names.size(), 1u);
    EXPECT_EQ(log.at_usec[0], 1007 * 1000000LL);
    thread_cancel(nullptr); // ignored
}

// A callback cancels another timer that is due in the same second (already gathered as due)
// and one that is due later: neither runs.
struct thread *g_victim_same = nullptr;
struct thread *g_victim_later = nullptr;
int cancel_others(struct thread *t) {
    record(t);
    thread_cancel(g_victim_same);
    g_victim_same = nullptr;
    thread_cancel(g_victim_later);
    g_victim_later = nullptr;
    return 0;
}

TEST_F(LoopTest, CallbackCancelsAnotherTimer) {
    thread_add_timer(&zg, cancel_others, const_cast<char *>("killer"), 3);
    g_victim_same = timer("same", 3);
    g_victim_later = timer("later", 4);
    timer("bystander", 3);
    thread_advance(&zg, 10);
    EXPECT_EQ(log.names, (std::vector<std::string>{"killer", "bystander"}));
}

// The daemon's pattern: the record keeps the handle, the callback clears it first and re-arms.
struct port {
    struct thread *tx_timer = nullptr;
    int sent = 0;
    lib_globals *zg = nullptr;
    std::vector<long long> at;
};
int tx_handle(struct thread *t) {
    auto *p = static_cast<port *>(THREAD_ARG(t));
    p->tx_timer = nullptr;
    p->sent++;
    p->at.push_back(now_usec() / 1000000 - 1000);
    thread_cancel(t); // the fetched copy: harmless
    p->tx_timer = thread_add_timer(THREAD_GLOB(t), tx_handle, p, p->sent < 3 ? 1 : 10);
    return 0;
}

TEST_F(LoopTest, CallbackRearmsDuringOneAdvance) {
    port p;
    p.tx_timer = thread_add_timer(&zg, tx_handle, &p, 0);
    thread_advance(&zg, 32);
    EXPECT_EQ(p.at, (std::vector<long long>{0, 1, 2, 12, 22, 32}));
    ASSERT_NE(p.tx_timer, nullptr);
    EXPECT_EQ(p.tx_timer->sands.tv_sec, 1042);
    thread_cancel(p.tx_timer);
}

int arm_zero(struct thread *t) {
    record(t);
    thread_add_timer(THREAD_GLOB(t), record, const_cast<char *>("follow-up"), 0);
    return 0;
}

TEST_F(LoopTest, RunDueRunsWhatCallbacksMakeDueNow) {
    thread_add_timer(&zg, arm_zero, const_cast<char *>("first"), 0);
    EXPECT_EQ(thread_run_due(&zg), 2);
    EXPECT_EQ(log.names, (std::vector<std::string>{"first", "follow-up"}));
}

TEST_F(LoopTest, NegativeSecondsMeanNow) {
    timer("now", -5);
    EXPECT_EQ(thread_run_due(&zg), 1);
}

// How the daemon computes a timer's remaining time in 1/256 s (l2_timer_get_remaining_tics), on sands against
// pal_time_tzcurrent.
long remaining_tics(const struct thread *t) {
    if (t == nullptr)
        return 0;
    timeval now{};
    pal_time_tzcurrent(&now, nullptr);
    long usec = t->sands.tv_usec - now.tv_usec;
    long sec = t->sands.tv_sec - now.tv_sec;
    if (usec < 0) {
        usec += 1000000;
        sec -= 1;
    }
    long tics = sec * 256 + usec / 3906;
    return tics < 0 ? 0 : tics;
}

TEST_F(LoopTest, RemainingTimeFromSandsAgainstTheClock) {
    zet_clock_advance_usec(250000); // 1000.25
    struct thread *t = timer("resume", 180);
    EXPECT_EQ(t->sands.tv_sec, 1180);
    EXPECT_EQ(t->sands.tv_usec, 250000);
    EXPECT_EQ(remaining_tics(t), 180 * 256);
    zet_clock_advance_usec(10500000); // 1010.75: 169.5 s left
    EXPECT_EQ(remaining_tics(t), 169 * 256 + 500000 / 3906);
    EXPECT_EQ(remaining_tics(t) >> 8, 169);
    zet_clock_advance_usec(169499999); // 1 us left
    EXPECT_EQ(remaining_tics(t), 0);
    EXPECT_EQ(thread_run_due(&zg), 0);
    zet_clock_advance_usec(1);
    EXPECT_EQ(thread_run_due(&zg), 1);
}

TEST_F(LoopTest, FetchOnTheVirtualClockDoesNotWaitForVirtualTime) {
    timer("later", 10);
    struct thread buf {};
    auto start = steady_clock::now();
    EXPECT_EQ(thread_fetch(&zg, &buf), nullptr);
    EXPECT_LT(steady_clock::now() - start, milliseconds(500));
    zet_clock_advance_usec(10000000);
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    EXPECT_EQ(buf.type, THREAD_TIMER);
    EXPECT_EQ(buf.zg, &zg);
    thread_call(&buf);
    EXPECT_EQ(log.names, (std::vector<std::string>{"later"}));
}

// ---- memory --------------------------------------------------------------------------------

int nothing(struct thread *) {
    return 0;
}

TEST_F(LoopTest, FreeingTheMasterFreesArmedRecords) {
    long before = memory_live(MTYPE_ZET_THREAD);
    for (int i = 0; i < 10; i++)
        timer("armed", 100 + i);
    timer("due", 0);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    thread_add_read(&zg, nothing, nullptr, fds[0]);
    thread_add_read(&zg, nothing, nullptr, fds[0]);
    EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), before + 13);
    thread_post(zg.master, nothing, nullptr, "x", 1);
    ASSERT_EQ(write(fds[1], "r", 1), 1);
    zet_clock_advance_usec(1);
    struct thread buf {};
    ASSERT_NE(thread_fetch(&zg, &buf), nullptr); // leaves gathered tasks in the ready queue
    thread_master_free(zg.master);
    zg.master = nullptr;
    EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), before);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(LoopTest, RunTimersAndCancelledOnesReturnTheirMemory) {
    long before = memory_live(MTYPE_ZET_THREAD);
    struct thread *a = timer("a", 1);
    timer("b", 1);
    thread_cancel(a);
    thread_advance(&zg, 1);
    EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), before);
}

TEST_F(LoopTest, NoMemoryGivesNoTimer) {
    memory_fail_next(MTYPE_ZET_THREAD, 1);
    EXPECT_EQ(timer("x", 1), nullptr);
    EXPECT_NE(timer("y", 1), nullptr);
    EXPECT_EQ(thread_add_timer(nullptr, record, nullptr, 1), nullptr);
    EXPECT_EQ(thread_add_timer(&zg, nullptr, nullptr, 1), nullptr);
    EXPECT_EQ(thread_add_read(&zg, record, nullptr, -1), nullptr);
}

// ---- reads and blocking on the monotonic clock ----------------------------------------------

struct MonoLoopTest : LoopTest {
    void SetUp() override {
        LoopTest::SetUp();
        zet_clock_use_monotonic();
    }
};

int read_byte(struct thread *t) {
    char c;
    EXPECT_EQ(read(THREAD_FD(t), &c, 1), 1);
    *static_cast<char *>(THREAD_ARG(t)) = c;
    return 0;
}

TEST_F(MonoLoopTest, FetchBlocksUntilADescriptorIsReadable) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    char got = 0;
    ASSERT_NE(thread_add_read(&zg, read_byte, &got, fds[0]), nullptr);
    struct thread *deadline = timer("deadline", 10);
    auto start = steady_clock::now();
    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(100));
        ASSERT_EQ(write(fds[1], "k", 1), 1);
    });
    struct thread buf {};
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    auto waited = steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(buf.type, THREAD_READ);
    EXPECT_EQ(buf.fd, fds[0]);
    EXPECT_GE(waited, milliseconds(90));
    EXPECT_LT(waited, milliseconds(5000));
    thread_call(&buf);
    EXPECT_EQ(got, 'k');
    // One-shot: without a new thread_add_read the descriptor is no longer watched.
    ASSERT_EQ(write(fds[1], "z", 1), 1);
    EXPECT_EQ(thread_run_due(&zg), 0);
    thread_cancel(deadline);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(MonoLoopTest, CancelledReadIsNotRun) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    char got = 0;
    struct thread *r = thread_add_read(&zg, read_byte, &got, fds[0]);
    ASSERT_EQ(write(fds[1], "k", 1), 1);
    thread_cancel(r);
    EXPECT_EQ(thread_run_due(&zg), 0);
    EXPECT_EQ(got, 0);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(MonoLoopTest, TimerOnTheMonotonicClockSleepsAndNeverFiresEarly) {
    struct thread *t = timer("one", 1);
    long long expiry = t->sands.tv_sec * 1000000LL + t->sands.tv_usec;
    struct thread buf {};
    auto start = steady_clock::now();
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    EXPECT_GE(now_usec(), expiry);
    EXPECT_GE(steady_clock::now() - start, milliseconds(990));
    thread_call(&buf);
    EXPECT_EQ(log.names.size(), 1u);
}

TEST_F(MonoLoopTest, NothingToWaitForEndsTheLoop) {
    ASSERT_EQ(pal_signal_fd(), -1); // no signal handler in this program
    struct thread buf {};
    EXPECT_EQ(thread_fetch(&zg, &buf), nullptr);
}

// ---- stopping ---------------------------------------------------------------------------------

int stop_loop(struct thread *t) {
    thread_master_stop(t->master);
    return 0;
}

TEST_F(MonoLoopTest, StopFromAnotherThreadMakesFetchReturnNull) {
    struct thread *far = timer("far", 60);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(50));
        thread_master_stop(zg.master);
    });
    struct thread buf {};
    auto start = steady_clock::now();
    EXPECT_EQ(thread_fetch(&zg, &buf), nullptr);
    EXPECT_LT(steady_clock::now() - start, milliseconds(5000));
    stopper.join();
    thread_cancel(far);
}

TEST_F(LoopTest, StopFromACallbackEndsTheLoopAfterIt) {
    thread_add_timer(&zg, stop_loop, nullptr, 0);
    timer("after", 0);
    struct thread buf {};
    int ran = 0;
    while (thread_fetch(&zg, &buf) != nullptr) {
        thread_call(&buf);
        ran++;
    }
    EXPECT_EQ(ran, 1);
    EXPECT_TRUE(log.names.empty());
    // The loop can be entered again.
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    thread_call(&buf);
    EXPECT_EQ(log.names, (std::vector<std::string>{"after"}));
}

// ---- posts -------------------------------------------------------------------------------------

struct Received {
    std::vector<uint32_t> values;
    std::vector<void *> args;
    bool bad_len = false;
};

int on_post(struct thread *t) {
    auto *r = static_cast<Received *>(THREAD_ARG(t));
    if (t->data_len != sizeof(uint32_t) || t->type != THREAD_EVENT) {
        r->bad_len = true;
        return 0;
    }
    uint32_t v;
    std::memcpy(&v, t->data, sizeof v);
    r->values.push_back(v);
    return 0;
}

TEST_F(MonoLoopTest, PostsFromAnotherThreadArriveInOrder) {
    Received r;
    constexpr uint32_t kCount = 5000;
    struct thread *deadline = timer("deadline", 30);
    std::thread producer([&] {
        for (uint32_t i = 0; i < kCount; i++) {
            while (thread_post(zg.master, on_post, &r, &i, sizeof i) != 0)
                std::this_thread::yield(); // queue full: the test wants every post
        }
    });
    struct thread buf {};
    while (r.values.size() < kCount && log.names.empty()) {
        ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
        thread_call(&buf);
    }
    producer.join();
    EXPECT_TRUE(log.names.empty()) << "deadline passed";
    EXPECT_FALSE(r.bad_len);
    ASSERT_EQ(r.values.size(), kCount);
    for (uint32_t i = 0; i < kCount; i++)
        ASSERT_EQ(r.values[i], i);
    thread_cancel(deadline);
}

TEST_F(LoopTest, FullPostQueueDropsAndCounts) {
    Received r;
    const uint32_t extra = 10;
    for (uint32_t i = 0; i < THREAD_POST_QUEUE_MAX + extra; i++) {
        int rc = thread_post(zg.master, on_post, &r, &i, sizeof i);
        EXPECT_EQ(rc, i < THREAD_POST_QUEUE_MAX ? 0 : -1) << i;
    }
    EXPECT_EQ(thread_post_dropped(zg.master), extra);
    EXPECT_EQ(thread_post_pending(zg.master), THREAD_POST_QUEUE_MAX);
    EXPECT_EQ(thread_run_due(&zg), static_cast<int>(THREAD_POST_QUEUE_MAX));
    ASSERT_EQ(r.values.size(), THREAD_POST_QUEUE_MAX);
    for (uint32_t i = 0; i < THREAD_POST_QUEUE_MAX; i++)
        ASSERT_EQ(r.values[i], i);
    EXPECT_EQ(thread_post_pending(zg.master), 0u);
    uint32_t v = 7;
    EXPECT_EQ(thread_post(zg.master, on_post, &r, &v, sizeof v), 0);
    EXPECT_EQ(thread_post_dropped(zg.master), extra);
}

TEST_F(LoopTest, BadPostsAreRefusedWithoutCounting) {
    uint8_t big[THREAD_POST_DATA_MAX + 1] = {};
    EXPECT_EQ(thread_post(zg.master, nothing, nullptr, big, sizeof big), -1);
    EXPECT_EQ(thread_post(zg.master, nullptr, nullptr, big, 1), -1);
    EXPECT_EQ(thread_post(nullptr, nothing, nullptr, big, 1), -1);
    EXPECT_EQ(thread_post(zg.master, nothing, nullptr, nullptr, 3), -1);
    EXPECT_EQ(thread_post_dropped(zg.master), 0u);
    EXPECT_EQ(thread_post(zg.master, nothing, nullptr, big, THREAD_POST_DATA_MAX), 0);
    EXPECT_EQ(thread_post(zg.master, nothing, nullptr, nullptr, 0), 0);
    EXPECT_EQ(thread_run_due(&zg), 2);
}

int on_tagged(struct thread *t) {
    auto *per = static_cast<std::vector<std::vector<uint32_t>> *>(THREAD_ARG(t));
    uint32_t v[2];
    std::memcpy(v, t->data, sizeof v);
    (*per)[v[0]].push_back(v[1]);
    return 0;
}

TEST_F(MonoLoopTest, SeveralProducersKeepTheirOwnOrder) {
    constexpr uint32_t kProducers = 4, kEach = 2000;
    std::vector<std::vector<uint32_t>> per(kProducers);
    std::vector<std::thread> producers;
    for (uint32_t p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (uint32_t i = 0; i < kEach; i++) {
                uint32_t v[2] = {p, i};
                while (thread_post(zg.master, on_tagged, &per, v, sizeof v) != 0)
                    std::this_thread::yield();
            }
        });
    }
    struct thread *deadline = timer("deadline", 30);
    size_t total = 0;
    struct thread buf {};
    while (total < kProducers * kEach && log.names.empty()) {
        ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
        thread_call(&buf);
        total = 0;
        for (auto &v : per)
            total += v.size();
    }
    for (auto &t : producers)
        t.join();
    for (uint32_t p = 0; p < kProducers; p++) {
        ASSERT_EQ(per[p].size(), kEach);
        for (uint32_t i = 0; i < kEach; i++)
            ASSERT_EQ(per[p][i], i);
    }
    thread_cancel(deadline);
}

TEST_F(LoopTest, TimersAreNotStarvedByAFloodOfPosts) {
    Received r;
    timer("tick", 0);
    for (uint32_t i = 0; i < 10; i++)
        thread_post(zg.master, on_post, &r, &i, sizeof i);
    struct thread buf {};
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    thread_call(&buf);
    EXPECT_EQ(log.names, (std::vector<std::string>{"tick"}));
}

} // namespace
