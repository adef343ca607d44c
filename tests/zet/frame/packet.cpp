// The packet backend's receive filter.
#include "../zet_test.h"

#include <linux/filter.h>

namespace {

const uint8_t kSrc[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

// The filter, run by the kernel on a datagram socket: minimum-size ARP requests from no address.
TEST(FrameFilter, PassesOnlyMinimumSizeArpRequestsFromNoAddress) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds), 0);
    sock_fprog prog{};
    frame_packet_filter(&prog);
    ASSERT_EQ(setsockopt(fds[1], SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog), 0)
        << std::strerror(errno);
    const struct {
        bool tagged;
        size_t len, at;
        uint8_t value;
        bool passes;
    } cases[] = {
        {false, 60, 0, 0, true},   {true, 64, 0, 0, true},    {false, 59, 0, 0, false},
        {false, 61, 0, 0, false},  {false, 64, 0, 0, false},  {true, 60, 0, 0, false},
        {true, 68, 0, 0, false},                              // tagged, padded to 60 or 68
        {false, 60, 21, 2, false}, {true, 64, 25, 2, false},  // replies
        {false, 60, 31, 1, false}, {true, 64, 32, 10, false}, // senders with an address
        {false, 60, 13, 0, false}, {true, 64, 17, 0, false},  // IPv4
    };
    for (const auto &c : cases) {
        std::vector<uint8_t> f(c.len, 0);
        std::memset(f.data(), 0xff, 6);
        std::memcpy(f.data() + 6, kSrc, 6);
        size_t off = c.tagged ? 16 : 12;
        if (c.tagged)
            f[12] = 0x81, f[15] = 100;
        const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
        std::memcpy(f.data() + off, arp, sizeof arp);
        std::memcpy(f.data() + off + 10, kSrc, 6);
        if (c.at != 0)
            f[c.at] = c.value;
        ASSERT_EQ(send(fds[0], f.data(), f.size(), 0), ssize_t(f.size()));
        uint8_t buf[2048];
        EXPECT_EQ(recv(fds[1], buf, sizeof buf, MSG_DONTWAIT) == ssize_t(f.size()), c.passes)
            << c.tagged << " " << c.len << " " << c.at;
    }
    close(fds[0]);
    close(fds[1]);
}

} // namespace
