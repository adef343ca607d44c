#include "vesk/cli/debug.h"

#include "vesk/host/zet.h"

// The packet bits that a mask switches as one: the packet flag and both directions.
constexpr uint32_t VESK_DEBUG_PACKET_BOTH = VESK_DEBUG_PACKET | VESK_DEBUG_SEND | VESK_DEBUG_RECV;
constexpr uint32_t VESK_DEBUG_PACKET_ALL = VESK_DEBUG_PACKET_BOTH | VESK_DEBUG_DETAIL;

// Exec mode changes the flags in force and says so, configure mode changes them silently; any
// other mode changes nothing.
enum vesk_debug_scope { VESK_DEBUG_SCOPE_NONE, VESK_DEBUG_SCOPE_TERM, VESK_DEBUG_SCOPE_CONF };

static vesk_debug_scope vesk_debug_scope_of(struct cli *cli) {
    if (cli->mode == EXEC_MODE) {
        return VESK_DEBUG_SCOPE_TERM;
    }
    if (cli->mode == CONFIG_MODE) {
        return VESK_DEBUG_SCOPE_CONF;
    }
    return VESK_DEBUG_SCOPE_NONE;
}

static const char *vesk_debug_detail(uint32_t bits) {
    return (bits & VESK_DEBUG_DETAIL) ? " detail" : "";
}

static void vesk_debug_set(struct cli *cli, uint32_t *term, uint32_t bits, const char *message) {
    vesk_debug_scope scope = vesk_debug_scope_of(cli);
    if (scope == VESK_DEBUG_SCOPE_NONE) {
        return;
    }
    *term |= bits;
    if (scope == VESK_DEBUG_SCOPE_TERM) {
        cli_out(cli, "%s", message);
    }
}

static void vesk_debug_clear(struct cli *cli, uint32_t *term, uint32_t bits, const char *message) {
    vesk_debug_scope scope = vesk_debug_scope_of(cli);
    if (scope == VESK_DEBUG_SCOPE_NONE) {
        return;
    }
    *term &= ~bits;
    if (scope == VESK_DEBUG_SCOPE_TERM) {
        cli_out(cli, "%s", message);
    }
}

static bool vesk_debug_arg_starts(int argc, char **argv, int index, char letter) {
    return argc > index && argv[index] != nullptr && argv[index][0] == letter;
}

static uint32_t vesk_debug_packet_on_mask(int argc, char **argv) {
    if (argc < 1 || argv[0] == nullptr) {
        return VESK_DEBUG_PACKET_BOTH;
    }
    uint32_t mask = VESK_DEBUG_PACKET;
    switch (argv[0][0]) {
    case 's':
        mask = VESK_DEBUG_PACKET | VESK_DEBUG_SEND;
        break;
    case 'r':
        mask = VESK_DEBUG_PACKET | VESK_DEBUG_RECV;
        break;
    case 'd':
        mask = VESK_DEBUG_PACKET_ALL;
        break;
    default:
        break;
    }
    if (argc == 2 && vesk_debug_arg_starts(argc, argv, 1, 'd')) {
        mask |= VESK_DEBUG_DETAIL;
    }
    return mask;
}

// Taking away the last direction takes packet debugging away as a whole.
static uint32_t vesk_debug_packet_off_mask(int argc, char **argv) {
    if (argc < 1 || argv[0] == nullptr) {
        return VESK_DEBUG_PACKET_ALL;
    }
    uint32_t term = vesk_global_debug.term_packet;
    uint32_t mask = 0;
    switch (argv[0][0]) {
    case 's':
        mask = (term & VESK_DEBUG_RECV) ? VESK_DEBUG_SEND : VESK_DEBUG_PACKET_ALL;
        break;
    case 'r':
        mask = (term & VESK_DEBUG_SEND) ? VESK_DEBUG_RECV : VESK_DEBUG_PACKET_ALL;
        break;
    case 'd':
        mask = VESK_DEBUG_DETAIL;
        break;
    default:
        break;
    }
    if (argc == 2 && vesk_debug_arg_starts(argc, argv, 1, 'd')) {
        mask |= VESK_DEBUG_DETAIL;
    }
    return mask;
}

static void vesk_debug_packet_on_message(struct cli *cli, uint32_t mask) {
    const char *detail = vesk_debug_detail(mask);
    if ((mask & VESK_DEBUG_SEND) && (mask & VESK_DEBUG_RECV)) {
        cli_out(cli, "Vesk packet%s debugging is on\n", detail);
    } else if (mask & VESK_DEBUG_SEND) {
        cli_out(cli, "Vesk send packet%s debugging is on\n", detail);
    } else if (mask & VESK_DEBUG_RECV) {
        cli_out(cli, "Vesk packet receive%s debugging is on\n", detail);
    }
}

static void vesk_debug_packet_off_message(struct cli *cli, uint32_t cleared) {
    const char *detail = vesk_debug_detail(cleared);
    if ((cleared & VESK_DEBUG_SEND) && (cleared & VESK_DEBUG_RECV)) {
        cli_out(cli, "Vesk packet%s debugging is off\n", detail);
    } else if (cleared & VESK_DEBUG_SEND) {
        cli_out(cli, "Vesk send packet%s debugging is off\n", detail);
    } else if (cleared & VESK_DEBUG_RECV) {
        cli_out(cli, "Vesk packet receive%s debugging is off\n", detail);
    } else if (cleared & VESK_DEBUG_DETAIL) {
        cli_out(cli, "Vesk packet detail debugging is off\n");
    }
}

static void vesk_debug_packet_set(struct cli *cli, uint32_t mask) {
    vesk_debug_scope scope = vesk_debug_scope_of(cli);
    if (scope == VESK_DEBUG_SCOPE_NONE) {
        return;
    }
    // The receive thread reads this word while the command runs: change it atomically.
    __atomic_or_fetch(&vesk_global_debug.term_packet, mask, __ATOMIC_RELAXED);
    if (scope == VESK_DEBUG_SCOPE_TERM) {
        vesk_debug_packet_on_message(cli, mask);
    }
}

static void vesk_debug_packet_clear(struct cli *cli, uint32_t mask) {
    vesk_debug_scope scope = vesk_debug_scope_of(cli);
    if (scope == VESK_DEBUG_SCOPE_NONE) {
        return;
    }
    uint32_t cleared = vesk_global_debug.term_packet & mask;
    __atomic_and_fetch(&vesk_global_debug.term_packet, ~mask, __ATOMIC_RELAXED);
    if (scope == VESK_DEBUG_SCOPE_TERM) {
        vesk_debug_packet_off_message(cli, cleared);
    }
}

int debug_vesk_packet(struct cli *cli, int argc, char **argv) {
    vesk_debug_packet_set(cli, vesk_debug_packet_on_mask(argc, argv));
    return 0;
}

int no_debug_vesk_packet(struct cli *cli, int argc, char **argv) {
    vesk_debug_packet_clear(cli, vesk_debug_packet_off_mask(argc, argv));
    return 0;
}

int debug_vesk_events(struct cli *cli, int, char **) {
    vesk_debug_set(cli, &vesk_global_debug.term_event, VESK_DEBUG_EVENT,
                   "loop-detect events debugging is on\n");
    return 0;
}

int no_debug_vesk_events(struct cli *cli, int, char **) {
    vesk_debug_clear(cli, &vesk_global_debug.term_event, VESK_DEBUG_EVENT,
                     "loop-detect events debugging is off\n");
    return 0;
}

int debug_vesk_machine(struct cli *cli, int, char **) {
    vesk_debug_set(cli, &vesk_global_debug.term_event, VESK_DEBUG_MACHINE,
                   "loop-detect machine debugging is on\n");
    return 0;
}

int no_debug_vesk_machine(struct cli *cli, int, char **) {
    vesk_debug_clear(cli, &vesk_global_debug.term_event, VESK_DEBUG_MACHINE,
                     "loop-detect machine debugging is off\n");
    return 0;
}

int debug_vesk_nsm(struct cli *cli, int, char **) {
    vesk_debug_set(cli, &vesk_global_debug.term_nsm, VESK_DEBUG_NSM,
                   "loop-detect nsm debugging is on\n");
    return 0;
}

int no_debug_vesk_nsm(struct cli *cli, int, char **) {
    vesk_debug_clear(cli, &vesk_global_debug.term_nsm, VESK_DEBUG_NSM,
                     "loop-detect nsm debugging is off\n");
    return 0;
}

int debug_vesk_all(struct cli *cli, int, char **) {
    vesk_debug_packet_set(cli, VESK_DEBUG_PACKET_ALL);
    debug_vesk_nsm(cli, 0, nullptr);
    debug_vesk_machine(cli, 0, nullptr);
    debug_vesk_events(cli, 0, nullptr);
    return 0;
}

int no_debug_vesk_all(struct cli *cli, int, char **) {
    vesk_debug_packet_clear(cli, VESK_DEBUG_PACKET_ALL);
    no_debug_vesk_nsm(cli, 0, nullptr);
    no_debug_vesk_machine(cli, 0, nullptr);
    no_debug_vesk_events(cli, 0, nullptr);
    return 0;
}

int show_debugging_vesk(struct cli *cli, int, char **) {
    const struct vesk_debug_flags &d = vesk_global_debug;
    cli_out(cli, "Vesk debugging status:\n");
    if (d.term_event & VESK_DEBUG_EVENT) {
        cli_out(cli, "  Vesk event debugging is on\n");
    }
    if (d.term_event & VESK_DEBUG_MACHINE) {
        cli_out(cli, "  Vesk machine debugging is on\n");
    }
    if (d.term_packet & VESK_DEBUG_PACKET) {
        const char *detail = vesk_debug_detail(d.term_packet);
        if ((d.term_packet & VESK_DEBUG_SEND) && (d.term_packet & VESK_DEBUG_RECV)) {
            cli_out(cli, "  Vesk packet%s debugging is on\n", detail);
        } else if (d.term_packet & VESK_DEBUG_SEND) {
            cli_out(cli, "  Vesk packet send%s debugging is on\n", detail);
        } else {
            cli_out(cli, "  Vesk packet receive%s debugging is on\n", detail);
        }
    }
    if (d.term_nsm & VESK_DEBUG_NSM) {
        cli_out(cli, "  Vesk NSM debugging is on\n");
    }
    cli_out(cli, "\n");
    return 0;
}

static const char *const debug_vesk_packet_cmd_help[] = {"Debugging functions (see also 'undebug')",
                                                         "Neighbor Loop Detect Protocol (VESK)",
                                                         "loop-detect packet",
                                                         "loop-detect receive packets",
                                                         "loop-detect send packets",
                                                         "Detailed information display",
                                                         nullptr};
const struct cli_element debug_vesk_packet_cmd = {"debug loop-detect packet (recv|send|) (detail|)",
                                                  debug_vesk_packet, debug_vesk_packet_cmd_help};

static const char *const no_debug_vesk_packet_cmd_help[] = {
    "Negate a command or set its defaults", "Debugging functions (see also 'undebug')",
    "loop-detect protect protocol(VESK)",   "packet",
    "loop-detect receive packets",          "loop-detect send packets",
    "Detailed information display",         nullptr};
const struct cli_element no_debug_vesk_packet_cmd = {
    "no debug loop-detect packet (recv|send|) (detail|)", no_debug_vesk_packet,
    no_debug_vesk_packet_cmd_help};

static const char *const debug_vesk_events_cmd_help[] = {"Debugging functions (see also 'undebug')",
                                                         "Neighbor Loop Detect Protocol (VESK)",
                                                         "VESK events information", nullptr};
const struct cli_element debug_vesk_events_cmd = {"debug loop-detect events", debug_vesk_events,
                                                  debug_vesk_events_cmd_help};

static const char *const no_debug_vesk_events_cmd_help[] = {
    "Negate a command or set its defaults", "Debugging functions (see also 'undebug')",
    "Neighbor Loop Detect Protocol (VESK)", "VESK events information", nullptr};
const struct cli_element no_debug_vesk_events_cmd = {
    "no debug loop-detect events", no_debug_vesk_events, no_debug_vesk_events_cmd_help};

static const char *const debug_vesk_machine_cmd_help[] = {
    "Debugging functions (see also 'undebug')", "loop-detect protect protocol(VESK)",
    "VESK machine information", nullptr};
const struct cli_element debug_vesk_machine_cmd = {"debug loop-detect machine", debug_vesk_machine,
                                                   debug_vesk_machine_cmd_help};

static const char *const no_debug_vesk_machine_cmd_help[] = {
    "Negate a command or set its defaults", "Debugging functions (see also 'undebug')",
    "Neighbor Loop Detect Protocol (VESK)", "VESK machine information", nullptr};
const struct cli_element no_debug_vesk_machine_cmd = {
    "no debug loop-detect machine", no_debug_vesk_machine, no_debug_vesk_machine_cmd_help};

static const char *const debug_vesk_nsm_cmd_help[] = {"Debugging functions (see also 'undebug')",
                                                      "Neighbor Loop Detect Protocol (VESK)",
                                                      "VESK NSM information", nullptr};
const struct cli_element debug_vesk_nsm_cmd = {"debug loop-detect nsm", debug_vesk_nsm,
                                               debug_vesk_nsm_cmd_help};

static const char *const no_debug_vesk_nsm_cmd_help[] = {
    "Negate a command or set its defaults", "Debugging functions (see also 'undebug')",
    "Neighbor Loop Detect Protocol (VESK)", "VESK NSM information", nullptr};
const struct cli_element no_debug_vesk_nsm_cmd = {"no debug loop-detect nsm", no_debug_vesk_nsm,
                                                  no_debug_vesk_nsm_cmd_help};

static const char *const show_debugging_vesk_cmd_help[] = {
    "Show running system information", "Debugging functions (see also 'undebug')",
    "loop-detect protect protocol(VESK)", nullptr};
const struct cli_element show_debugging_vesk_cmd = {
    "show debugging loop-detect", show_debugging_vesk, show_debugging_vesk_cmd_help};

static const char *const no_debug_vesk_all_cmd_help[] = {
    "Negate a command or set its defaults", "Debugging functions (see also 'undebug')",
    "Neighbor Loop Detect Protocol (VESK)", "Enable all debugging", nullptr};
const struct cli_element no_debug_vesk_all_cmd = {"no debug loop-detect all", no_debug_vesk_all,
                                                  no_debug_vesk_all_cmd_help};

static const char *const show_debugging_vesk_all_cmd_help[] = {
    "Show running system information", "Debugging functions (see also 'undebug')", nullptr};
const struct cli_element show_debugging_vesk_all_cmd = {"show debugging", show_debugging_vesk,
                                                        show_debugging_vesk_all_cmd_help};

static const char *const no_debug_all_vesk_cmd_help[] = {"Negate a command or set its defaults",
                                                         "Debugging functions (see also 'undebug')",
                                                         "all", nullptr};
const struct cli_element no_debug_all_vesk_cmd = {"no debug all", no_debug_vesk_all,
                                                  no_debug_all_vesk_cmd_help};

static const char *const debug_vesk_all_cmd_help[] = {"Debugging functions (see also 'undebug')",
                                                      "Neighbor Loop Detect Protocol (VESK)",
                                                      "Enable all debugging", nullptr};
const struct cli_element debug_vesk_all_cmd = {"debug loop-detect all", debug_vesk_all,
                                               debug_vesk_all_cmd_help};
