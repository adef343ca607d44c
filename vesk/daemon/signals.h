// Signals of veskd and the stop path. The framework runs the handlers on the event loop.
#pragma once

struct vesk_daemon;

// Installs sighup (SIGHUP), sigint (SIGINT and SIGTERM) and sigusr1 (SIGUSR1) for d, which the
// handlers act on from then on.
void signal_init(struct vesk_daemon *d);
// Stops the daemon: the services beside it, the receive thread, then its model and framework.
// Ports that loop detection shut down stay shut down.
void vesk_stop(struct vesk_daemon *d);
