#include "zet/nsm_client.h"

#include "zet/lib.h"

#include <cstring>
#include <vector>

// Until a real peer exists the client records what it would send.
struct nsm_client {
    struct lib_globals *zg;
    struct sent {
        int type;
        std::vector<uint8_t> bytes;
    };
    std::vector<sent> sent_log;
};

namespace {
size_t record_size(int type) { return type == NSM_MSG_VESK_PORT_STATE ? 8 : 0; }
} // namespace

struct nsm_client *nsm_client_create(struct lib_globals *zg, int) {
    auto *nc = new nsm_client{zg, {}};
    zg->nc = nc;
    return nc;
}

void nsm_client_free(struct nsm_client *nc) { delete nc; }

int nsm_client_send_vesk_message(struct nsm_client *nc, const void *record, int type) {
    size_t size = record_size(type);
    if (nc == nullptr || record == nullptr || size == 0)
        return -1;
    const auto *p = static_cast<const uint8_t *>(record);
    nc->sent_log.push_back({type, std::vector<uint8_t>(p, p + size)});
    return 0;
}

size_t nsm_client_sent_count(const struct nsm_client *nc) {
    return nc != nullptr ? nc->sent_log.size() : 0;
}

int nsm_client_sent_get(const struct nsm_client *nc, size_t i, int *type, uint8_t *buf,
                        size_t buflen, size_t *len) {
    if (nc == nullptr || i >= nc->sent_log.size())
        return -1;
    const auto &s = nc->sent_log[i];
    *type = s.type;
    *len = s.bytes.size();
    std::memcpy(buf, s.bytes.data(), std::min(buflen, s.bytes.size()));
    return 0;
}

void nsm_client_sent_clear(struct nsm_client *nc) {
    if (nc != nullptr)
        nc->sent_log.clear();
}
