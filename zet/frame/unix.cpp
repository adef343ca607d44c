#include "zet/frame/unix.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "zet/frame/addr.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The peer's queue holds only net.unix.max_dgram_qlen datagrams (10 by default), so a burst
// from many ports fills it while the peer is still reading; a send waits this long for room.
constexpr auto SEND_WAIT = std::chrono::milliseconds(50);

int fail(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
}

// 0 once fd may take a datagram or poll was interrupted, -1 with EAGAIN past the deadline.
int wait_writable(int fd, clock_type::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock_type::now());
    if (left.count() <= 0) {
        errno = EAGAIN;
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
        return -1;
    return 0;
}

} // namespace

int frame_unix_open(const char *path) {
    sockaddr_un peer{};
    peer.sun_family = AF_UNIX;
    if (path == nullptr || *path == '\0' || std::strlen(path) >= sizeof peer.sun_path) {
        errno = path == nullptr || *path == '\0' ? EINVAL : ENAMETOOLONG;
        return -1;
    }
    std::strcpy(peer.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // An address of our own (autobound, abstract) so the peer can answer.
    sockaddr_un self{};
    self.sun_family = AF_UNIX;
    if (bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof(sa_family_t)) < 0)
        return fail(fd);
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) < 0)
        return fail(fd);
    if (send(fd, nullptr, 0, MSG_DONTWAIT) < 0)
        return fail(fd);
    return fd;
}

ssize_t frame_unix_send(int fd, const struct frame_send_addr &to, const uint8_t *data, size_t len) {
    iovec iov[2] = {{const_cast<frame_send_addr *>(&to), sizeof to},
                    {const_cast<uint8_t *>(data), len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    auto deadline = clock_type::now() + SEND_WAIT;
    for (;;) {
        if (sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return static_cast<ssize_t>(len);
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (wait_writable(fd, deadline) < 0)
            return -1;
    }
}

ssize_t frame_unix_recv(int fd, uint8_t *buf, size_t len, bool trunc,
                        struct frame_recv_addr &from) {
    frame_recv_addr addr{};
    iovec iov[2] = {{&addr, sizeof addr}, {buf, len}};
    msghdr msg{};
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    ssize_t n = recvmsg(fd, &msg, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0)
        return -1;
    if (static_cast<size_t>(n) < sizeof addr)
        return FRAME_RX_IGNORED;
    from = addr;
    size_t payload = static_cast<size_t>(n) - sizeof addr;
    return static_cast<ssize_t>(trunc || payload < len ? payload : len);
}
