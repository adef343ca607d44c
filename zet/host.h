// The configuration file and the vty server.
#pragma once

#include <cstdint>

struct lib_globals;

// Reads the configuration file (path may be null) and opens the vty on 127.0.0.1:port
// (0: no TCP listener) and on its Unix socket.
int host_config_start(struct lib_globals *zg, const char *path, uint16_t port);
// Closes the vty and forgets the configuration; lib_stop calls it.
void host_free(struct lib_globals *zg);
