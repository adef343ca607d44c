#include "zet/core/memory.h"

#include <array>
#include <atomic>
#include <cstdlib>

namespace {

struct memory_state {
    std::array<std::atomic<long>, MTYPE_MAX> live{};
    std::array<std::atomic<int>, MTYPE_MAX> fail{};
};

memory_state &state() {
    static memory_state s;
    return s;
}

bool valid_type(int type) {
    return type >= 0 && type < MTYPE_MAX;
}

// Takes one injected failure of type, if any is pending.
bool take_failure(int type) {
    auto &f = state().fail[type];
    int n = f.load(std::memory_order_relaxed);
    while (n > 0) {
        if (f.compare_exchange_weak(n, n - 1, std::memory_order_relaxed))
            return true;
    }
    return false;
}

} // namespace

void *mfh_calloc(int type, size_t size) {
    if (!valid_type(type) || take_failure(type))
        return nullptr;
    void *p = std::calloc(1, size != 0 ? size : 1);
    if (p != nullptr)
        state().live[type].fetch_add(1, std::memory_order_relaxed);
    return p;
}

void pal_mem_free(int type, void *p) {
    if (p == nullptr)
        return;
    std::free(p);
    if (valid_type(type))
        state().live[type].fetch_sub(1, std::memory_order_relaxed);
}

long memory_live(int type) {
    return valid_type(type) ? state().live[type].load(std::memory_order_relaxed) : 0;
}

long memory_live_total(void) {
    long sum = 0;
    for (const auto &n : state().live)
        sum += n.load(std::memory_order_relaxed);
    return sum;
}

void memory_fail_next(int type, int n) {
    if (valid_type(type))
        state().fail[type].store(n > 0 ? n : 0, std::memory_order_relaxed);
}

int memory_fail_pending(int type) {
    return valid_type(type) ? state().fail[type].load(std::memory_order_relaxed) : 0;
}

void memory_foreach_live(void (*fn)(void *ctx, int type, long live), void *ctx) {
    if (fn == nullptr)
        return;
    for (int type = 0; type < MTYPE_MAX; type++) {
        long n = state().live[type].load(std::memory_order_relaxed);
        if (n != 0)
            fn(ctx, type, n);
    }
}
