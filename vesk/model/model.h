// The whole bridge and port model.
#pragma once

#include "vesk/model/bridge.h"
#include "vesk/model/master.h"
#include "vesk/model/port.h"
#include "vesk/model/provlan.h"
#include "vesk/model/result.h"
