// The frame socket: its refusals, the wire-peer backend in both directions, a slow peer, and the
// packet backend's receive filter.
#include "../zet_test.h"

#include <linux/filter.h>

namespace {

using ms = std::chrono::milliseconds;
using std::chrono::steady_clock;
using vesk_test::SentFrame;

const uint8_t kDst[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t kSrc[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

frame_send_addr to(int32_t ifindex, uint16_t vid) {
    frame_send_addr a{{}, {}, ifindex, vid, 0};
    std::memcpy(a.dst, kDst, 6);
    std::memcpy(a.src, kSrc, 6);
    return a;
}

// A refusal as the call's result and errno.
std::pair<long, int> refused(long rc) {
    return {rc, errno};
}

class FrameSockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        zg_ = lib_start();
        ASSERT_NE(zg_, nullptr);
        std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "%s", peer_.spec().c_str());
    }
    void TearDown() override { lib_stop(zg_); }
    int open() {
        int fd = pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        EXPECT_TRUE(peer_.wait_hello());
        return fd;
    }
    lib_globals *zg_ = nullptr;
    vesk_test::WirePeer peer_;
};

// An unknown backend or a wire peer that is not there is no socket; a receive error other than
// "nothing yet" is the caller's to see.
TEST_F(FrameSockTest, RefusesWhatItCannotOpenAndPassesReceiveErrorsOn) {
    std::strcpy(zg_->platform.frame, "carrier-pigeon");
    EXPECT_EQ(refused(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0)), std::pair(-1L, EINVAL));
    std::strcpy(zg_->platform.frame, "unix:/nonexistent/peer");
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), -1);
    EXPECT_EQ(zg_->fsock, nullptr);
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "%s", peer_.spec().c_str());
    int fd = open();
    uint8_t buf[46];
    const int null = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(dup2(null, fd), fd);
    close(null);
    EXPECT_EQ(refused(pal_sock_recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr)),
              std::pair(-1L, ENOTSOCK));
}

// One frame from each of 60 ports in the same instant overflows the peer's queue while it is
// still reading: none may be lost. A peer that stops reading costs a send a short wait, then
// the send fails.
TEST_F(FrameSockTest, SendsWaitBrieflyForASlowPeerThenGiveUp) {
    constexpr int kFrames = 60;
    int fd = open();
    std::vector<SentFrame> got;
    std::thread reader([&] {
        for (SentFrame f; got.size() < kFrames && peer_.next(f, 2000);)
            got.push_back(f), std::this_thread::sleep_for(ms(2));
    });
    uint8_t data[46] = {};
    for (int i = 0; i < kFrames; i++) {
        data[0] = static_cast<uint8_t>(i);
        frame_send_addr a = to(1 + i, 1);
        EXPECT_EQ(pal_sock_sendto(fd, data, sizeof data, 0, &a, sizeof a), 46)
            << i << ": " << std::strerror(errno);
    }
    reader.join();
    ASSERT_EQ(got.size(), size_t{kFrames});
    for (int i = 0; i < kFrames; i++)
        EXPECT_EQ(std::pair(got[i].addr.ifindex, int(got[i].payload[0])), std::pair(1 + i, i));
    frame_send_addr a = to(7, 1);
    ssize_t n = 0;
    int sent = 0;
    auto started = steady_clock::now();
    for (; sent < 1000 && (n = pal_sock_sendto(fd, data, sizeof data, 0, &a, sizeof a)) == 46;
         sent++)
        started = steady_clock::now();
    auto waited = steady_clock::now() - started;
    EXPECT_EQ(refused(n), std::pair(-1L, EAGAIN));
    EXPECT_TRUE(waited >= ms(40) && waited < ms(1000));
    SentFrame f;
    for (int i = 0; i < sent; i++)
        ASSERT_TRUE(peer_.next(f, 0)) << "frame " << i;
}

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
