// The command line of veskd: options, usage text and hint line.
#pragma once

#include <cstdint>
#include <getopt.h>

constexpr char VESK_OPTSTRING[] = "df:hp:P:rv";
constexpr uint16_t VESK_VTY_PORT_DEFAULT = 2610;
constexpr char VESK_SUPPORT_ADDRESS[] = "<veskd-bugs@example.org>";

extern const struct option longopts[];

// Start-up options handed from main to vesk_start.
struct vesk_options {
    int daemon_mode;
    const char *config_file;
    uint16_t vty_port;
    const char *progname;
};

// What main does after the option loop.
enum vesk_opt_action : int {
    VESK_OPT_START = 0,
    VESK_OPT_HELP = 1,
    VESK_OPT_VERSION = 2,
    VESK_OPT_BAD = 3,
};

// Runs the option loop over argv from its start (getopt's state is reset) and fills opts,
// whose defaults it sets first. Stops at -h, -v or the first bad option. A -P value that is
// not a whole number from 0 to 65535 is a bad option and is named on standard error.
enum vesk_opt_action vesk_parse_options(int argc, char **argv, struct vesk_options *opts);
// Prints the usage text (status 0, to standard output) or the hint line (any other status, to
// standard error), then exits with status.
[[noreturn]] void vesk_usage(int status, const char *progname);
