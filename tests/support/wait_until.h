// Waiting in tests: for a condition, or for one while an event loop runs.
#pragma once

#include <chrono>
#include <thread>

#include "zet/core/thread.h"

namespace vesk_test {

// Polls done() every so often until it holds; false when limit passes first.
template <class Done>
bool wait_for(Done done, std::chrono::milliseconds limit = std::chrono::seconds(10),
              std::chrono::milliseconds every = std::chrono::milliseconds(5)) {
    for (const auto end = std::chrono::steady_clock::now() + limit; !done();
         std::this_thread::sleep_for(every))
        if (std::chrono::steady_clock::now() >= end)
            return false;
    return true;
}

// Runs zg's due tasks (posts from other threads too) until done() holds; false at the limit.
template <class Done>
bool run_until(struct lib_globals *zg, Done done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto ran = [&] { return thread_run_due(zg), done(); };
    return wait_for(ran, limit, std::chrono::milliseconds(1));
}

} // namespace vesk_test
