// The veskd process from outside: the scenario files, and in C++ the monitor and service-manager
// handshakes, daemon mode, and stopping while frames keep arriving. The integration tests are one
// program: the other sources of this folder join this one.
#include "support/daemon_process.h"
#include "support/vty_server.h"
#include "vesk/daemon/recv_thread.h"

#include <arpa/inet.h>
#include <atomic>
#include <fstream>
#include <sys/un.h>
#include <thread>

namespace {

using namespace std::chrono_literals;
using vesk_test::read_file;
using vesk_test::wait_for;

VESK_SCENARIOS(Socket, VESK_SOURCE_DIR "/tests/integration/scenarios");

// Under a parent whose program path names the monitor, which counts the SIGRTMIN it gets: the
// handshake comes once, before the event loop, so SIGHUP (which only logs) sends no second one.
// Of two vty ports the later one is used.
TEST(VeskdProcess, MonitorHandshakeOnceSighupKeepsServingTheLaterVtyPort) {
    vesk_test::Veskd d;
    const std::string parent_log = d.dir() + "/monitor.log", child = d.dir() + "/daemon.pid";
    uint16_t ports[2] = {vesk_test::free_tcp_port(), vesk_test::free_tcp_port()};
    ASSERT_NE(ports[0], ports[1]);
    d.set_wrapper({"/bin/bash", "/usr/lib/switch/vesk-monitor", "-c",
                   "trap 'echo rtmin >> " + parent_log + "' RTMIN\n\"$@\" & echo $! > " + child +
                       ".tmp && mv " + child + ".tmp " + child +
                       "\nwhile :; do wait $!; rc=$?; kill -0 $! 2>/dev/null || exit $rc; done",
                   "monitor"});
    ASSERT_NO_FATAL_FAILURE(
        d.start_on_sockets({}, {"-P", std::to_string(ports[0]), "-P", std::to_string(ports[1])}));
    ASSERT_TRUE(wait_for([&] { return read_file(parent_log) == "rtmin\n"; }));
    const pid_t daemon = std::atoi(read_file(child).c_str());
    ASSERT_GT(daemon, 0);
    for (uint16_t port : ports) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0,
                  port == ports[1])
            << port;
        close(fd);
    }
    kill(daemon, SIGHUP);
    ASSERT_TRUE(d.logged("SIGHUP received"));
    ASSERT_TRUE(d.logged("veskd restarting!"));
    ASSERT_TRUE(d.vty().connect(d.vty_path())) << "a new session after SIGHUP";
    EXPECT_EQ(d.cmd("configure terminal"), "");
    EXPECT_EQ(d.vty().prompt(), "veskd(config)# ");
    EXPECT_EQ(read_file(parent_log), "rtmin\n");
    kill(daemon, SIGTERM);
    EXPECT_EQ(d.stop(0), 0);
}

// The service manager hears every datagram veskd sends, in order: ready, a watchdog kick a
// second for a 2 s watchdog from the event loop, and stopping. SIGINT comes while frames keep
// arriving: the receive thread must be gone before the framework it posts into is freed (the
// sanitizer builds turn a late post into a failed exit), and the pid file goes.
TEST(VeskdProcess, ServiceManagerHearsReadyKicksAndStoppingDuringAFrameStorm) {
    vesk_test::Veskd d;
    const std::string path = d.dir() + "/notify", pid_file = "/var/run/vesk.pid";
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{AF_UNIX, {}};
    path.copy(addr.sun_path, sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    std::string heard;
    auto hears = [&](const std::string &text) {
        return wait_for([&] {
            char buf[512];
            for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
                heard.append(buf, static_cast<size_t>(n)).push_back('|');
            return heard.find(text) != std::string::npos;
        });
    };
    ASSERT_NO_FATAL_FAILURE(d.start_on_sockets({"NOTIFY_SOCKET=" + path, "WATCHDOG_USEC=2000000"}));
    EXPECT_TRUE(hears("READY=1|WATCHDOG=1|WATCHDOG=1|")) << heard;
    std::atomic<bool> stop{false};
    std::atomic<long> delivered{0};
    std::thread storm([&] {
        const uint8_t mac[6] = {0x02, 0, 0, 0, 0, 0x01};
        uint8_t frame[46] = {0x00, 0x01, 0x08, 0x00, 0x06, 0x04, 0x00, 0x01};
        while (!stop.load())
            d.wire()->deliver(5, mac, mac, frame, sizeof frame) ? void(delivered++)
                                                                : std::this_thread::yield();
    });
    EXPECT_TRUE(wait_for([&] { return delivered.load() >= 1000; }, 5s)) << "no storm";
    mkdir("/var/run", 0755);
    EXPECT_TRUE(std::ofstream(pid_file) << d.pid() << "\n");
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(d.stop(SIGINT), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 2s);
    stop.store(true);
    storm.join();
    EXPECT_TRUE(hears("|STOPPING=1|")) << heard;
    close(fd);
    EXPECT_NE(access(pid_file.c_str(), F_OK), 0) << pid_file << " is still there";
    EXPECT_EQ(d.log_count("Terminating on signal"), 1u);
    EXPECT_EQ(d.log_count("receive thread did not stop"), 0u);
}

// A signal during start-up stops the daemon before its receive thread ever ran: nothing to stop
// is no failure, so the framework is still freed.
TEST(ReceiveThread, StopBeforeItEverRanIsNoFailure) {
    EXPECT_EQ(vesk_recv_thread_stop(nullptr), 0);
}

// The daemon's parent ends at once; the detached daemon serves the vty the rig waits for.
TEST(VeskdProcess, DaemonModeDetachesAndKeepsServing) {
    vesk_test::Veskd d;
    ASSERT_NO_FATAL_FAILURE(d.start_on_sockets({}, {"-d", "-P", "0"}));
    EXPECT_EQ(d.stop(0), 0);
    pid_t detached = 0;
    ASSERT_TRUE(wait_for([&] {
        for (const auto &e : std::filesystem::directory_iterator("/proc"))
            if (read_file(e.path() / "cmdline").find(d.config_path()) != std::string::npos)
                detached = static_cast<pid_t>(std::atoi(e.path().filename().c_str()));
        return detached > 0;
    }));
    const pid_t session = getsid(detached);
    kill(detached, SIGTERM);
    EXPECT_EQ(session, detached) << "it did not leave the terminal's session";
    EXPECT_TRUE(wait_for([&] { return kill(detached, 0) != 0; })) << "it did not stop";
}

} // namespace
