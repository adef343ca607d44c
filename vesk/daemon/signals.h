// Signals of veskd and the stop path. The framework runs the handlers on the event loop.
#pragma once

// Installs sighup (SIGHUP), sigint (SIGINT and SIGTERM) and sigusr1 (SIGUSR1).
void signal_init(void);
// Stops the framework; veskm is null afterwards. Ports that loop detection shut down stay shut
// down.
void vesk_stop(void);
