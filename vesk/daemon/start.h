// Start-up of veskd: the framework, the daemon's subsystems, and the event loop.
#pragma once

#include <cstdint>
#include <sys/types.h>

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
// The NSM link.
void vesk_initialize(struct lib_globals *zg);
// The framework's standard command families.
void vesk_lib_cli_init(struct lib_globals *zg);
// Hands the framework what the operator chose in the environment: VESK_NSM, VESK_FRAME,
// VESK_BRIDGE and VESK_PORT_MAC (zg->platform), VESK_VTY_SOCKET and VESK_VTY_GROUP (the vty's
// Unix socket). An unset or empty variable keeps the default.
void vesk_framework_settings(struct lib_globals *zg);
// Tells the framework the log directory (VESK_LOG_DIR, else VESK_LOG_DIR_DEFAULT) and makes it,
// mode 0750, when missing: owned by VESK_USER when veskd will run as that user, so its log
// files can be opened there after the privileges are dropped.
void vesk_log_dir_start(struct lib_globals *zg);
// Sends SIGRTMIN to parent when the first word of its command line contains "monitor" and the
// parent catches or blocks that signal (the handshake it asked for, never a signal that would
// kill it): 1 when it was sent, else 0.
int vesk_monitor_notify(pid_t parent);
// Makes path (normally "/dev/console") the standard input, output and error: 0, or -1 when it
// cannot be opened (the old streams stay).
int vesk_console_redirect(const char *path);
// Adopts the ports the state file (VESK_STATE, else /run/veskd/state) names, then keeps it.
void vesk_state_start(struct lib_globals *zg);
// Runs the framework's event loop until it ends.
int vesk_event_loop(struct lib_globals *zg);
