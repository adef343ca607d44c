// Whether the daemon's model holds together (defined in world.cpp): counts against entries,
// memberships on the port's side against the VLAN's, range lists in order, protect entries active
// exactly where the port is a member, states in range, each timer armed only in the state that
// waits on it. Gives the first contradiction in zg's model, or "".
#pragma once

#include <string>

struct lib_globals;

namespace vesk_check {
std::string model_fault(lib_globals *zg);
} // namespace vesk_check
