// Frame authentication ("loop-detect authentication"): the check bytes of every frame become a
// keyed hash (SipHash-2-4) of the image's bytes 0-51 under a key drawn at start, so frames that
// name this device's ports cannot be made by anyone who has only seen earlier ones.
#pragma once

#include <cstdint>

constexpr int VESK_AUTH_KEY_LEN = 16;
// Image bytes the hash covers: everything before the check bytes.
constexpr int VESK_AUTH_COVERED = 52;
// The hash's length: it fills the check bytes.
constexpr int VESK_AUTH_HASH_LEN = 8;

struct vesk_frame_auth {
    int on;    // frames are signed (the command); off: the check values of the frame format
    int keyed; // key holds a key drawn from the kernel's random source
    uint8_t key[VESK_AUTH_KEY_LEN];
};

// A daemon's record is read and written on its main thread only (commands, transmit and verdict
// all run there).

// Draws the key once; gives 0, or -1 when no random key can be had (authentication stays off).
int vesk_auth_init(struct vesk_frame_auth *auth);
// Turns signing on (drawing the key when none was drawn yet) or off. Gives 0, or -1 when on was
// asked for and no key could be drawn.
int vesk_auth_set(struct vesk_frame_auth *auth, int on);
// The 8 check bytes of a frame image (at least VESK_AUTH_COVERED bytes) under the key.
void vesk_auth_sign(const struct vesk_frame_auth *auth, const uint8_t *image, uint8_t *check);
