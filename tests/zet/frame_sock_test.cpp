// The frame socket: arguments, the wire-peer backend in both directions, closing while a
// reader waits, the counters, and the kernel filter of the packet backend.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/filter.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/wire_peer.h"
#include "zet/core/lib.h"
#include "zet/frame/packet.h"
#include "zet/frame/sock.h"

namespace {

using vesk_test::SentFrame;

const uint8_t kDst[6] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
const uint8_t kSrc[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x07};

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
    static frame_send_addr to(int32_t ifindex, uint16_t vid) {
        frame_send_addr a{};
        std::memcpy(a.dst, kDst, 6);
        std::memcpy(a.src, kSrc, 6);
        a.ifindex = ifindex;
        a.vid = vid;
        return a;
    }

    lib_globals *zg_ = nullptr;
    vesk_test::WirePeer peer_;
};

TEST_F(FrameSockTest, OnlyFamily53RawProtocol0) {
    errno = 0;
    EXPECT_EQ(pal_sock(zg_, AF_PACKET, SOCK_RAW, 0), -1);
    EXPECT_EQ(errno, EAFNOSUPPORT);
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_DGRAM, 0), -1);
    EXPECT_EQ(errno, EPROTONOSUPPORT);
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 3), -1);
    EXPECT_EQ(errno, EPROTONOSUPPORT);
    EXPECT_EQ(pal_sock(nullptr, AF_FRAME_SOCK, SOCK_RAW, 0), -1);
    EXPECT_EQ(zg_->fsock, nullptr);
}

TEST_F(FrameSockTest, OneSocketPerHandle) {
    int fd = open();
    EXPECT_NE(zg_->fsock, nullptr);
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), -1);
    EXPECT_EQ(errno, EEXIST);
    frame_sock_close(zg_);
    EXPECT_EQ(zg_->fsock, nullptr);
    EXPECT_EQ(pal_sock_sendto(fd, "x", 1, 0, nullptr, 0), -1);
    EXPECT_EQ(errno, EBADF);
}

TEST_F(FrameSockTest, UnknownBackendOrAbsentPeerFails) {
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "carrier-pigeon");
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "unix:/nonexistent/peer");
    EXPECT_EQ(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), -1);
    EXPECT_EQ(zg_->fsock, nullptr);
}

TEST_F(FrameSockTest, SendCarriesTheSendAddressThenTheData) {
    int fd = open();
    uint8_t data[46];
    for (size_t i = 0; i < sizeof data; i++)
        data[i] = static_cast<uint8_t>(i);
    frame_send_addr a = to(7, 100);
    ASSERT_EQ(pal_sock_sendto(fd, data, sizeof data, 0, &a, sizeof a), 46);
    SentFrame f;
    ASSERT_TRUE(peer_.next(f));
    EXPECT_EQ(0, std::memcmp(&f.addr, &a, sizeof a));
    EXPECT_EQ(f.payload, std::vector<uint8_t>(data, data + 46));
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(zg_, &stats), 0);
    EXPECT_EQ(stats.tx_frames, 1u);
}

// One frame from each of 48 ports in the same instant overflows the peer's queue (10 datagrams
// by default) while the peer is still reading; none of them may be lost.
TEST_F(FrameSockTest, ABurstOfSendsAllReachAPeerThatReadsSlowly) {
    constexpr int kFrames = 60;
    int fd = open();
    std::vector<SentFrame> got;
    std::thread reader([&] {
        SentFrame f;
        while (got.size() < kFrames && peer_.next(f, 2000)) {
            got.push_back(f);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    });
    uint8_t data[46] = {};
    for (int i = 0; i < kFrames; i++) {
        data[0] = static_cast<uint8_t>(i);
        frame_send_addr a = to(1 + i, 1);
        EXPECT_EQ(pal_sock_sendto(fd, data, sizeof data, 0, &a, sizeof a), 46)
            << "frame " << i << ": " << std::strerror(errno);
    }
    reader.join();
    ASSERT_EQ(got.size(), size_t{kFrames});
    for (int i = 0; i < kFrames; i++) {
        EXPECT_EQ(got[i].addr.ifindex, 1 + i);
        EXPECT_EQ(got[i].payload[0], i);
    }
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(zg_, &stats), 0);
    EXPECT_EQ(stats.tx_frames, uint64_t{kFrames});
    EXPECT_EQ(stats.tx_errors, 0u);
}

// A peer that stops reading costs a send a short wait, then the send fails as before.
TEST_F(FrameSockTest, ASendToAPeerThatNeverReadsGivesUpSoon) {
    int fd = open();
    uint8_t data[46] = {};
    frame_send_addr a = to(7, 1);
    ssize_t n = 0;
    int sent = 0;
    auto started = std::chrono::steady_clock::now();
    while (sent < 1000 && (n = pal_sock_sendto(fd, data, sizeof data, 0, &a, sizeof a)) == 46) {
        sent++;
        started = std::chrono::steady_clock::now();
    }
    auto waited = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(n, -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_GE(waited, std::chrono::milliseconds(40));
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    SentFrame f;
    for (int i = 0; i < sent; i++)
        ASSERT_TRUE(peer_.next(f, 0)) << "frame " << i;
}

TEST_F(FrameSockTest, SendRejectsBadArguments) {
    int fd = open();
    uint8_t data[46] = {};
    frame_send_addr a = to(7, 100);
    EXPECT_EQ(pal_sock_sendto(fd, data, 46, 0, &a, 19), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(pal_sock_sendto(fd, nullptr, 46, 0, &a, 20), -1);
    EXPECT_EQ(errno, EINVAL);
    a = to(7, 4095);
    EXPECT_EQ(pal_sock_sendto(fd, data, 46, 0, &a, 20), -1);
    EXPECT_EQ(errno, EINVAL);
    a = to(0, 1);
    EXPECT_EQ(pal_sock_sendto(fd, data, 46, 0, &a, 20), -1);
    EXPECT_EQ(errno, EINVAL);
    a = to(7, 1);
    std::vector<uint8_t> big(FRAME_PAYLOAD_MAX + 1);
    EXPECT_EQ(pal_sock_sendto(fd, big.data(), big.size(), 0, &a, 20), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(pal_sock_sendto(fd + 1000, data, 46, 0, &a, 20), -1);
    EXPECT_EQ(errno, EBADF);
    SentFrame f;
    EXPECT_FALSE(peer_.next(f, 0));
    frame_sock_stats stats{};
    frame_sock_get_stats(zg_, &stats);
    EXPECT_EQ(stats.tx_frames, 0u);
}

TEST_F(FrameSockTest, ReceiveFillsTheReceiveAddress) {
    int fd = open();
    uint8_t data[46];
    std::memset(data, 0x5a, sizeof data);
    ASSERT_TRUE(peer_.deliver(12, kDst, kSrc, data, sizeof data));
    uint8_t buf[1500] = {};
    frame_recv_addr from{};
    socklen_t fromlen = sizeof from;
    ASSERT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, MSG_TRUNC, &from, &fromlen), 46);
    EXPECT_EQ(fromlen, 16u);
    EXPECT_EQ(from.ifindex, 12u);
    EXPECT_EQ(0, std::memcmp(from.dst, kDst, 6));
    EXPECT_EQ(0, std::memcmp(from.src, kSrc, 6));
    EXPECT_EQ(0, std::memcmp(buf, data, 46));
}

TEST_F(FrameSockTest, TruncationReportsTheFullLengthOnlyWhenAsked) {
    int fd = open();
    std::vector<uint8_t> data(100, 0x11);
    ASSERT_TRUE(peer_.deliver(1, kDst, kSrc, data.data(), data.size()));
    ASSERT_TRUE(peer_.deliver(1, kDst, kSrc, data.data(), data.size()));
    uint8_t buf[46] = {};
    EXPECT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, MSG_TRUNC, nullptr, nullptr), 100);
    EXPECT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr), 46);
}

TEST_F(FrameSockTest, NonBlockingReadWithNothingWaiting) {
    int fd = open();
    uint8_t buf[46];
    EXPECT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, nullptr, nullptr), -1);
    EXPECT_EQ(errno, EAGAIN);
    socklen_t len = 16;
    EXPECT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, buf, nullptr), -1);
    EXPECT_EQ(errno, EFAULT);
    (void)len;
}

TEST_F(FrameSockTest, ShortDatagramsAreIgnoredAndCounted) {
    int fd = open();
    const uint8_t runt[10] = {};
    ASSERT_TRUE(peer_.deliver_raw(runt, sizeof runt));
    uint8_t data[46] = {1};
    ASSERT_TRUE(peer_.deliver(3, kDst, kSrc, data, sizeof data));
    uint8_t buf[46];
    EXPECT_EQ(pal_sock_recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr), 46);
    frame_sock_stats stats{};
    ASSERT_EQ(frame_sock_get_stats(zg_, &stats), 0);
    EXPECT_EQ(stats.rx_ignored, 1u);
    EXPECT_EQ(stats.rx_frames, 1u);
}

TEST_F(FrameSockTest, ClosingWakesABlockedReader) {
    int fd = open();
    ssize_t result = 0;
    int err = 0;
    std::thread reader([&] {
        uint8_t buf[46];
        result = pal_sock_recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr);
        err = errno;
    });
    frame_sock_close(zg_);
    reader.join();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(err, EBADF);
    frame_sock_stats stats{};
    EXPECT_EQ(frame_sock_get_stats(zg_, &stats), -1);
}

// The packet backend's filter, run by the kernel on a datagram socket: the datagram stands
// for the frame as the packet socket would see it.
class FrameFilterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM, 0, fds_), 0);
        sock_fprog prog{};
        frame_packet_filter(&prog);
        ASSERT_EQ(setsockopt(fds_[1], SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog), 0)
            << std::strerror(errno);
    }
    void TearDown() override {
        close(fds_[0]);
        close(fds_[1]);
    }
    bool passes(const std::vector<uint8_t> &frame) {
        EXPECT_EQ(send(fds_[0], frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        uint8_t buf[2048];
        return recv(fds_[1], buf, sizeof buf, MSG_DONTWAIT) == static_cast<ssize_t>(frame.size());
    }
    static std::vector<uint8_t> arp_request(bool tagged, size_t length) {
        std::vector<uint8_t> f(length, 0);
        std::memset(f.data(), 0xff, 6);
        std::memcpy(f.data() + 6, kSrc, 6);
        size_t off = 12;
        if (tagged) {
            f[12] = 0x81;
            f[13] = 0x00;
            f[15] = 100;
            off = 16;
        }
        const uint8_t arp[] = {0x08, 0x06, 0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
        std::memcpy(f.data() + off, arp, sizeof arp);
        std::memcpy(f.data() + off + 10, kSrc, 6);
        return f;
    }
    int fds_[2] = {-1, -1};
};

TEST_F(FrameFilterTest, PassesMinimumSizeArpRequestsFromNoAddress) {
    EXPECT_TRUE(passes(arp_request(false, 60)));
    EXPECT_TRUE(passes(arp_request(true, 64)));
}

TEST_F(FrameFilterTest, RejectsOtherSizes) {
    EXPECT_FALSE(passes(arp_request(false, 59)));
    EXPECT_FALSE(passes(arp_request(false, 61)));
    EXPECT_FALSE(passes(arp_request(false, 64)));
    EXPECT_FALSE(passes(arp_request(true, 60))) << "a tagged frame padded only to 60 bytes";
    EXPECT_FALSE(passes(arp_request(true, 68)));
}

TEST_F(FrameFilterTest, RejectsRepliesSendersWithAnAddressAndOtherTypes) {
    auto reply = arp_request(false, 60);
    reply[21] = 2;
    EXPECT_FALSE(passes(reply));
    auto addressed = arp_request(false, 60);
    addressed[31] = 1;
    EXPECT_FALSE(passes(addressed));
    auto tagged_addressed = arp_request(true, 64);
    tagged_addressed[32] = 10;
    EXPECT_FALSE(passes(tagged_addressed));
    auto tagged_reply = arp_request(true, 64);
    tagged_reply[25] = 2;
    EXPECT_FALSE(passes(tagged_reply));
    auto ipv4 = arp_request(false, 60);
    ipv4[13] = 0x00;
    EXPECT_FALSE(passes(ipv4));
    auto tagged_ipv4 = arp_request(true, 64);
    tagged_ipv4[17] = 0x00;
    EXPECT_FALSE(passes(tagged_ipv4));
}

} // namespace
