// A TCP port for a vty listener.
#pragma once

#include <cstdint>

namespace vesk_test {

// A TCP port on 127.0.0.1 that nothing listens on right now.
uint16_t free_tcp_port();

} // namespace vesk_test
