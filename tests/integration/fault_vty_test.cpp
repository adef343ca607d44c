// Operators' sessions misbehave: one sends commands for six seconds and never reads what they
// print, and two hundred connect at once. The daemon must stay answering the others within a
// second, keep its memory bounded, refuse what exceeds its session limit, and give every descriptor
// back.
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <gtest/gtest.h>

#include "support/daemon_process.h"

namespace {

using namespace std::chrono_literals;
using vesk_test::wait_for;

int connect_unix(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends text for at most limit; gives the bytes the daemon took.
size_t send_for(int fd, const std::string &text, std::chrono::milliseconds limit) {
    size_t sent = 0;
    auto until = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < until) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 50) != 1)
            continue;
        ssize_t n = send(fd, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0)
            break;
        sent += static_cast<size_t>(n);
    }
    return sent;
}

// True once the daemon has closed fd's session (end of file or reset after what it sent).
bool closed_by_daemon(int fd) {
    char buf[65536];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
            return true;
        if (n < 0)
            return false;
    }
}

TEST(FaultVty, ClientThatNeverReadsCostsNoMemoryAndOthersAreServed) {
    vesk_test::Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    const long rss = vesk_test::proc_status_kib(rig.pid(), "VmRSS");
    int silent = connect_unix(rig.vty_path());
    ASSERT_GE(silent, 0);
    // Each line asks for the whole running configuration and the full state.
    std::string burst;
    for (int i = 0; i < 200; i++)
        burst += "show running-config\nshow loop-detect\nshow version\n";
    // The daemon stops reading a session while its output waits, and takes more only as its
    // flush retries find room; the flood must cost neither memory nor other sessions' time.
    size_t sent = send_for(silent, burst, 3000ms);
    EXPECT_GT(sent, 0u);
    std::chrono::milliseconds took{};
    EXPECT_NE(rig.vty().command("show loop-detect", 10s, &took), "");
    EXPECT_LT(took, 1000ms) << "vty slow while a client does not read";
    sent += send_for(silent, burst, 3000ms);
    EXPECT_NE(rig.vty().command("show running-config", 10s, &took), "");
    EXPECT_LT(took, 1000ms) << "vty slow while a client does not read";
    long grown = vesk_test::proc_status_kib(rig.pid(), "VmRSS") - rss;
    if (vesk_test::kMemoryMeasurable) {
        EXPECT_LT(grown, 4096) << "veskd grew by " << grown << " KiB for a client that never read "
                               << sent << " bytes of commands";
    }
    close(silent);
    EXPECT_TRUE(rig.alive());
}

TEST(FaultVty, TwoHundredConnectionsAtOnce) {
    vesk_test::Veskd rig;
    ASSERT_NO_FATAL_FAILURE(rig.start_on_sockets());
    const int descriptors = vesk_test::open_descriptors(rig.pid());
    std::vector<int> fds;
    for (int i = 0; i < 200; i++) {
        int fd = connect_unix(rig.vty_path());
        if (fd >= 0)
            fds.push_back(fd);
    }
    EXPECT_GT(fds.size(), 0u);
    std::chrono::milliseconds took{};
    EXPECT_NE(rig.vty().command("show loop-detect", 10s, &took), "");
    EXPECT_LT(took, 1000ms) << "vty slow with 200 connections waiting";
    // Past the session limit the daemon says so and closes; none of them stays half open.
    size_t refused = 0;
    wait_for(
        [&] {
            refused = 0;
            for (int fd : fds)
                refused += closed_by_daemon(fd) ? 1 : 0;
            return refused >= fds.size() - 16;
        },
        10s);
    EXPECT_GE(refused, fds.size() - 16) << "sessions beyond the limit were not refused";
    for (int fd : fds)
        close(fd);
    EXPECT_TRUE(
        wait_for([&] { return vesk_test::open_descriptors(rig.pid()) <= descriptors; }, 10s))
        << vesk_test::open_descriptors(rig.pid()) << " descriptors, " << descriptors << " before";
    vesk_test::VtyClient again;
    EXPECT_TRUE(again.connect(rig.vty_path()));
    EXPECT_NE(again.command("show loop-detect"), "");
    EXPECT_TRUE(rig.alive());
}

} // namespace
