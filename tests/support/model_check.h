// The first contradiction in zg's model (counts, memberships, range order, active entries, states,
// timers), or "" when it holds together; defined in world.cpp.
#pragma once

#include <string>

struct lib_globals;

namespace vesk_check {
std::string model_fault(lib_globals *zg);
} // namespace vesk_check
