// Faults print a backtrace and die of the signal; a handler runs when the loop dispatches, never
// in the signal (the daemon's programs stop veskd with SIGTERM but do not see how it ended).
#include "../zet_test.h"

namespace {

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

int caught = 0;
TEST(Signal, AHandlerRunsWhenTheLoopDispatchesNotInTheSignal) {
    ASSERT_EQ(pal_signal_set(SIGUSR2, [](int signo) { caught = signo; }), 0);
    raise(SIGUSR2);
    EXPECT_EQ(caught, 0);
    pal_signal_dispatch();
    EXPECT_EQ(caught, SIGUSR2);
    EXPECT_EQ(pal_signal_set(SIGUSR2, nullptr), 0);
}

} // namespace
