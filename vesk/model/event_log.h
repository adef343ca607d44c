// Event debug lines of the model, written only while event debugging is on.
#pragma once

#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "zet/core/log.h"

#define VESK_EVENT_DEBUG(...)                                                                      \
    do {                                                                                           \
        if (IS_VESK_DEBUG_EVENT())                                                                 \
            zlog_debug(veskm, __VA_ARGS__);                                                        \
    } while (0)
