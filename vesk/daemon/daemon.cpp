#include "vesk/daemon/daemon.h"

#include "vesk/model/master.h"

struct vesk_daemon *vesk_daemon_of(const struct lib_globals *zg) {
    struct vesk_master *master = vesk_get_master(const_cast<struct lib_globals *>(zg));
    return master != nullptr ? master->daemon : nullptr;
}
