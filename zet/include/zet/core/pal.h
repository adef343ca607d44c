// Small platform services: checksum, version, daemonizing.
#pragma once

#include <cstddef>
#include <cstdint>

// RFC 1071 Internet checksum over length bytes, summing 16-bit words in memory order; an odd
// length is padded with one zero byte.
uint16_t in_checksum(const void *data, int length);

// Build identity for -v and "show version". program may be a path (its last part is shown);
// null or empty date/time fall back to the library's own build stamp.
void compile_info_init(const char *program, const char *date, const char *time, int date_number);
// Prints "PROGNAME version X.Y.Z (built DATE TIME)\n" to standard output (progname null: the
// program given to compile_info_init).
void print_version(const char *progname);
// The "show version" text (several lines, each ending in "\n"); the first line is the one
// print_version prints. Valid until the next compile_info_init.
const char *zet_version_text(void);

// The daemon names itself and the client its operators reach the vty's Unix socket with
// ("CLIENT -s PATH"), before it starts the framework. The name appears in its log lines and
// syslog identity, its prompts ("NAME# "), the vty's greeting and messages, and in "show version"
// when the program path is empty; the client in the shell's help and when a TCP session is
// refused. Null or "" gives back the defaults, "zet" and "the client".
void zet_set_name(const char *name, const char *client);
// Each valid until zet_set_name is called again.
const char *zet_name(void);
const char *zet_client_name(void);

// Detaches from the terminal: fork, setsid, chdir("/") unless nochdir, standard streams to
// /dev/null unless noclose. Gives 0 in the child (the parent exits), -1 on failure.
int pal_daemonize(int nochdir, int noclose);
