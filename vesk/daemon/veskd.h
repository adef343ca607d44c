// Process-wide state of the daemon.
#pragma once

#include <cstdint>

struct lib_globals;

constexpr int VESK_PROTOCOL = 29;
// The daemon's name: its log lines, prompts ("veskd# ") and the vty's greeting.
inline constexpr char VESK_NAME[] = "veskd";
// The vty's client, named in the shell's help and to a refused TCP session.
inline constexpr char VESK_CLIENT_NAME[] = "vesk-cli";

// The framework handle; null before start-up and after vesk_stop.
extern struct lib_globals *veskm;
// The frame socket's descriptor, negative until it is open.
extern int sockfd;
// "loop-detect fast-detect": moves of forwarding entries make the ports involved probe. On by
// default.
extern uint8_t vesk_fast_detect;
