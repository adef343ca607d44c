// Waiting on a condition with a deadline, running the event loop's due work meanwhile.
#pragma once

#include <chrono>
#include <thread>

#include "zet/core/thread.h"

namespace vesk_test {

// Runs zg's due tasks (posts from other threads included) until done() holds; false when
// limit passes first.
template <class Done>
bool run_until(struct lib_globals *zg, Done done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        thread_run_due(zg);
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

} // namespace vesk_test
