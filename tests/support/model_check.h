// Whether the daemon's model holds together: entry counts against entries, memberships of every
// VLAN on the port's side against the VLAN's side, range lists in order, protect entries active
// exactly where the port is a member of the VLAN, machine and port states in range, and each
// timer armed only in the state that waits on it. Free of any test framework.
#pragma once

#include <string>

struct lib_globals;

namespace vesk_check {

// The first contradiction found in the model of zg's privileged router, or "" when none.
std::string model_fault(lib_globals *zg);

} // namespace vesk_check
