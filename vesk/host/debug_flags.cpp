#include "vesk/host/debug_flags.h"

struct vesk_debug_flags vesk_global_debug = {};

void vesk_debug_init(struct vesk_debug_flags *flags) {
    flags->term_event = 0;
    flags->term_nsm = 0;
    flags->term_packet = 0;
}
