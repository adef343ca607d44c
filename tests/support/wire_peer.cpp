#include "support/wire_peer.h"

#include <atomic>
#include <cstring>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vesk_test {

namespace {

std::atomic<int> peer_serial{0};

bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) == 1;
}

} // namespace

WirePeer::WirePeer() {
    path_ = "/tmp/frm" + std::to_string(getpid()) + "-" + std::to_string(peer_serial++) + ".sock";
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd_, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path_;
}

WirePeer::~WirePeer() {
    if (fd_ >= 0)
        close(fd_);
    unlink(path_.c_str());
}

bool WirePeer::wait_hello(int timeout_ms) {
    uint8_t buf[64];
    while (readable(fd_, timeout_ms)) {
        client_len_ = sizeof client_;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&client_), &client_len_);
        if (n == 0)
            return true;
    }
    return false;
}

bool WirePeer::next(SentFrame &out, int timeout_ms) {
    uint8_t buf[FRAME_SEND_ADDR_LEN + FRAME_PAYLOAD_MAX + 64];
    while (readable(fd_, timeout_ms)) {
        ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n < FRAME_SEND_ADDR_LEN)
            continue;
        std::memcpy(&out.addr, buf, FRAME_SEND_ADDR_LEN);
        out.payload.assign(buf + FRAME_SEND_ADDR_LEN, buf + n);
        return true;
    }
    return false;
}

bool WirePeer::deliver(uint32_t ifindex, const uint8_t *dst, const uint8_t *src,
                       const uint8_t *data, size_t len) {
    std::vector<uint8_t> dgram(FRAME_RECV_ADDR_LEN + len);
    frame_recv_addr addr{};
    std::memcpy(addr.dst, dst, 6);
    std::memcpy(addr.src, src, 6);
    addr.ifindex = ifindex;
    std::memcpy(dgram.data(), &addr, sizeof addr);
    if (len > 0)
        std::memcpy(dgram.data() + sizeof addr, data, len);
    return deliver_raw(dgram.data(), dgram.size());
}

bool WirePeer::deliver_raw(const void *bytes, size_t len) {
    if (client_len_ == 0)
        return false;
    ssize_t n = sendto(fd_, bytes, len, 0, reinterpret_cast<sockaddr *>(&client_), client_len_);
    return n == static_cast<ssize_t>(len);
}

} // namespace vesk_test
