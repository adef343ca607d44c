// The framework services the daemon uses.
#pragma once

#include "zet/cli.h"
#include "zet/clock.h"
#include "zet/frame_sock.h"
#include "zet/host.h"
#include "zet/if.h"
#include "zet/lib.h"
#include "zet/list.h"
#include "zet/log.h"
#include "zet/memory.h"
#include "zet/nsm_client.h"
#include "zet/pal.h"
#include "zet/signal.h"
#include "zet/table.h"
#include "zet/thread.h"
