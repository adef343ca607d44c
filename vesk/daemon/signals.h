// Signals of veskd and the stop path. The framework runs the handlers on the event loop.
#pragma once

constexpr char VESK_PID_FILE[] = "/var/run/vesk.pid";

// Installs sighup (SIGHUP), sigint (SIGINT and SIGTERM) and sigusr1 (SIGUSR1).
void signal_init(void);
// Logs the signal; nothing is reloaded or restarted.
void sighup(int signo);
// Logs, stops the daemon and exits with status 0.
void sigint(int signo);
// Reopens the log file.
void sigusr1(int signo);
// Removes the pid file and stops the framework; veskm is null afterwards. Ports that loop
// detection shut down stay shut down.
void vesk_stop(void);
// Where vesk_stop looks for the pid file (tests point it elsewhere); null restores the default.
void vesk_set_pid_file(const char *path);
