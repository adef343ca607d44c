#include "zet/core/lib.h"

#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/if.h"
#include "zet/core/log.h"
#include "zet/core/thread.h"
#include "zet/frame/sock.h"
#include "zet/nsm/client.h"

#include <cstring>
#include <memory>

struct lib_globals *lib_start(void) {
    auto zg = std::make_unique<lib_globals>();
    std::strcpy(zg->platform.nsm, "kernel");
    std::strcpy(zg->platform.frame, "packet");
    std::strcpy(zg->platform.port_mac, "bridge");
    zg->ifg = ifg_create();
    if (zg->ifg == nullptr) {
        zlog_err(nullptr, "lib_start: no memory for the interface group");
        return nullptr;
    }
    zg->vr_priv = ovx_vr_create_privileged(zg.get());
    zg->ctree = zg->vr_priv != nullptr ? cli_tree_create(zg.get()) : nullptr;
    if (zg->ctree != nullptr)
        cli_builtin_install(zg->ctree);
    if (zg->vr_priv == nullptr || zg->ctree == nullptr) {
        zlog_err(nullptr, "lib_start: no memory for the %s",
                 zg->vr_priv == nullptr ? "privileged virtual router" : "command tree");
        lib_stop(zg.release());
        return nullptr;
    }
    return zg.release();
}

void lib_stop(struct lib_globals *zg) {
    if (zg == nullptr)
        return;
    std::unique_ptr<lib_globals> owned(zg);
    host_free(zg);
    nsm_client_free(zg->nc);
    frame_sock_close(zg);
    cli_tree_free(zg->ctree);
    if (zg->master != nullptr)
        thread_master_free(zg->master);
    if (zg->vr_priv != nullptr)
        ovx_vr_free(zg->vr_priv);
    ifg_free(zg->ifg);
    closezlog(zg, zg->log);
}
