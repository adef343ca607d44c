#include "support/vty_server.h"

#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/core/thread.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk_test {

uint16_t free_tcp_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    close(fd);
    return ntohs(addr.sin_port);
}

struct lib_globals *vty_globals_start(const std::string &socket_path) {
    setenv("VESK_VTY_SOCKET", socket_path.c_str(), 1); // for the tools a test runs (vesk-cli)
    struct lib_globals *zg = lib_start();
    if (zg == nullptr)
        return nullptr;
    // Named as the daemon names itself, so prompts and greetings read as operators see them.
    zet_set_name("veskd", "vesk-cli");
    host_vty_set_unix(zg, socket_path.c_str(), nullptr, nullptr);
    zg->log = openzlog(zg, 0, ZLOG_DEST_STDERR);
    zg->master = thread_master_create();
    host_vty_init(zg);
    return zg;
}

} // namespace vesk_test
