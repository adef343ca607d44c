#include "zet/host.h"

#include "zet/log.h"

// Placeholder until the configuration reader and vty land.
int host_config_start(struct lib_globals *zg, const char *path, uint16_t port) {
    zlog_warn(zg, "configuration %s and vty port %u: not available in this build",
              path != nullptr ? path : "(none)", port);
    return 0;
}

void host_free(struct lib_globals *) {}
