// Signals run their handlers on the event loop, never in signal context; faults print a
// backtrace and die of the signal.
#include "../zet_test.h"

#include <pthread.h>

namespace {

std::string ran; // handlers that ran, in order: "USR1" or "HUP", with "!" when off the loop
bool g_in_call = false;
pthread_t g_loop;

void on_signal(int signo) {
    ran += signo == SIGUSR1 ? "USR1" : "HUP";
    ran += g_in_call && pthread_equal(g_loop, pthread_self()) ? " " : "! ";
}

struct SignalTest : ::testing::Test {
    lib_globals zg{};
    void SetUp() override {
        zet_clock_use_monotonic(); // a fetch waits only on the real clock
        zg.master = thread_master_create();
        ASSERT_EQ(pal_signal_init(), 0);
        EXPECT_EQ(pal_signal_fd(), -1) << "no handler, no descriptor";
        ASSERT_EQ(pal_signal_set(SIGUSR1, on_signal) | pal_signal_set(SIGHUP, on_signal), 0);
        EXPECT_GE(pal_signal_fd(), 0);
        thread_add_timer(
            &zg, [](struct thread *) { return 0; }, nullptr, 60); // a deadline
        ran.clear();
        g_loop = pthread_self();
    }
    void TearDown() override {
        pal_signal_set(SIGUSR1, nullptr);
        pal_signal_set(SIGHUP, nullptr);
        thread_master_free(zg.master);
    }
    // Fetches and runs one task, marking the call.
    struct thread *fetch_and_call(struct thread *buf) {
        if (thread_fetch(&zg, buf) == nullptr)
            return nullptr;
        g_in_call = true;
        thread_call(buf);
        g_in_call = false;
        return buf;
    }
};

TEST_F(SignalTest, HandlersRunOnTheLoopThreadNotInSignalContext) {
    raise(SIGUSR1);
    EXPECT_EQ(ran, "") << "the handler must not run in signal context";
    struct thread buf {};
    ASSERT_EQ(fetch_and_call(&buf), &buf);
    EXPECT_EQ(std::pair(buf.type, ran), std::pair(int{THREAD_EVENT}, std::string("USR1 ")));
    // A signal sent to another thread wakes the blocked loop and runs on the loop's thread.
    std::thread other([] {
        std::this_thread::sleep_for(50ms);
        pthread_kill(pthread_self(), SIGUSR1);
    });
    ASSERT_NE(fetch_and_call(&buf), nullptr);
    other.join();
    EXPECT_EQ(ran, "USR1 USR1 ");
    // Each signal runs its own handler, once, from a run of what is due.
    raise(SIGHUP);
    raise(SIGUSR1);
    g_in_call = true;
    EXPECT_EQ(thread_run_due(&zg), 1);
    EXPECT_EQ(thread_run_due(&zg), 0);
    g_in_call = false;
    EXPECT_TRUE(ran == "USR1 USR1 HUP USR1 " || ran == "USR1 USR1 USR1 HUP ") << ran;
}

TEST(SignalDeathTest, FaultsPrintABacktraceAndDieOfTheSignal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (auto [signo, says] : {std::pair(SIGSEGV, "fatal signal 11 \\(SIGSEGV\\), backtrace:"),
                               std::pair(SIGABRT, "fatal signal 6 \\(SIGABRT\\)"),
                               std::pair(SIGFPE, "fatal signal 8 \\(SIGFPE\\)")})
        EXPECT_EXIT(
            {
                pal_signal_segvcatch();
                signo == SIGABRT ? abort() : (void)raise(signo);
            },
            ::testing::KilledBySignal(signo), says);
}

} // namespace
