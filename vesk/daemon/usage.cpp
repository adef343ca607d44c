#include "vesk/daemon/usage.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

const struct option longopts[] = {
    {"daemon", no_argument, nullptr, 'd'},         {"config_file", required_argument, nullptr, 'f'},
    {"vty_port", required_argument, nullptr, 'P'}, {"version", no_argument, nullptr, 'v'},
    {"help", no_argument, nullptr, 'h'},           {nullptr, 0, nullptr, 0},
};

// The text of argv0 after its last "/".
static const char *vesk_progname(const char *argv0) {
    if (argv0 == nullptr)
        return "veskd";
    const char *slash = std::strrchr(argv0, '/');
    return slash != nullptr ? slash + 1 : argv0;
}

// A port number must be all digits and fit 16 bits: a typo must not silently turn the vty
// off (port 0) or move it to the truncated value of a larger number.
static int vesk_parse_port(const char *text, uint16_t *port) {
    if (text == nullptr || *text < '0' || *text > '9')
        return -1;
    char *end = nullptr;
    errno = 0;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > 65535)
        return -1;
    *port = static_cast<uint16_t>(value);
    return 0;
}

enum vesk_opt_action vesk_parse_options(int argc, char **argv, struct vesk_options *opts) {
    opts->daemon_mode = 0;
    opts->config_file = nullptr;
    opts->vty_port = VESK_VTY_PORT_DEFAULT;
    opts->progname = vesk_progname(argc > 0 ? argv[0] : nullptr);
    optind = 0;
    opterr = 1;
    for (;;) {
        int opt = getopt_long(argc, argv, VESK_OPTSTRING, longopts, nullptr);
        switch (opt) {
        case -1:
            return VESK_OPT_START;
        case 0:
            break;
        case 'd':
            opts->daemon_mode = 1;
            break;
        case 'f':
            opts->config_file = optarg;
            break;
        case 'P':
            if (vesk_parse_port(optarg, &opts->vty_port) != 0) {
                std::fprintf(stderr, "%s: invalid vty port '%s' (0 to 65535)\n", opts->progname,
                             optarg);
                return VESK_OPT_BAD;
            }
            break;
        case 'v':
            return VESK_OPT_VERSION;
        case 'h':
            return VESK_OPT_HELP;
        default:
            return VESK_OPT_BAD;
        }
    }
}

// The usage text (status 0, on out) or the hint line (any other status, on err).
static void vesk_print_usage(FILE *out, FILE *err, int status, const char *progname) {
    if (status != 0) {
        std::fprintf(err, "Try `%s --help' for more information.\n", progname);
        return;
    }
    std::fprintf(out,
                 "Usage : %s [OPTION...]\n\n"
                 "Daemon which manages kernel routing table management and redistribution "
                 "between different routing protocols.\n\n"
                 "-d, --daemon       Runs in daemon mode\n"
                 "-f, --config_file  Set configuration file name\n"
                 "-P, --vty_port     Set vty's port number\n"
                 "-v, --version      Print program version\n"
                 "-h, --help         Display this help and exit\n\n"
                 "Report bugs to %s\n",
                 progname, VESK_SUPPORT_ADDRESS);
}

void vesk_usage(int status, const char *progname) {
    vesk_print_usage(stdout, stderr, status, progname);
    std::exit(status);
}
