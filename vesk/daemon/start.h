// The steps of veskd's start-up that read its environment and its parent.
#pragma once

#include <sys/types.h>

struct lib_globals;

// The vty's Unix socket when VESK_VTY_SOCKET is not set, and the operator group used when
// VESK_VTY_GROUP is not set and this group exists.
inline constexpr char VESK_VTY_SOCKET_DEFAULT[] = "/run/veskd/vty";
inline constexpr char VESK_VTY_GROUP_DEFAULT[] = "vesk";
// The only directory where operators other than root may name log files, when VESK_LOG_DIR is
// not set.
inline constexpr char VESK_LOG_DIR_DEFAULT[] = "/var/log/veskd";
// The framework's standard command families.
void vesk_lib_cli_init(struct lib_globals *zg);
// Hands the framework what the operator chose in the environment: VESK_NSM, VESK_FRAME,
// VESK_BRIDGE and VESK_PORT_MAC (zg->platform), VESK_VTY_SOCKET and VESK_VTY_GROUP (the vty's
// Unix socket). An unset or empty variable keeps the default.
void vesk_framework_settings(struct lib_globals *zg);
// Tells the framework the log directory (VESK_LOG_DIR, else VESK_LOG_DIR_DEFAULT) and makes it
// when missing.
void vesk_log_dir_start(struct lib_globals *zg);
// Adopts the ports the state file (VESK_STATE, else /run/veskd/state) names, then keeps it.
void vesk_state_start(struct lib_globals *zg);
// Sends SIGRTMIN to a parent monitor that asked for it: 1 when it was sent, else 0.
int vesk_monitor_notify(pid_t parent);
// Makes path (normally "/dev/console") the standard input, output and error: 0, or -1 when it
// cannot be opened (the old streams stay).
int vesk_console_redirect(const char *path);
