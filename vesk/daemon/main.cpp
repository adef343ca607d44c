#include "vesk/daemon/lifecycle.h"
#include "vesk/daemon/signals.h"
#include "vesk/daemon/usage.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

#include <cstdlib>
#include <linux/close_range.h>
#include <sys/stat.h>
#include <unistd.h>

int main(int argc, char **argv) {
    // Whatever the starter left open (a file, a socket, a terminal it holds) is not veskd's to
    // keep, nor to hand to anything it runs.
    close_range(3, ~0U, 0);
    pal_signal_segvcatch();
    umask(027);
    struct vesk_options opts {};
    switch (vesk_parse_options(argc, argv, &opts)) {
    case VESK_OPT_HELP:
        vesk_usage(0, opts.progname);
    case VESK_OPT_VERSION:
        print_version(opts.progname);
        std::exit(0);
    case VESK_OPT_BAD:
        vesk_usage(1, opts.progname);
    case VESK_OPT_START:
        break;
    }
    static struct vesk_daemon daemon;
    signal_init(&daemon);
    compile_info_init(argv[0], VESK_BUILD_DATE, VESK_BUILD_TIME, VESK_BUILD_NUMBER);
    const struct vesk_daemon_config config = {opts.daemon_mode != 0, opts.config_file,
                                              opts.vty_port, opts.progname};
    const int built = vesk_daemon_build(&daemon, &config);
    // Only a second daemon is an error to whoever started it; the specified failures end in 0.
    if (built != 0)
        std::exit(built == VESK_START_LOCKED ? 1 : 0);
    std::exit(vesk_daemon_run(&daemon));
}
