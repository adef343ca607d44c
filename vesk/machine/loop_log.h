// The warnings about loops that nothing cuts. Such a loop stays, and every frame that crosses
// it says the same again: hundreds of lines a second would bury the log.
#pragma once

#include <cstdint>

struct lib_globals;

// Writes a warning about a loop that is not cut: a line not written in the last interval
// seconds at once; a repeat within them is held back and counted. The count goes with the next
// line after the interval, "(N more like this in the last S s)", or, when the line does not
// come again within a second interval, on a line of its own that adds "; none in the last Q s".
void vesk_loop_log(struct lib_globals *handle, uint32_t interval, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

// Forgets every line and disarms the timer; as the model is released.
void vesk_loop_log_forget(void);
