#include "zet/frame_sock.h"

#include "zet/lib.h"

// Placeholder until the frame socket lands: nothing is ever opened.
void frame_sock_close(struct lib_globals *zg) { zg->fsock = nullptr; }
