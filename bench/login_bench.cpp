// A vty login: checking one password against its stored hash (what veskd's event loop spends on
// every TCP login try), and a whole TCP login on 127.0.0.1, from connecting to the first prompt.
#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/core/thread.h"

namespace {

void BM_PasswordCheck(benchmark::State &state) {
    const std::string hash = zet::access::hash_password("operator-password");
    bool ok = true;
    for (auto _ : state)
        ok = ok && zet::access::password_matches(hash, "operator-password");
    if (!ok)
        state.SkipWithError("the password did not match");
}
BENCHMARK(BM_PasswordCheck)->Unit(benchmark::kMillisecond);

// Runs the server's loop until the client has read text ending in tail; false when it closed.
bool read_until(lib_globals *zg, int fd, const std::string &tail) {
    std::string got;
    char buf[512];
    while (got.size() < tail.size() || got.compare(got.size() - tail.size(), tail.size(), tail)) {
        thread_run_due(zg);
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0)
            return false;
        if (n > 0)
            got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

void BM_TcpLogin(benchmark::State &state) {
    std::string dir = "/tmp/vesk-login-bench-" + std::to_string(getpid());
    lib_globals *zg = lib_start();
    zet_set_name("veskd", "vesk-cli");
    host_vty_set_unix(zg, (dir + ".vty").c_str(), nullptr, nullptr);
    zg->log = openzlog(zg, 0, ZLOG_DEST_STDERR);
    zlog_set_discard(zg->log);
    zg->master = thread_master_create();
    host_vty_init(zg);
    host_vty_set_password(zg, HOST_PASSWORD_LOGIN,
                          zet::access::hash_password("operator-password").c_str());
    const uint16_t port = static_cast<uint16_t>(20000 + getpid() % 20000);
    if (host_config_start(zg, nullptr, port) != 0)
        state.SkipWithError("no vty listener");
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (auto _ : state) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0 ||
            !read_until(zg, fd, "Password: ") ||
            send(fd, "operator-password\n", 18, MSG_NOSIGNAL) != 18 ||
            !read_until(zg, fd, "veskd> "))
            state.SkipWithError("the login failed");
        close(fd);
        while (host_vty_sessions(zg) > 0)
            thread_run_due(zg);
    }
    lib_stop(zg);
}
BENCHMARK(BM_TcpLogin)->Unit(benchmark::kMillisecond);

} // namespace
