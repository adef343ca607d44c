#include "support/wire_peer.h"

#include <atomic>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace vesk_test {

WirePeer::WirePeer() {
    static std::atomic<int> serial{0};
    path_ = "/tmp/frm" + std::to_string(getpid()) + "-" + std::to_string(serial++) + ".sock";
    unlink(path_.c_str());
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    path_.copy(addr.sun_path, sizeof addr.sun_path - 1);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0) << path_;
}

WirePeer::~WirePeer() {
    close(fd_);
    unlink(path_.c_str());
}

// The hello is the only empty datagram; frames before it are skipped.
bool WirePeer::wait_hello(int timeout_ms) {
    for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, timeout_ms) == 1;) {
        client_len_ = sizeof client_;
        if (recvfrom(fd_, nullptr, 0, MSG_DONTWAIT | MSG_TRUNC,
                     reinterpret_cast<sockaddr *>(&client_), &client_len_) == 0)
            return true;
    }
    return false;
}

bool WirePeer::next(SentFrame &out, int timeout_ms) {
    uint8_t buf[FRAME_SEND_ADDR_LEN + FRAME_PAYLOAD_MAX + 64];
    for (pollfd p{fd_, POLLIN, 0}; poll(&p, 1, timeout_ms) == 1;) {
        const ssize_t n = recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n >= FRAME_SEND_ADDR_LEN) {
            std::memcpy(&out.addr, buf, FRAME_SEND_ADDR_LEN);
            out.payload.assign(buf + FRAME_SEND_ADDR_LEN, buf + n);
            return true;
        }
    }
    return false;
}

bool WirePeer::deliver(uint32_t ifindex, const uint8_t *dst, const uint8_t *src,
                       const uint8_t *data, size_t len) {
    frame_recv_addr addr{};
    std::memcpy(addr.dst, dst, 6);
    std::memcpy(addr.src, src, 6);
    addr.ifindex = ifindex;
    std::vector<uint8_t> dgram(reinterpret_cast<uint8_t *>(&addr),
                               reinterpret_cast<uint8_t *>(&addr) + FRAME_RECV_ADDR_LEN);
    dgram.insert(dgram.end(), data, data + len);
    return client_len_ != 0 &&
           sendto(fd_, dgram.data(), dgram.size(), 0, reinterpret_cast<sockaddr *>(&client_),
                  client_len_) == static_cast<ssize_t>(dgram.size());
}

} // namespace vesk_test
