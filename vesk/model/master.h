// The per-virtual-router master record, owner of the bridges.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "vesk/model/bridge.h"

struct lib_globals;
struct ovx_vr;
struct vesk_daemon;

struct vesk_master {
    // The virtual router whose protocol slot holds this master.
    struct ovx_vr *vr;
    // The framework handle of the virtual router.
    struct lib_globals *globals;
    // The daemon that owns this model; null until it takes it.
    struct vesk_daemon *daemon;
    // The bridges in the order they were added.
    std::vector<std::unique_ptr<struct vesk_bridge>> bridges;
    // The bridge-wide "loop-detect enable" given while bridge "1" is not there; the bridge takes
    // it when it appears.
    uint8_t kept_enable;
};

// Creates the master of vr and stores it in vr's protocol slot: 0, or -1 without memory.
// Also the virtual-router creator registered with the framework.
int vesk_master_init(struct ovx_vr *vr);
// The master of the privileged virtual router, or null.
struct vesk_master *vesk_get_master(struct lib_globals *zg);
