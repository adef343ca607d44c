// The wire behind the frame socket's unix backend, played by the test: it reads what the daemon
// sent and hands it frames as if they had arrived on a port.
#pragma once

#include <cstdint>
#include <string>
#include <sys/un.h>
#include <vector>

#include "zet/frame/sock.h"

namespace vesk_test {

struct SentFrame { // one datagram from the daemon
    frame_send_addr addr{};
    std::vector<uint8_t> payload;
};

class WirePeer {
  public:
    WirePeer();
    ~WirePeer();
    WirePeer(const WirePeer &) = delete;
    WirePeer &operator=(const WirePeer &) = delete;

    std::string spec() const { return "unix:" + path_; } // for VESK_FRAME
    // Waits for the frame socket's hello; false after timeout_ms.
    bool wait_hello(int timeout_ms = 5000);
    // The next frame the daemon sent; false after timeout_ms (0: only what is already there).
    bool next(SentFrame &out, int timeout_ms = 5000);
    // Hands the daemon a frame as arriving on ifindex from src to dst; true when sent.
    bool deliver(uint32_t ifindex, const uint8_t *dst, const uint8_t *src, const uint8_t *data,
                 size_t len);

  private:
    int fd_ = -1;
    std::string path_;
    sockaddr_un client_{};
    socklen_t client_len_ = 0;
};

} // namespace vesk_test
