// The framework's vty server inside a test process, and a TCP port for a vty listener.
#pragma once

#include <cstdint>
#include <string>

struct lib_globals;

namespace vesk_test {

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t free_tcp_port();

// Globals with a log on standard error, an event loop and the vty commands, the Unix socket
// named socket_path through VESK_VTY_SOCKET; null when they cannot be had. The test installs
// its own commands, starts the listeners with host_config_start, and ends with lib_stop and
// unsetting VESK_VTY_SOCKET.
struct lib_globals *vty_globals_start(const std::string &socket_path);

} // namespace vesk_test
