#include "zet/lib.h"

#include "zet/cli.h"
#include "zet/frame_sock.h"
#include "zet/host.h"
#include "zet/if.h"
#include "zet/log.h"
#include "zet/nsm_client.h"
#include "zet/thread.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void copy_env(char *dst, size_t size, const char *name, const char *fallback) {
    const char *v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        v = fallback;
    std::strncpy(dst, v, size - 1);
    dst[size - 1] = '\0';
}

void read_platform(zet_platform &p) {
    copy_env(p.nsm, sizeof p.nsm, "VESK_NSM", "kernel");
    copy_env(p.frame, sizeof p.frame, "VESK_FRAME", "packet");
    copy_env(p.bridge, sizeof p.bridge, "VESK_BRIDGE", "");
    copy_env(p.port_mac, sizeof p.port_mac, "VESK_PORT_MAC", "bridge");
}

} // namespace

struct lib_globals *lib_start(void) {
    auto zg = std::make_unique<lib_globals>();
    read_platform(zg->platform);
    zg->ifg = ifg_create();
    if (zg->ifg == nullptr) {
        zlog_err(nullptr, "lib_start: no memory for the interface group");
        return nullptr;
    }
    zg->vr_priv = ovx_vr_create_privileged(zg.get());
    zg->ctree = zg->vr_priv != nullptr ? cli_tree_create(zg.get()) : nullptr;
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
