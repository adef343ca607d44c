#include "support/vty_server.h"

#include "zet/cli.h"
#include "zet/lib.h"
#include "zet/log.h"
#include "zet/thread.h"

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
    setenv("VESK_VTY_SOCKET", socket_path.c_str(), 1);
    struct lib_globals *zg = lib_start();
    if (zg == nullptr)
        return nullptr;
    zg->log = openzlog(zg, 0, 0, ZLOG_DEST_STDERR);
    zg->master = thread_master_create();
    host_vty_init(zg);
    return zg;
}

} // namespace vesk_test
