// The host: the configuration file read at start-up and written by "write", and the vty server
// (TCP on 127.0.0.1 and a Unix socket). See docs/cli.md.
#pragma once

#include <cstdint>
#include <string>

#include "zet/cli/vty_limits.h"

struct lib_globals;

// Where the vty's Unix socket is (null or "": none, the vty then listens on TCP only), and who
// besides root and the daemon's own user may use it: the members of group when it names one,
// else of fallback when that exists, else of root's group (group and fallback may be null). The
// daemon says so before host_lock_place and host_config_start.
void host_vty_set_unix(struct lib_globals *zg, const char *path, const char *group,
                       const char *fallback);

// Takes the lock that makes this process the only daemon of its place: an flock on PATH.lock
// beside the vty's Unix socket (host_vty_set_unix), held until the process ends. Gives 0 (also
// when the lock file cannot be made: logged, and the daemon runs on; and without a Unix socket,
// when there is no place to lock), or -1 with the reason in err when another process holds it.
int host_lock_place(struct lib_globals *zg, char *err, int err_size);

// Reads the configuration file (path may be null: nothing to read, and "write" has no file),
// then opens the vty on 127.0.0.1:port (0: no TCP listener) and on the Unix socket
// (host_vty_set_unix; none when not set). The file's lines run in configure mode with
// privilege 15; a failing line is logged as "FILE:LINE: ..." and the rest still applies; a
// missing file is a logged warning. Gives 0, or -1 when a listener could not be opened (logged;
// the configuration is read all the same).
int host_config_start(struct lib_globals *zg, const char *path, uint16_t port);
// Closes the vty (every session, both listeners, removes the Unix socket) and forgets the
// configuration path; lib_stop calls it. Safe when host_config_start never ran.
void host_free(struct lib_globals *zg);

// The running configuration, as "show running-config" prints it: the framework's lines (log
// file, passwords), then the daemon's writers (cli_install_config).
std::string cli_running_config(struct lib_globals *zg);

// Runs a configuration file as host_config_start does (without opening the vty). Gives the
// number of failing lines, or -1 when the file cannot be opened.
int host_config_read(struct lib_globals *zg, const char *path);
// The configuration path given at start-up, or null.
const char *host_config_path(struct lib_globals *zg);
// Writes the running configuration to the start-up configuration path, atomically (temporary
// file in the same directory, fsync, rename, fsync of the directory). Lines beginning with "%"
// (operator messages a writer printed) are logged instead of saved. Gives 0, or -1 with the
// reason in err (nothing is changed on failure).
int host_config_write(struct lib_globals *zg, char *err, int err_size);

void host_vty_set_limits(struct lib_globals *zg, const struct host_vty_limits *limits);
// The TCP port actually listened on , or 0.
uint16_t host_vty_port(struct lib_globals *zg);
// The Unix socket path listened on, or null.
const char *host_vty_unix_path(struct lib_globals *zg);
// Sessions open now.
int host_vty_sessions(struct lib_globals *zg);
// Takes a connected socket as a vty session of the TCP door (tcp) or the Unix door, past the
// door's checks (fuzzers); the vty closes fd with the session.
void host_vty_adopt(struct lib_globals *zg, int fd, bool tcp);

// The log directory: the one place where sessions that are not root's may name log files
// (cli_set_confined). Unset (or null), such sessions may name none.
void host_set_log_dir(struct lib_globals *zg, const char *dir);
const char *host_log_dir(struct lib_globals *zg);

// The vty passwords: TCP sessions log in with the login password and reach privilege 15 with
// the enable password. Both are kept only as crypt hashes (zet/core/access.h).
enum host_password : int { HOST_PASSWORD_LOGIN = 0, HOST_PASSWORD_ENABLE = 1 };
// The hash in force, or null when that password is not set.
const char *host_vty_password(struct lib_globals *zg, int which);
// Sets the hash (null or "" clears the password).
void host_vty_set_password(struct lib_globals *zg, int which, const char *hash);
