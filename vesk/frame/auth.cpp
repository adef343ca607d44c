#include "vesk/frame/auth.h"

#include <sodium.h>
#include <sys/random.h>

static_assert(crypto_shorthash_KEYBYTES == VESK_AUTH_KEY_LEN, "SipHash-2-4 takes a 128-bit key");
static_assert(crypto_shorthash_BYTES == VESK_AUTH_HASH_LEN, "the hash fills the 8 check bytes");

int vesk_auth_init(struct vesk_frame_auth *auth) {
    if (auth->keyed)
        return 0;
    if (getrandom(auth->key, sizeof auth->key, 0) != sizeof auth->key)
        return -1;
    auth->keyed = 1;
    return 0;
}

int vesk_auth_set(struct vesk_frame_auth *auth, int on) {
    if (on && vesk_auth_init(auth) != 0)
        return -1;
    auth->on = on ? 1 : 0;
    return 0;
}

void vesk_auth_sign(const struct vesk_frame_auth *auth, const uint8_t *image, uint8_t *check) {
    crypto_shorthash(check, image, VESK_AUTH_COVERED, auth->key);
}
