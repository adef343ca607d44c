#include "vesk/frame/auth.h"

#include <sodium.h>
#include <sys/random.h>

static_assert(crypto_shorthash_KEYBYTES == VESK_AUTH_KEY_LEN, "SipHash-2-4 takes a 128-bit key");
static_assert(crypto_shorthash_BYTES == VESK_AUTH_HASH_LEN, "the hash fills the 8 check bytes");

struct vesk_frame_auth vesk_auth = {};

int vesk_auth_init(void) {
    if (vesk_auth.keyed)
        return 0;
    if (getrandom(vesk_auth.key, sizeof vesk_auth.key, 0) != sizeof vesk_auth.key)
        return -1;
    vesk_auth.keyed = 1;
    return 0;
}

int vesk_auth_set(int on) {
    if (on && vesk_auth_init() != 0)
        return -1;
    vesk_auth.on = on ? 1 : 0;
    return 0;
}

void vesk_auth_sign(const uint8_t *image, uint8_t *check) {
    crypto_shorthash(check, image, VESK_AUTH_COVERED, vesk_auth.key);
}
