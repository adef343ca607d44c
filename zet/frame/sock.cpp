#include "zet/frame/sock.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

#include "zet/core/access.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/frame/packet.h"
#include "zet/frame/ring.h"
#include "zet/frame/unix.h"

enum class frame_backend { packet, unix_wire };

// One open frame socket. Readers hold a reference while they use it, so closing it while a
// reader is blocked releases the descriptors only after that reader has left.
struct frame_sock {
    lib_globals *zg = nullptr;
    frame_backend backend = frame_backend::packet;
    int fd = -1;
    int wake_fd = -1; // readable once the socket is closed
    std::atomic<bool> closed{false};
    frame_ring ring;     // the packet backend's receive ring
    std::mutex rx_mutex; // the ring's reading position is one for all readers

    frame_sock() = default;
    frame_sock(const frame_sock &) = delete;
    frame_sock &operator=(const frame_sock &) = delete;
    ~frame_sock() {
        frame_ring_detach(ring);
        if (fd >= 0)
            close(fd);
        if (wake_fd >= 0)
            close(wake_fd);
    }
};

namespace {

constexpr char UNIX_PREFIX[] = "unix:";

std::mutex registry_mutex;
std::vector<std::shared_ptr<frame_sock>> registry;

std::shared_ptr<frame_sock> frame_sock_find(int fd) {
    std::lock_guard lock(registry_mutex);
    for (const auto &s : registry)
        if (s->fd == fd)
            return s;
    return nullptr;
}

std::shared_ptr<frame_sock> frame_sock_take(const frame_sock *target) {
    std::lock_guard lock(registry_mutex);
    auto it = std::find_if(registry.begin(), registry.end(),
                           [target](const auto &s) { return s.get() == target; });
    if (it == registry.end())
        return nullptr;
    auto s = *it;
    registry.erase(it);
    return s;
}

int frame_sock_error(int err) {
    errno = err;
    return -1;
}

int frame_backend_open(lib_globals *zg, frame_sock &s) {
    const char *spec = zg->platform.frame;
    if (*spec == '\0' || std::strcmp(spec, "packet") == 0) {
        s.backend = frame_backend::packet;
        return frame_packet_open(s.ring);
    }
    if (std::strncmp(spec, UNIX_PREFIX, sizeof UNIX_PREFIX - 1) == 0) {
        s.backend = frame_backend::unix_wire;
        const char *path = spec + sizeof UNIX_PREFIX - 1;
        uid_t owner = 0;
        std::string why;
        int handle = zet::access::open_socket_file(path, owner, why);
        if (handle < 0 && owner != 0)
            zlog_err(zg,
                     "frame socket: the wire peer at %s runs as user %u, neither root nor "
                     "%s's own user; refused",
                     path, static_cast<unsigned>(owner), zet_name());
        else if (handle < 0)
            zlog_err(zg, "frame socket: the wire peer at %s cannot be used: %s", path, why.c_str());
        if (handle < 0)
            return -1;
        // Through the handle: the socket checked is the one reached.
        std::string checked = "/proc/self/fd/" + std::to_string(handle);
        int fd = frame_unix_open(checked.c_str());
        int err = errno;
        close(handle);
        errno = err;
        return fd;
    }
    zlog_err(zg, "frame socket: unknown backend \"%s\"", spec);
    errno = EINVAL;
    return -1;
}

ssize_t frame_backend_recv(frame_sock &s, uint8_t *buf, size_t len, bool trunc,
                           frame_recv_addr &from) {
    if (s.backend == frame_backend::packet) {
        std::lock_guard lock(s.rx_mutex);
        return frame_packet_recv(s.ring, buf, len, trunc, from);
    }
    return frame_unix_recv(s.fd, buf, len, trunc, from);
}

// Gives 0 when the socket may be readable, -1 once it is closed.
int frame_sock_wait(frame_sock &s) {
    pollfd fds[2] = {{s.fd, POLLIN, 0}, {s.wake_fd, POLLIN, 0}};
    while (poll(fds, 2, -1) < 0)
        if (errno != EINTR)
            return -1;
    return s.closed.load() || (fds[1].revents & POLLIN) ? -1 : 0;
}

void frame_sock_copy_from(const frame_recv_addr &addr, void *from, socklen_t *fromlen) {
    if (from == nullptr)
        return;
    size_t n = std::min<size_t>(*fromlen, sizeof addr);
    std::memcpy(from, &addr, n);
    *fromlen = sizeof addr;
}

} // namespace

int pal_sock(struct lib_globals *zg, int family, int type, int protocol) {
    if (zg == nullptr)
        return frame_sock_error(EINVAL);
    if (family != AF_FRAME_SOCK)
        return frame_sock_error(EAFNOSUPPORT);
    if ((type & ~SOCK_CLOEXEC) != SOCK_RAW || protocol != 0)
        return frame_sock_error(EPROTONOSUPPORT);
    if (zg->fsock != nullptr)
        return frame_sock_error(EEXIST);
    auto s = std::make_shared<frame_sock>();
    s->zg = zg;
    s->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s->wake_fd < 0)
        return -1;
    s->fd = frame_backend_open(zg, *s);
    if (s->fd < 0)
        return -1;
    {
        std::lock_guard lock(registry_mutex);
        registry.push_back(s);
    }
    zg->fsock = s.get();
    return s->fd;
}

ssize_t pal_sock_sendto(int fd, const void *data, size_t len, int, const void *to,
                        socklen_t tolen) {
    auto s = frame_sock_find(fd);
    if (s == nullptr || s->closed.load())
        return frame_sock_error(EBADF);
    if (data == nullptr || to == nullptr || tolen < FRAME_SEND_ADDR_LEN)
        return frame_sock_error(EINVAL);
    if (len > FRAME_PAYLOAD_MAX)
        return frame_sock_error(EMSGSIZE);
    frame_send_addr addr{};
    std::memcpy(&addr, to, sizeof addr);
    if (addr.ifindex <= 0 || addr.vid > FRAME_VID_MAX)
        return frame_sock_error(EINVAL);
    const auto *bytes = static_cast<const uint8_t *>(data);
    return s->backend == frame_backend::packet ? frame_packet_send(s->zg, s->fd, addr, bytes, len)
                                               : frame_unix_send(s->fd, addr, bytes, len);
}

ssize_t pal_sock_recvfrom(int fd, void *buf, size_t len, int flags, void *from,
                          socklen_t *fromlen) {
    auto s = frame_sock_find(fd);
    if (s == nullptr)
        return frame_sock_error(EBADF);
    if ((buf == nullptr && len > 0) || (from != nullptr && fromlen == nullptr))
        return frame_sock_error(EFAULT);
    auto *bytes = static_cast<uint8_t *>(buf);
    bool trunc = (flags & MSG_TRUNC) != 0;
    for (;;) {
        if (s->closed.load())
            return frame_sock_error(EBADF);
        frame_recv_addr addr{};
        ssize_t n = frame_backend_recv(*s, bytes, len, trunc, addr);
        if (n >= 0) {
            frame_sock_copy_from(addr, from, fromlen);
            return n;
        }
        if (n == FRAME_RX_IGNORED)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        if (flags & MSG_DONTWAIT)
            return frame_sock_error(EAGAIN);
        if (frame_sock_wait(*s) < 0)
            return frame_sock_error(EBADF);
    }
}

void frame_sock_close(struct lib_globals *zg) {
    if (zg == nullptr || zg->fsock == nullptr)
        return;
    auto s = frame_sock_take(zg->fsock);
    zg->fsock = nullptr;
    if (s == nullptr)
        return;
    s->closed.store(true);
    uint64_t one = 1;
    if (write(s->wake_fd, &one, sizeof one) < 0)
        zlog_err(zg, "frame socket: cannot wake readers: %s", std::strerror(errno));
}
