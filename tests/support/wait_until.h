#pragma once

#include <chrono>
#include <thread>

#include "zet/core/thread.h"

namespace vesk_test {

// Runs zg's due tasks (posts from other threads too) until done() holds; false at the limit.
template <class Done>
bool run_until(struct lib_globals *zg, Done done,
               std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    for (auto deadline = std::chrono::steady_clock::now() + limit;;
         std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        thread_run_due(zg);
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    }
}

} // namespace vesk_test
