// Signals whose handlers run on the event loop. The real handler only marks the signal pending
// and writes one byte into a non-blocking self-pipe (both async-signal-safe, whichever thread
// the kernel picks); the loop watches the pipe's read end and runs the registered handlers
// through pal_signal_dispatch on its own thread.
#include "zet/core/signal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

constexpr int kMaxSignal = 65; // _NSIG on Linux

std::atomic<int> g_pipe_rd{-1};
std::atomic<int> g_pipe_wr{-1};
std::atomic<int> g_installed{0}; // handlers installed through pal_signal_set
std::atomic<bool> g_pending[kMaxSignal];
std::atomic<pal_signal_handler> g_handler[kMaxSignal];
std::mutex g_init_mutex;

static_assert(std::atomic<bool>::is_always_lock_free);
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void record_signal(int signo) {
    int saved = errno;
    if (signo > 0 && signo < kMaxSignal)
        g_pending[signo].store(true, std::memory_order_release);
    int fd = g_pipe_wr.load(std::memory_order_acquire);
    if (fd >= 0) {
        char b = static_cast<char>(signo);
        // A full pipe already wakes the loop; the byte is only a doorbell.
        ssize_t n = write(fd, &b, 1);
        (void)n;
    }
    errno = saved;
}

// Fault handler: backtrace to standard error, then the signal's default action.
extern "C" void fault_signal(int signo) {
    // Only async-signal-safe calls from here on (backtrace is preloaded by segvcatch).
    char line[96] = "\n*** fatal signal ";
    size_t n = std::strlen(line);
    char digits[4];
    int d = 0;
    for (int v = signo; v > 0 && d < 4; v /= 10)
        digits[d++] = static_cast<char>('0' + v % 10);
    while (d > 0)
        line[n++] = digits[--d];
    const char *abbrev = sigabbrev_np(signo);
    if (abbrev != nullptr) {
        line[n++] = ' ';
        line[n++] = '(';
        line[n++] = 'S';
        line[n++] = 'I';
        line[n++] = 'G';
        for (size_t i = 0; abbrev[i] != '\0' && n < sizeof line - 20; i++)
            line[n++] = abbrev[i];
        line[n++] = ')';
    }
    const char tail[] = ", backtrace:\n";
    std::memcpy(line + n, tail, sizeof tail - 1);
    n += sizeof tail - 1;
    ssize_t w = write(STDERR_FILENO, line, n);
    (void)w;
    void *frames[64];
    int depth = backtrace(frames, 64);
    backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    signal(signo, SIG_DFL);
    // Blocked while this handler runs; delivered with the default action when it returns
    // (a fault from an instruction also simply repeats).
    raise(signo);
}

} // namespace

int pal_signal_init(void) {
    std::lock_guard<std::mutex> lock(g_init_mutex);
    if (g_pipe_rd.load() >= 0)
        return 0;
    int fds[2];
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        return -1;
    g_pipe_wr.store(fds[1], std::memory_order_release);
    g_pipe_rd.store(fds[0], std::memory_order_release);
    return 0;
}

int pal_signal_set(int signo, pal_signal_handler handler) {
    if (signo <= 0 || signo >= kMaxSignal || signo == SIGKILL || signo == SIGSTOP)
        return -1;
    if (pal_signal_init() != 0)
        return -1;
    pal_signal_handler old = g_handler[signo].exchange(handler, std::memory_order_acq_rel);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    if (handler != nullptr) {
        sa.sa_handler = record_signal;
        sa.sa_flags = SA_RESTART;
    } else {
        sa.sa_handler = SIG_DFL;
    }
    if (sigaction(signo, &sa, nullptr) != 0) {
        g_handler[signo].store(old, std::memory_order_release);
        return -1;
    }
    if (old == nullptr && handler != nullptr)
        g_installed.fetch_add(1, std::memory_order_acq_rel);
    else if (old != nullptr && handler == nullptr)
        g_installed.fetch_sub(1, std::memory_order_acq_rel);
    return 0;
}

void pal_signal_segvcatch(void) {
    // The first backtrace() loads libgcc; do it now, not inside the fault handler.
    void *frame[2];
    (void)backtrace(frame, 2);
    static char altstack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altstack;
    ss.ss_size = sizeof altstack;
    sigaltstack(&ss, nullptr); // lets a stack overflow still print
    const int faults[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
    for (int signo : faults) {
        struct sigaction sa {};
        sigemptyset(&sa.sa_mask);
        sa.sa_handler = fault_signal;
        sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
        sigaction(signo, &sa, nullptr);
    }
}

int pal_signal_fd(void) {
    if (g_installed.load(std::memory_order_acquire) == 0)
        return -1;
    return g_pipe_rd.load(std::memory_order_acquire);
}

void pal_signal_dispatch(void) {
    int fd = g_pipe_rd.load(std::memory_order_acquire);
    if (fd >= 0) {
        char buf[64];
        while (read(fd, buf, sizeof buf) > 0) {
        }
    }
    // Drain first, then run: a signal that arrives while a handler runs rings the pipe again.
    for (int signo = 1; signo < kMaxSignal; signo++) {
        if (!g_pending[signo].exchange(false, std::memory_order_acq_rel))
            continue;
        pal_signal_handler h = g_handler[signo].load(std::memory_order_acquire);
        if (h != nullptr)
            h(signo);
    }
}
