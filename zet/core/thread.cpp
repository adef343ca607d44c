// The event loop. One thread (the loop's) arms, cancels, fetches and runs tasks; any thread may
// post work.
//
// Timers live in a map ordered by (expiry, arming sequence), so equal expiries run in arming
// order. Reads are kept in arming order and polled. Each poll round gathers, in this order, the
// signal task, the due timers and the readable descriptors into a ready queue; thread_fetch
// hands the ready queue out one task at a time, then up to a bounded number of posts, then
// gathers again. The loop blocks in poll() until the next timer, a descriptor, a post (eventfd)
// or a signal (the self-pipe of zet/signal.cpp); nothing wakes it periodically.
//
// Posts go through a bounded multi-producer ring (Vyukov's sequence-numbered cells) allocated
// with the master: a post copies its payload into a cell and never allocates.
#include "zet/core/thread.h"

#include "zet/core/clock.h"
#include "zet/core/globals.h"
#include "zet/core/memory.h"
#include "zet/core/signal.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

// A task record: the public part first, so a struct thread * is a zthread *.
struct zthread {
    struct thread t;
    int64_t expiry_usec; // THREAD_TIMER
    uint64_t seq;        // arming order
    bool ready;          // due or readable, waiting in the ready queue
};

struct post_cell {
    std::atomic<size_t> seq;
    thread_func func;
    void *arg;
    size_t len;
    uint8_t data[THREAD_POST_DATA_MAX];
};

constexpr size_t kPostMask = THREAD_POST_QUEUE_MAX - 1;
static_assert((THREAD_POST_QUEUE_MAX & kPostMask) == 0, "post queue size must be a power of 2");

int signal_task(struct thread *) {
    pal_signal_dispatch();
    return 0;
}

} // namespace

struct thread_master {
    struct lib_globals *zg = nullptr;

    std::map<std::pair<int64_t, uint64_t>, zthread *> timers;
    std::vector<zthread *> reads;             // arming order
    std::deque<zthread *> ready;              // gathered, not yet fetched
    std::unordered_set<struct thread *> live; // every record a handle may name
    uint64_t next_seq = 0;

    zthread sigtask{}; // the signal-dispatch task, never freed
    bool sigtask_queued = false;

    // Posts.
    std::unique_ptr<post_cell[]> cells;
    alignas(64) std::atomic<size_t> enqueue_pos{0};
    alignas(64) std::atomic<size_t> dequeue_pos{0};
    std::atomic<bool> wake_signalled{false};
    size_t post_budget = 0;

    int efd = -1;
    std::vector<struct pollfd> pfds; // reused between polls
};

namespace {

void free_record(thread_master *m, zthread *z) {
    m->live.erase(&z->t);
    pal_mem_free(MTYPE_ZET_THREAD, z);
}

zthread *new_record(thread_master *m, struct lib_globals *zg, thread_func func, void *arg,
                    int type) {
    void *mem = mfh_calloc(MTYPE_ZET_THREAD, sizeof(zthread));
    if (mem == nullptr)
        return nullptr;
    auto *z = static_cast<zthread *>(mem);
    z->t.master = m;
    z->t.zg = zg;
    z->t.func = func;
    z->t.arg = arg;
    z->t.fd = -1;
    z->t.type = type;
    z->seq = m->next_seq++;
    m->live.insert(&z->t);
    return z;
}

void wake(thread_master *m) {
    uint64_t one = 1;
    ssize_t n = write(m->efd, &one, sizeof one);
    (void)n; // EAGAIN: the counter is already non-zero, the loop wakes anyway
}

bool post_take(thread_master *m, struct thread *fetch) {
    size_t pos = m->dequeue_pos.load(std::memory_order_relaxed);
    post_cell &c = m->cells[pos & kPostMask];
    if (c.seq.load(std::memory_order_acquire) != pos + 1)
        return false;
    std::memset(fetch, 0, sizeof *fetch);
    fetch->master = m;
    fetch->zg = m->zg;
    fetch->func = c.func;
    fetch->arg = c.arg;
    fetch->fd = -1;
    fetch->type = THREAD_EVENT;
    fetch->data_len = c.len;
    std::memcpy(fetch->data, c.data, c.len);
    c.seq.store(pos + THREAD_POST_QUEUE_MAX, std::memory_order_release);
    m->dequeue_pos.store(pos + 1, std::memory_order_relaxed);
    return true;
}

bool posts_waiting(const thread_master *m) {
    size_t pos = m->dequeue_pos.load(std::memory_order_relaxed);
    return m->cells[pos & kPostMask].seq.load(std::memory_order_acquire) == pos + 1;
}

// Polls once (timeout_ms: -1 forever, 0 not at all) and moves what is due into the ready queue.
void gather(thread_master *m, int timeout_ms) {
    int sfd = pal_signal_fd();
    m->pfds.clear();
    m->pfds.push_back({m->efd, POLLIN, 0});
    m->pfds.push_back({sfd, POLLIN, 0}); // a negative fd is ignored by poll
    for (zthread *z : m->reads)
        m->pfds.push_back({z->t.fd, POLLIN, 0});
    int n = poll(m->pfds.data(), m->pfds.size(), timeout_ms);
    if (n < 0)
        n = 0; // EINTR: the signal's pipe byte is seen on the next round
    if (n > 0 && (m->pfds[0].revents & POLLIN) != 0) {
        uint64_t count;
        ssize_t r = read(m->efd, &count, sizeof count);
        (void)r;
        m->wake_signalled.store(false, std::memory_order_seq_cst);
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
    if (n > 0 && sfd >= 0 && m->pfds[1].revents != 0 && !m->sigtask_queued) {
        m->sigtask_queued = true;
        m->ready.push_back(&m->sigtask);
    }

    int64_t now = zet_clock_now_usec();
    while (!m->timers.empty()) {
        auto it = m->timers.begin();
        if (it->first.first > now)
            break;
        it->second->ready = true;
        m->ready.push_back(it->second);
        m->timers.erase(it);
    }

    if (n > 0) {
        size_t i = 2, kept = 0;
        for (zthread *z : m->reads) {
            if (m->pfds[i++].revents != 0) {
                z->ready = true;
                m->ready.push_back(z);
            } else {
                m->reads[kept++] = z;
            }
        }
        m->reads.resize(kept);
    }
    m->post_budget = THREAD_POST_QUEUE_MAX;
}

// Gives the next task of the current round into fetch, or false when the round is over.
bool take(thread_master *m, struct thread *fetch) {
    if (!m->ready.empty()) {
        zthread *z = m->ready.front();
        m->ready.pop_front();
        *fetch = z->t;
        fetch->zg = m->zg;
        if (z == &m->sigtask) {
            m->sigtask_queued = false;
        } else {
            free_record(m, z);
        }
        return true;
    }
    if (m->post_budget > 0 && post_take(m, fetch)) {
        m->post_budget--;
        return true;
    }
    m->post_budget = 0;
    return false;
}

// Milliseconds until the first timer, rounded up; -1 without timers.
int timer_wait_ms(const thread_master *m) {
    if (m->timers.empty())
        return -1;
    int64_t left = m->timers.begin()->first.first - zet_clock_now_usec();
    if (left <= 0)
        return 0;
    int64_t ms = (left + 999) / 1000;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

void bind_zg(thread_master *m, struct lib_globals *zg) {
    if (m->zg == nullptr)
        m->zg = zg;
}

} // namespace

struct thread_master *thread_master_create(void) {
    auto m = std::make_unique<thread_master>();
    m->efd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m->efd < 0)
        return nullptr;
    m->cells = std::make_unique<post_cell[]>(THREAD_POST_QUEUE_MAX);
    for (size_t i = 0; i < THREAD_POST_QUEUE_MAX; i++)
        m->cells[i].seq.store(i, std::memory_order_relaxed);
    m->sigtask.t.master = m.get();
    m->sigtask.t.func = signal_task;
    m->sigtask.t.fd = -1;
    m->sigtask.t.type = THREAD_EVENT;
    return m.release();
}

void thread_master_free(struct thread_master *m) {
    if (m == nullptr)
        return;
    std::unique_ptr<thread_master> owned(m);
    for (auto &entry : m->timers)
        pal_mem_free(MTYPE_ZET_THREAD, entry.second);
    for (zthread *z : m->reads)
        pal_mem_free(MTYPE_ZET_THREAD, z);
    for (zthread *z : m->ready)
        if (z != &m->sigtask)
            pal_mem_free(MTYPE_ZET_THREAD, z);
    if (m->efd >= 0)
        close(m->efd);
}

struct thread *thread_add_timer(struct lib_globals *zg, thread_func func, void *arg, long seconds) {
    constexpr long kMaxSeconds = 10L * 365 * 24 * 3600;
    return thread_add_timer_msec(zg, func, arg, std::clamp(seconds, 0L, kMaxSeconds) * 1000);
}

struct thread *thread_add_timer_msec(struct lib_globals *zg, thread_func func, void *arg,
                                     long msec) {
    if (zg == nullptr || zg->master == nullptr || func == nullptr)
        return nullptr;
    thread_master *m = zg->master;
    bind_zg(m, zg);
    zthread *z = new_record(m, zg, func, arg, THREAD_TIMER);
    if (z == nullptr)
        return nullptr;
    constexpr long kMaxMsec = 10L * 365 * 24 * 3600 * 1000;
    msec = std::clamp(msec, 0L, kMaxMsec);
    z->expiry_usec = zet_clock_now_usec() + static_cast<int64_t>(msec) * 1000;
    z->t.sands.tv_sec = static_cast<time_t>(z->expiry_usec / 1000000);
    z->t.sands.tv_usec = static_cast<suseconds_t>(z->expiry_usec % 1000000);
    m->timers.emplace(std::make_pair(z->expiry_usec, z->seq), z);
    return &z->t;
}

struct thread *thread_add_read(struct lib_globals *zg, thread_func func, void *arg, int fd) {
    if (zg == nullptr || zg->master == nullptr || func == nullptr || fd < 0)
        return nullptr;
    thread_master *m = zg->master;
    bind_zg(m, zg);
    zthread *z = new_record(m, zg, func, arg, THREAD_READ);
    if (z == nullptr)
        return nullptr;
    z->t.fd = fd;
    m->reads.push_back(z);
    return &z->t;
}

void thread_cancel(struct thread *t) {
    if (t == nullptr || t->master == nullptr)
        return;
    thread_master *m = t->master;
    if (m->live.find(t) == m->live.end())
        return; // already run or cancelled, or a fetched copy: nothing is armed
    auto *z = reinterpret_cast<zthread *>(t);
    if (z->ready) {
        m->ready.erase(std::find(m->ready.begin(), m->ready.end(), z));
    } else if (t->type == THREAD_TIMER) {
        m->timers.erase(std::make_pair(z->expiry_usec, z->seq));
    } else if (t->type == THREAD_READ) {
        m->reads.erase(std::find(m->reads.begin(), m->reads.end(), z));
    }
    free_record(m, z);
}

struct thread *thread_fetch(struct lib_globals *zg, struct thread *fetch) {
    if (zg == nullptr || zg->master == nullptr || fetch == nullptr)
        return nullptr;
    thread_master *m = zg->master;
    bind_zg(m, zg);
    for (;;) {
        if (take(m, fetch))
            return fetch;
        int timeout = timer_wait_ms(m);
        if (posts_waiting(m))
            timeout = 0;
        if (zet_clock_is_virtual() && !m->timers.empty())
            timeout = 0; // virtual time moves only when a test advances it
        if (timeout < 0 && m->reads.empty() && pal_signal_fd() < 0)
            return nullptr; // nothing armed, nothing to wait for
        gather(m, timeout);
        if (timeout == 0 && zet_clock_is_virtual() && m->ready.empty() && !posts_waiting(m))
            return nullptr;
    }
}

void thread_call(struct thread *t) {
    if (t != nullptr && t->func != nullptr)
        t->func(t);
}

int thread_post(struct thread_master *m, thread_func func, void *arg, const void *data,
                size_t len) {
    if (m == nullptr || func == nullptr || len > THREAD_POST_DATA_MAX ||
        (data == nullptr && len > 0))
        return -1;
    size_t pos = m->enqueue_pos.load(std::memory_order_relaxed);
    post_cell *c;
    for (;;) {
        c = &m->cells[pos & kPostMask];
        size_t seq = c->seq.load(std::memory_order_acquire);
        auto diff = static_cast<intptr_t>(seq) - static_cast<intptr_t>(pos);
        if (diff == 0) {
            if (m->enqueue_pos.compare_exchange_weak(pos, pos + 1, std::memory_order_relaxed))
                break;
        } else if (diff < 0) {
            return -1; // full
        } else {
            pos = m->enqueue_pos.load(std::memory_order_relaxed);
        }
    }
    c->func = func;
    c->arg = arg;
    c->len = len;
    if (len > 0)
        std::memcpy(c->data, data, len);
    c->seq.store(pos + 1, std::memory_order_release);
    // Ring the eventfd only when the loop has not been rung since it last looked (see gather:
    // it clears the flag, then fences, then looks at the ring).
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (!m->wake_signalled.exchange(true, std::memory_order_seq_cst))
        wake(m);
    return 0;
}

size_t thread_post_pending(const struct thread_master *m) {
    if (m == nullptr)
        return 0;
    size_t in = m->enqueue_pos.load(std::memory_order_acquire);
    size_t out = m->dequeue_pos.load(std::memory_order_acquire);
    return in > out ? in - out : 0;
}

int thread_run_due(struct lib_globals *zg) {
    thread_master *m = zg->master;
    bind_zg(m, zg);
    struct thread buf {};
    int run = 0;
    for (;;) {
        while (take(m, &buf)) {
            thread_call(&buf);
            run++;
        }
        gather(m, 0);
        if (m->ready.empty() && !posts_waiting(m))
            return run;
    }
}

void thread_advance(struct lib_globals *zg, long seconds) {
    thread_run_due(zg);
    if (!zet_clock_is_virtual())
        return;
    for (long i = 0; i < seconds; i++) {
        zet_clock_advance_usec(1000000);
        thread_run_due(zg);
    }
}
