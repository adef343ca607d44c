// Faults print a backtrace and die of the signal; handlers on the loop are the daemon's
// programs' to check (every stop is a SIGTERM it handles).
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

} // namespace
