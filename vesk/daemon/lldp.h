// The LLDP neighbour behind each port, from lldpd (its control socket VESK_LLDPD_SOCKET, else
// lldpd's own): a helper thread asks lldpd for every neighbour, then waits for its change
// notifications and asks again, and keeps the answers in the cache of vesk/host/lldp_cache.h.
// The event loop never talks to lldpd. Without lldpd the thread only tries again now and then,
// and nothing veskd shows or logs changes.
#pragma once

struct lib_globals;

// Starts the helper thread and makes each loop event's log line end with its port's neighbour:
// " (neighbour SYSTEM port PORT)", where one is known.
void vesk_lldp_start(struct lib_globals *zg);
// Ends the helper thread, waiting for it.
void vesk_lldp_stop(void);
