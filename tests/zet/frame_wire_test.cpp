// The wire peer tool against the framework's frame socket: reflect, cable, drop and delay.
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "zet/core/lib.h"
#include "zet/frame/sock.h"

namespace {

// vesk-wire as a child process, spoken to through its standard input and output.
class WireTool {
  public:
    explicit WireTool(const std::string &path) {
        int in[2];
        int out[2];
        EXPECT_EQ(pipe(in), 0);
        EXPECT_EQ(pipe(out), 0);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            const std::string tool = std::string(VESK_BINARY_DIR) + "/tools/vesk-wire";
            execl(tool.c_str(), tool.c_str(), path.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~WireTool() {
        say("quit");
        close(to_);
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (waitpid(pid_, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        close(from_);
    }
    WireTool(const WireTool &) = delete;
    WireTool &operator=(const WireTool &) = delete;

    void say(const std::string &order) {
        std::string line = order + "\n";
        EXPECT_EQ(write(to_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    }
    // The next answer line, or "" after 10 s.
    std::string answer() {
        for (;;) {
            size_t eol = buf_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buf_.substr(0, eol);
                buf_.erase(0, eol + 1);
                return line;
            }
            pollfd p{from_, POLLIN, 0};
            if (poll(&p, 1, 10000) != 1)
                return "";
            char chunk[256];
            ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }
    std::string ask(const std::string &order) {
        say(order);
        return answer();
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
};

class FrameWireTest : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = "/tmp/frm" + std::to_string(getpid()) + "-wire.sock";
        tool_ = std::make_unique<WireTool>(path_);
        // The tool answers once it listens.
        ASSERT_EQ(tool_->ask("count"), "sent 0 delivered 0 dropped 0");
        zg_ = lib_start();
        ASSERT_NE(zg_, nullptr);
        std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "unix:%s", path_.c_str());
        fd_ = pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0);
        ASSERT_GE(fd_, 0) << std::strerror(errno);
        ASSERT_EQ(tool_->ask("wait-client"), "client 1");
    }
    void TearDown() override {
        lib_stop(zg_);
        tool_.reset();
    }

    void send_on(int32_t ifindex, uint16_t vid, uint8_t fill) {
        frame_send_addr to{};
        std::memset(to.dst, 0xff, 6);
        const uint8_t src[6] = {2, 0, 0, 0, 0, static_cast<uint8_t>(ifindex)};
        std::memcpy(to.src, src, 6);
        to.ifindex = ifindex;
        to.vid = vid;
        uint8_t data[46];
        std::memset(data, fill, sizeof data);
        ASSERT_EQ(pal_sock_sendto(fd_, data, sizeof data, 0, &to, sizeof to), 46);
    }
    // The next frame in, without waiting: the tool has delivered it before it answers.
    bool received(uint32_t &ifindex, uint8_t &fill, int flags = MSG_DONTWAIT) {
        uint8_t buf[64];
        frame_recv_addr from{};
        socklen_t len = sizeof from;
        ssize_t n = pal_sock_recvfrom(fd_, buf, sizeof buf, flags, &from, &len);
        if (n != 46)
            return false;
        ifindex = from.ifindex;
        fill = buf[0];
        return true;
    }

    std::string path_;
    std::unique_ptr<WireTool> tool_;
    lib_globals *zg_ = nullptr;
    int fd_ = -1;
};

TEST_F(FrameWireTest, ReflectSendsTheFrameBackOnItsPort) {
    ASSERT_EQ(tool_->ask("reflect 3"), "ok");
    send_on(3, 100, 0x33);
    EXPECT_EQ(tool_->ask("wait-frame"), "frame 1.3 100 46");
    uint32_t ifindex = 0;
    uint8_t fill = 0;
    ASSERT_TRUE(received(ifindex, fill));
    EXPECT_EQ(ifindex, 3u);
    EXPECT_EQ(fill, 0x33);
}

TEST_F(FrameWireTest, CableJoinsTwoPortsBothWays) {
    ASSERT_EQ(tool_->ask("cable 3 1.5"), "ok");
    send_on(3, 1, 0x03);
    EXPECT_EQ(tool_->ask("wait-frame"), "frame 1.3 1 46");
    send_on(5, 1, 0x05);
    EXPECT_EQ(tool_->ask("wait-frame"), "frame 1.5 1 46");
    uint32_t ifindex = 0;
    uint8_t fill = 0;
    ASSERT_TRUE(received(ifindex, fill));
    EXPECT_EQ(ifindex, 5u);
    EXPECT_EQ(fill, 0x03);
    ASSERT_TRUE(received(ifindex, fill));
    EXPECT_EQ(ifindex, 3u);
    EXPECT_EQ(fill, 0x05);
}

TEST_F(FrameWireTest, UnroutedAndDroppedPortsSwallowFrames) {
    ASSERT_EQ(tool_->ask("reflect 4"), "ok");
    ASSERT_EQ(tool_->ask("drop 4"), "ok");
    send_on(4, 1, 0x04);
    send_on(6, 1, 0x06);
    EXPECT_EQ(tool_->ask("wait-frame"), "frame 1.4 1 46");
    EXPECT_EQ(tool_->ask("wait-frame"), "frame 1.6 1 46");
    EXPECT_EQ(tool_->ask("count"), "sent 2 delivered 0 dropped 2");
    uint32_t ifindex = 0;
    uint8_t fill = 0;
    EXPECT_FALSE(received(ifindex, fill));
}

TEST_F(FrameWireTest, DelayHoldsDeliveries) {
    ASSERT_EQ(tool_->ask("reflect 2"), "ok");
    ASSERT_EQ(tool_->ask("delay 300"), "ok");
    const auto start = std::chrono::steady_clock::now();
    send_on(2, 1, 0x22);
    uint32_t ifindex = 0;
    uint8_t fill = 0;
    ASSERT_TRUE(received(ifindex, fill, 0));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(fill, 0x22);
}

TEST_F(FrameWireTest, BadOrdersAreRefused) {
    EXPECT_EQ(tool_->ask("reflect"), "error: wrong number of ports");
    EXPECT_EQ(tool_->ask("cable 1 x"), "error: bad port x");
    EXPECT_EQ(tool_->ask("reflect 0"), "error: bad port 0");
    EXPECT_EQ(tool_->ask("jump"), "error: unknown order jump");
    EXPECT_EQ(tool_->ask("wait-frame 0.05"), "timeout");
}

} // namespace
