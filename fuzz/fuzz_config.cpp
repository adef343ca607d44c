// Configuration files read at start-up after the switch has reported: the model holds, and the
// running configuration left reads back into itself.
#include "fuzz_daemon.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    // Paths could name any file; the scratch directory is the only place a file may write.
    if (text.find('/') != std::string::npos)
        return 0;
    vesk_fuzz::start_switch(text);
    zlog_set_discard(vesk_fuzz::world.handle()->log);
    vesk_fuzz::world.check_model();
    vesk_fuzz::check_round_trip_and_stop();
    return 0;
}
