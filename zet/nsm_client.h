// The network services client.
#pragma once

#include <cstddef>
#include <cstdint>

struct lib_globals;
struct nsm_client;

enum : int {
    NSM_MSG_VESK_PORT_STATE = 168,
};

struct nsm_client *nsm_client_create(struct lib_globals *zg, int flags);
void nsm_client_free(struct nsm_client *nc);

// Sends a daemon record of message type; gives 0, or -1 when it cannot be sent.
int nsm_client_send_vesk_message(struct nsm_client *nc, const void *record, int type);

// What the client sent, for tests: the type and bytes of each message, oldest first.
size_t nsm_client_sent_count(const struct nsm_client *nc);
int nsm_client_sent_get(const struct nsm_client *nc, size_t i, int *type, uint8_t *buf,
                        size_t buflen, size_t *len);
void nsm_client_sent_clear(struct nsm_client *nc);
