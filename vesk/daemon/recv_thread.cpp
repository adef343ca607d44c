#include "vesk/daemon/recv_thread.h"

#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"

#include <ctime>
#include <pthread.h>

static pthread_t vesk_recv_tid;
static bool vesk_recv_running = false;

// The thread's entry; arg is the framework handle. Returns when the receive loop does.
static void *vesk_rev_msg(void *arg) {
    vesk_recv_pkt_karsto(static_cast<struct lib_globals *>(arg));
    return nullptr;
}

int vesk_recv_thread_start(struct lib_globals *zg) {
    if (pthread_create(&vesk_recv_tid, nullptr, vesk_rev_msg, zg) != 0)
        return -1;
    vesk_recv_running = true;
    return 0;
}

int vesk_recv_thread_stop(struct lib_globals *zg) {
    if (!vesk_recv_running)
        return 0;
    // A reader blocked on the socket wakes up when it closes, and the loop then returns.
    frame_sock_close(zg);
    struct timespec deadline {};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 1;
    if (pthread_timedjoin_np(vesk_recv_tid, nullptr, &deadline) != 0)
        return -1;
    vesk_recv_running = false;
    return 0;
}
