// The switch platform's frame socket (address family 53).
#pragma once

struct lib_globals;
struct frame_sock;

// Closes the frame socket that zg->fsock holds; lib_stop calls it.
void frame_sock_close(struct lib_globals *zg);
