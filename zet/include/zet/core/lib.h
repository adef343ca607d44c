// Starting and stopping the framework: the only calls that reach into every subsystem.
#pragma once

#include "zet/core/globals.h"

// Gives the handle, or null when the framework cannot start.
struct lib_globals *lib_start(void);
// Releases everything lib_start and the framework calls made through the handle.
void lib_stop(struct lib_globals *zg);
