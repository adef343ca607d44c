#include "vesk/daemon/teardown.h"

#include "vesk/cli/kept_config.h"
#include "vesk/host/zet.h"
#include "vesk/machine/loop_log.h"
#include "vesk/model/model.h"

void vesk_release_model(struct lib_globals *zg) {
    vesk_loop_log_forget();
    struct vesk_master *master = vesk_get_master(zg);
    if (master == nullptr)
        return;
    // The interfaces outlive the model: none may point at a port that goes.
    for (const auto &bridge : master->bridges)
        for (const auto &port : bridge->ports)
            if (port->ifp != nullptr && port->ifp->info == port.get())
                port->ifp->info = nullptr;
    vesk_kept_clear();
    if (master->vr != nullptr)
        master->vr->proto = nullptr;
    // Its bridges, their ports and the ports' timers go with it.
    delete master;
}
