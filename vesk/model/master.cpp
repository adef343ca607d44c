#include "vesk/model/master.h"

#include "vesk/host/zet.h"
#include "vesk/model/result.h"

int vesk_master_init(struct ovx_vr *vr) {
    if (vr == nullptr)
        return VESK_ERR_ARG;
    // The framework may report a router whose master start-up already made.
    if (vr->proto != nullptr)
        return VESK_SUCCESS;
    auto *master = new vesk_master{};
    master->vr = vr;
    master->globals = vr->zg;
    vr->proto = master;
    return VESK_SUCCESS;
}

struct vesk_master *vesk_get_master(struct lib_globals *zg) {
    if (zg == nullptr)
        return nullptr;
    struct ovx_vr *vr = ovx_vr_get_privileged(zg);
    return vr != nullptr ? static_cast<struct vesk_master *>(vr->proto) : nullptr;
}
