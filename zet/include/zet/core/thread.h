// The event loop: one-shot timers (whole seconds, or milliseconds where needed), descriptor
// readiness, signals delivered on the loop, and a bounded thread-safe post for work handed over
// from other threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/time.h>

struct lib_globals;
struct thread;
struct thread_master;

typedef int (*thread_func)(struct thread *t);

enum thread_type : int {
    THREAD_TIMER = 1,
    THREAD_READ = 2,
    THREAD_EVENT = 3, // posts and signals: run once when fetched
};

// A task. The fields below are public; the loop owns the record.
struct thread {
    struct thread_master *master;
    struct lib_globals *zg;
    thread_func func;
    void *arg;
    int fd; // THREAD_READ
    int type;
    struct timeval sands; // THREAD_TIMER: expiry on the clock that pal_time_tzcurrent reads
    // Post payload, copied in so that handing over needs no allocation.
    uint8_t data[160];
    size_t data_len;
};

#define THREAD_ARG(t) ((t)->arg)
#define THREAD_GLOB(t) ((t)->zg)

enum : size_t {
    THREAD_POST_DATA_MAX = 160,
    THREAD_POST_QUEUE_MAX = 1024,
};

struct thread_master *thread_master_create(void);
void thread_master_free(struct thread_master *m);

// Arms a one-shot timer on zg->master; gives its handle, or null on no memory.
struct thread *thread_add_timer(struct lib_globals *zg, thread_func func, void *arg, long seconds);
// The same in milliseconds, for the few timers that must run faster than a second.
struct thread *thread_add_timer_msec(struct lib_globals *zg, thread_func func, void *arg,
                                     long msec);
// Calls func once when fd is readable; re-add from the callback to keep reading.
struct thread *thread_add_read(struct lib_globals *zg, thread_func func, void *arg, int fd);
// Disarms a timer or read; the handle is invalid afterwards. Null is ignored, and so is the
// record thread_fetch filled (a callback may pass its own t). A handle stays valid until its
// task is fetched or cancelled: clear it when the callback begins, never cancel it afterwards.
void thread_cancel(struct thread *t);

// A timer a record owns: it holds at most one armed task and cancels it when it is armed again,
// cancelled, or destroyed with its record. The task's callback calls fired() before anything
// else, since the loop frees a task it has run.
class thread_timer {
  public:
    thread_timer() = default;
    thread_timer(const thread_timer &) = delete;
    thread_timer &operator=(const thread_timer &) = delete;
    ~thread_timer() { cancel(); }
    // Holds t, a task just armed (null when it could not be): gives whether it holds one.
    bool arm(struct thread *t) {
        cancel();
        task_ = t;
        return t != nullptr;
    }
    void cancel() {
        thread_cancel(task_);
        task_ = nullptr;
    }
    void fired() { task_ = nullptr; }
    bool armed() const { return task_ != nullptr; }
    struct thread *get() const {
        return task_;
    }

  private:
    struct thread *task_ = nullptr;
};

// Waits (poll, no periodic wake-up) for the next due task and copies it into fetch. Order within
// one wake-up: pending signals, due timers (by expiry, then arming order), readable
// descriptors, then posts. Gives null when the loop ends: when nothing is armed and no signal
// handler is installed. On the virtual clock it never waits for
// virtual time: with timers armed and nothing due now it gives null at once.
struct thread *thread_fetch(struct lib_globals *zg, struct thread *fetch);
// Runs a task that thread_fetch gave.
void thread_call(struct thread *t);

// Hands work to the loop from any thread. data (at most THREAD_POST_DATA_MAX bytes) is copied
// and reaches func as t->data / t->data_len, with arg as THREAD_ARG. Gives 0, or -1 when the
// queue is full (the post is dropped) or the arguments are bad. Lock-free, no
// allocation; posts run in the order they were queued (THREAD_POST_QUEUE_MAX at most waiting).
int thread_post(struct thread_master *m, thread_func func, void *arg, const void *data, size_t len);
// Posts waiting to run.
size_t thread_post_pending(const struct thread_master *m);

// Runs, without blocking, everything that is due now (timers, posts, signals, readable fds),
// including what the callbacks make due now. Gives the number of tasks run. For tests, whose zg
// always has its loop.
int thread_run_due(struct lib_globals *zg);
// Virtual clock only: runs what is due, then advances time one second at a time, running what
// is due at each step (timers armed by callbacks during the advance included). On the
// monotonic clock it only runs what is due.
void thread_advance(struct lib_globals *zg, long seconds);
