// The framework services the daemon uses.
#pragma once

#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/cli/config.h"
#include "zet/cli/host.h"
#include "zet/core/clock.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/memory.h"
#include "zet/core/pal.h"
#include "zet/core/signal.h"
#include "zet/core/thread.h"
#include "zet/frame/sock.h"
#include "zet/nsm/client.h"
