// Signals run their handlers on the event loop, never in signal context; faults print a
// backtrace and die of the signal.
#include "zet/core/clock.h"
#include "zet/core/lib.h"
#include "zet/core/memory.h"
#include "zet/core/signal.h"
#include "zet/core/thread.h"

#include <gtest/gtest.h>

#include <csignal>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

std::atomic<int> g_runs{0};
std::atomic<int> g_in_call{0}; // set while the test's own thread_call runs
pthread_t g_ran_on;
int g_signo = 0;
bool g_was_in_call = false;

void on_usr1(int signo) {
    g_runs++;
    g_signo = signo;
    g_ran_on = pthread_self();
    g_was_in_call = g_in_call.load() != 0;
}

struct SignalTest : ::testing::Test {
    lib_globals zg{};
    void SetUp() override {
        zet_clock_use_monotonic();
        zg.master = thread_master_create();
        ASSERT_NE(zg.master, nullptr);
        ASSERT_EQ(pal_signal_init(), 0);
        g_runs = 0;
        g_was_in_call = false;
    }
    void TearDown() override {
        pal_signal_set(SIGUSR1, nullptr);
        pal_signal_set(SIGHUP, nullptr);
        thread_master_free(zg.master);
        EXPECT_EQ(memory_live(MTYPE_ZET_THREAD), 0);
    }
    // Fetches and runs one task, marking the call.
    struct thread *fetch_and_call(struct thread *buf) {
        if (thread_fetch(&zg, buf) == nullptr)
            return nullptr;
        g_in_call = 1;
        thread_call(buf);
        g_in_call = 0;
        return buf;
    }
};

TEST_F(SignalTest, HandlerRunsOnTheLoopNotInSignalContext) {
    ASSERT_EQ(pal_signal_set(SIGUSR1, on_usr1), 0);
    EXPECT_GE(pal_signal_fd(), 0);
    struct thread *deadline = thread_add_timer(
        &zg, [](struct thread *) { return 0; }, nullptr, 10);
    raise(SIGUSR1);
    EXPECT_EQ(g_runs.load(), 0) << "the handler must not run in signal context";
    struct thread buf {};
    ASSERT_EQ(thread_fetch(&zg, &buf), &buf);
    EXPECT_EQ(buf.type, THREAD_EVENT);
    EXPECT_EQ(g_runs.load(), 0);
    g_in_call = 1;
    thread_call(&buf);
    g_in_call = 0;
    EXPECT_EQ(g_runs.load(), 1);
    EXPECT_EQ(g_signo, SIGUSR1);
    EXPECT_TRUE(g_was_in_call);
    EXPECT_TRUE(pthread_equal(g_ran_on, pthread_self()));
    thread_cancel(deadline);
}

TEST_F(SignalTest, SignalDeliveredToAnotherThreadRunsOnTheLoopThread) {
    ASSERT_EQ(pal_signal_set(SIGUSR1, on_usr1), 0);
    struct thread *deadline = thread_add_timer(
        &zg, [](struct thread *) { return 0; }, nullptr, 10);
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pthread_kill(pthread_self(), SIGUSR1);
    });
    struct thread buf {};
    ASSERT_NE(fetch_and_call(&buf), nullptr); // blocks until the signal rings the loop
    other.join();
    EXPECT_EQ(buf.type, THREAD_EVENT);
    EXPECT_EQ(g_runs.load(), 1);
    EXPECT_TRUE(g_was_in_call);
    EXPECT_TRUE(pthread_equal(g_ran_on, pthread_self()));
    thread_cancel(deadline);
}

TEST_F(SignalTest, RunDueDispatchesPendingSignals) {
    ASSERT_EQ(pal_signal_set(SIGUSR1, on_usr1), 0);
    raise(SIGUSR1);
    EXPECT_EQ(thread_run_due(&zg), 1);
    EXPECT_EQ(g_runs.load(), 1);
    EXPECT_EQ(thread_run_due(&zg), 0);
}

TEST_F(SignalTest, EachSignalRunsItsOwnHandler) {
    static int hup = 0, usr1 = 0;
    hup = usr1 = 0;
    ASSERT_EQ(pal_signal_set(SIGHUP, [](int) { hup++; }), 0);
    ASSERT_EQ(pal_signal_set(SIGUSR1, [](int) { usr1++; }), 0);
    raise(SIGHUP);
    thread_run_due(&zg);
    EXPECT_EQ(hup, 1);
    EXPECT_EQ(usr1, 0);
    raise(SIGUSR1);
    raise(SIGHUP);
    thread_run_due(&zg);
    EXPECT_EQ(hup, 2);
    EXPECT_EQ(usr1, 1);
}

thread_master *g_master_to_stop = nullptr;

TEST_F(SignalTest, HandlerThatStopsTheLoopEndsIt) {
    g_master_to_stop = zg.master;
    ASSERT_EQ(pal_signal_set(SIGUSR1, [](int) { thread_master_stop(g_master_to_stop); }), 0);
    struct thread *far = thread_add_timer(
        &zg, [](struct thread *) { return 0; }, nullptr, 60);
    std::thread other([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        kill(getpid(), SIGUSR1);
    });
    struct thread buf {};
    int ran = 0;
    while (fetch_and_call(&buf) != nullptr)
        ran++;
    other.join();
    EXPECT_EQ(ran, 1);
    thread_cancel(far);
}

TEST_F(SignalTest, BadSignalNumbersAreRefused) {
    EXPECT_EQ(pal_signal_set(0, on_usr1), -1);
    EXPECT_EQ(pal_signal_set(SIGKILL, on_usr1), -1);
    EXPECT_EQ(pal_signal_set(100000, on_usr1), -1);
}

TEST_F(SignalTest, NoHandlerMeansNoSignalDescriptor) {
    EXPECT_EQ(pal_signal_fd(), -1);
}

// ---- faults -------------------------------------------------------------------------------

struct SegvCatchDeathTest : ::testing::Test {
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SegvCatchDeathTest, SegmentationFaultPrintsABacktraceAndDiesOfTheSignal) {
    EXPECT_EXIT(
        {
            pal_signal_segvcatch();
            raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "fatal signal 11 \\(SIGSEGV\\), backtrace:");
}

TEST_F(SegvCatchDeathTest, AbortPrintsABacktraceAndDiesOfTheSignal) {
    EXPECT_EXIT(
        {
            pal_signal_segvcatch();
            abort();
        },
        ::testing::KilledBySignal(SIGABRT), "fatal signal 6 \\(SIGABRT\\)");
}

TEST_F(SegvCatchDeathTest, ArithmeticFaultPrintsABacktrace) {
    EXPECT_EXIT(
        {
            pal_signal_segvcatch();
            raise(SIGFPE);
        },
        ::testing::KilledBySignal(SIGFPE), "fatal signal 8 \\(SIGFPE\\)");
}

} // namespace
