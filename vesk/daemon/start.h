// Start-up of veskd: the framework, the daemon's subsystems, and the event loop.
#pragma once

#include <cstdint>

struct lib_globals;

// What vesk_start gives when another daemon holds the place (its vty socket's lock).
constexpr int VESK_START_LOCKED = -2;
// The vty's Unix socket when VESK_VTY_SOCKET is not set, and the operator group used when
// VESK_VTY_GROUP is not set and this group exists.
inline constexpr char VESK_VTY_SOCKET_DEFAULT[] = "/run/veskd/vty";
inline constexpr char VESK_VTY_GROUP_DEFAULT[] = "vesk";
// The only directory where operators other than root may name log files, when VESK_LOG_DIR is
// not set.
inline constexpr char VESK_LOG_DIR_DEFAULT[] = "/var/log/veskd";
// Runs start-up and then the event loop: 0 when the loop ends, -1 when start-up failed,
// VESK_START_LOCKED when another daemon runs in the same place.
int vesk_start(int daemon_mode, const char *config_file, uint16_t vty_port, const char *progname);
// The framework's standard command families.
void vesk_lib_cli_init(struct lib_globals *zg);
// Makes path (normally "/dev/console") the standard input, output and error: 0, or -1 when it
// cannot be opened (the old streams stay).
int vesk_console_redirect(const char *path);
