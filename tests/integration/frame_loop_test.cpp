// Loop detection from end to end in a real veskd process on the socket backends: the test plays
// the wire (it sees every frame the daemon sends and decides what comes back) and a scripted
// network services module receives the port-state requests.
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/wire_peer.h"

namespace {

using vesk_test::DaemonProcess;
using vesk_test::SentFrame;
using vesk_test::VtyClient;

constexpr uint32_t kGe1 = 5;

// The scriptable network services module, ordered line by line through its standard input.
class NsmPeer {
  public:
    explicit NsmPeer(const std::string &path) {
        int in[2];
        int out[2];
        if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            std::string tool = std::string(VESK_BINARY_DIR) + "/tools/vesk-nsm-peer";
            execl(tool.c_str(), tool.c_str(), path.c_str(), nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~NsmPeer() {
        close(to_);
        close(from_);
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    NsmPeer(const NsmPeer &) = delete;
    NsmPeer &operator=(const NsmPeer &) = delete;

    // Sends one order and gives the answer ("" when none comes within 15 s).
    std::string order(const std::string &line) {
        std::string text = line + "\n";
        if (write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return "";
        for (;;) {
            size_t eol = buf_.find('\n');
            if (eol != std::string::npos) {
                std::string answer = buf_.substr(0, eol);
                buf_.erase(0, eol + 1);
                return answer;
            }
            pollfd p{from_, POLLIN, 0};
            if (poll(&p, 1, 15000) != 1)
                return "";
            char chunk[512];
            ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

  private:
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
};

class FrameLoopProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = vesk_test::make_temp_dir("frm-loop-");
        ASSERT_FALSE(dir_.empty());
        log_path_ = dir_ + "/veskd.log";
        config_path_ = dir_ + "/veskd.conf";
        std::ofstream(config_path_) << "log file " << log_path_ << "\n";
        nsm_ = std::make_unique<NsmPeer>(dir_ + "/nsm.sock");
        for (const char *line :
             {"if-add 5 ge1 up 02:00:00:00:00:05", "bridge-add 1", "vlan-add 1 1", "port-add 5 1"})
            ASSERT_EQ(nsm_->order(line), "ok") << line;
        daemon_ = std::make_unique<DaemonProcess>(dir_);
        ASSERT_TRUE(
            daemon_->start({"-f", config_path_, "-P", "0"},
                           {"VESK_FRAME=" + wire_.spec(), "VESK_NSM=unix:" + dir_ + "/nsm.sock",
                            "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        ASSERT_TRUE(wire_.wait_hello()) << "veskd did not open its frame socket";
        ASSERT_TRUE(vty_.connect(dir_ + "/vty", std::chrono::seconds(10)));
        for (const char *line : {"configure terminal", "interface ge1", "loop-detect enable"})
            EXPECT_EQ(vty_.command(line), "") << line;
    }
    void TearDown() override {
        if (HasFailure() && daemon_ != nullptr)
            std::cerr << "---- veskd log ----\n"
                      << vesk_test::read_file(log_path_) << "---- stderr ----\n"
                      << daemon_->err() << "-------------------\n";
        daemon_.reset();
        nsm_.reset();
        vesk_test::remove_dir(dir_);
    }
    void reflect(const SentFrame &f, uint32_t ifindex) {
        ASSERT_TRUE(
            wire_.deliver(ifindex, f.addr.dst, f.addr.src, f.payload.data(), f.payload.size()));
    }

    std::string dir_;
    std::string log_path_;
    std::string config_path_;
    vesk_test::WirePeer wire_;
    std::unique_ptr<NsmPeer> nsm_;
    std::unique_ptr<DaemonProcess> daemon_;
    VtyClient vty_;
};

TEST_F(FrameLoopProcessTest, ReflectedFrameShutsThePortDown) {
    SentFrame f;
    ASSERT_TRUE(wire_.next(f)) << "no detection frame on ge1";
    EXPECT_EQ(f.addr.ifindex, static_cast<int32_t>(kGe1));
    EXPECT_EQ(f.addr.vid, 1);
    ASSERT_EQ(f.payload.size(), 46u);
    reflect(f, kGe1);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1");
    EXPECT_TRUE(vesk_test::wait_for([&] {
        return vesk_test::read_file(log_path_).find("Detect a loop on the port ge1, shut down") !=
               std::string::npos;
    }));
}

TEST_F(FrameLoopProcessTest, AlteredFramesAreNoLoop) {
    ASSERT_EQ(vty_.command("end"), "");
    ASSERT_EQ(vty_.command("debug loop-detect packet recv"),
              "Vesk packet receive debugging is on\n");
    SentFrame f;
    ASSERT_TRUE(wire_.next(f));
    SentFrame foreign = f;
    foreign.payload[13] ^= 0x01; // another station's sender address
    SentFrame forged = f;
    forged.payload[40] ^= 0x01; // check values that this port never sent
    reflect(foreign, kGe1);
    reflect(forged, kGe1);
    EXPECT_TRUE(vesk_test::wait_for([&] {
        std::string log = vesk_test::read_file(log_path_);
        return log.find("receive invalid VESK packet for error mac addr") != std::string::npos &&
               log.find("receive invalid VESK packet for error checksum") != std::string::npos;
    }));
    EXPECT_EQ(nsm_->order("wait-request 0.2"), "timeout");
    // The newest frame the port sent is still recognised.
    for (SentFrame newer; wire_.next(newer, 0);)
        f = newer;
    reflect(f, kGe1);
    EXPECT_EQ(nsm_->order("wait-request 10"), "request 5 1");
}

} // namespace
