// Stopping the daemon while frames keep arriving: the receive thread must be gone before the
// framework it posts into is freed (the sanitizer builds turn a late post into a failure).
#include "support/wire_peer.h"
#include "vesk/daemon/recv_thread.h"
#include "vesk/daemon/signals.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

class DaemonStopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        veskm = lib_start();
        ASSERT_NE(veskm, nullptr);
        veskm->protocol = VESK_PROTOCOL;
        veskm->master = thread_master_create();
        ASSERT_NE(veskm->master, nullptr);
        std::snprintf(veskm->platform.frame, sizeof veskm->platform.frame, "%s",
                      wire_.spec().c_str());
        ASSERT_GE(vesk_sock_init(veskm), 0);
        ASSERT_TRUE(wire_.wait_hello());
        pid_file_ = "/tmp/dmn-stop-" + std::to_string(getpid()) + ".pid";
        vesk_set_pid_file(pid_file_.c_str());
    }

    void TearDown() override {
        stop_storm();
        if (veskm != nullptr)
            vesk_stop();
        vesk_set_pid_file(nullptr);
        unlink(pid_file_.c_str());
        sockfd = -1;
    }

    // Frames of the right size, as fast as the wire takes them, until stop_storm.
    void start_storm() {
        storm_ = std::thread([this] {
            const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
            uint8_t frame[46] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
            while (!stop_.load()) {
                if (wire_.deliver(1, mac, mac, frame, sizeof frame))
                    delivered_.fetch_add(1);
                else
                    std::this_thread::yield();
            }
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (delivered_.load() < 1000 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
    }

    void stop_storm() {
        stop_.store(true);
        if (storm_.joinable())
            storm_.join();
    }

    vesk_test::WirePeer wire_;
    std::string pid_file_;
    std::thread storm_;
    std::atomic<bool> stop_{false};
    std::atomic<long> delivered_{0};
};

TEST_F(DaemonStopTest, ReceiveThreadEndsWhenItsSocketCloses) {
    ASSERT_EQ(vesk_recv_thread_start(veskm), 0);
    start_storm();
    ASSERT_GE(delivered_.load(), 1000) << "the storm did not get going";
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(vesk_recv_thread_stop(veskm), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(vesk_recv_thread_stop(veskm), 0) << "a second stop finds nothing to stop";
}

TEST_F(DaemonStopTest, StopDuringAStormRemovesThePidFileAndClearsTheHandle) {
    ASSERT_TRUE(std::ofstream(pid_file_) << "1\n");
    ASSERT_EQ(vesk_recv_thread_start(veskm), 0);
    start_storm();
    vesk_stop();
    EXPECT_EQ(veskm, nullptr);
    EXPECT_NE(access(pid_file_.c_str(), F_OK), 0);
}

TEST_F(DaemonStopTest, StopWithoutAReceiveThreadIsPlain) {
    EXPECT_EQ(vesk_recv_thread_stop(veskm), 0);
    vesk_stop();
    EXPECT_EQ(veskm, nullptr);
    EXPECT_NE(access(pid_file_.c_str(), F_OK), 0) << "a missing pid file is no error";
}

} // namespace
