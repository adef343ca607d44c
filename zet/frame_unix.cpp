#include "zet/frame_unix.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "zet/frame_packet.h"
#include "zet/frame_sock.h"

namespace {

int fail(int fd) {
    int saved = errno;
    close(fd);
    errno = saved;
    return -1;
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
    ssize_t n = sendmsg(fd, &msg, MSG_DONTWAIT | MSG_NOSIGNAL);
    return n < 0 ? -1 : static_cast<ssize_t>(len);
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
