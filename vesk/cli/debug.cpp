#include "vesk/cli/debug.h"

struct vesk_debug_flags vesk_global_debug = {};
