// Releasing the daemon's records when it stops.
#pragma once

struct lib_globals;

// Frees the master record of zg's privileged virtual router with its bridges, VLANs, ports,
// protect VLANs and range lists. Armed timers are cancelled; nothing is sent and no port state
// changes, so ports that loop detection shut down stay shut down.
void vesk_release_model(struct lib_globals *zg);
