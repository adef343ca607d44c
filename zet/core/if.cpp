#include "zet/core/if.h"

#include "zet/core/globals.h"
#include "zet/core/memory.h"

#include <cctype>
#include <cstring>
#include <map>
#include <net/if.h>
#include <new>
#include <string>
#include <vector>

namespace {

struct name_less {
    bool operator()(const std::string &a, const std::string &b) const {
        return ifname_cmp3(a.c_str(), b.c_str()) < 0;
    }
};

bool is_digit(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) != 0;
}

// Compares two digit runs by value (leading zeros ignored), without overflow.
int cmp_number(const char *a, size_t alen, const char *b, size_t blen) {
    while (alen > 1 && *a == '0')
        a++, alen--;
    while (blen > 1 && *b == '0')
        b++, blen--;
    if (alen != blen)
        return alen < blen ? -1 : 1;
    int c = std::memcmp(a, b, alen);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool valid_name(const char *name) {
    return name != nullptr && *name != '\0' && std::strlen(name) <= INTERFACE_NAMSIZ;
}

} // namespace

struct if_group {
    std::map<uint32_t, interface *> by_index;
    std::map<std::string, interface *, name_less> by_name;
    std::map<int, std::vector<if_hook_func>> hooks;
};

struct if_vr_table {
    std::map<uint32_t, interface *> by_index;
};

namespace {

void call_hooks(if_group *ifg, int kind, interface *ifp) {
    auto hooks = ifg->hooks.find(kind);
    if (hooks == ifg->hooks.end())
        return;
    // Copied, so that a hook may add hooks.
    std::vector<if_hook_func> copy = hooks->second;
    for (if_hook_func hook : copy)
        hook(ifp);
}

} // namespace

int ifname_cmp3(const char *a, const char *b) {
    if (a == nullptr || b == nullptr)
        return a == b ? 0 : a == nullptr ? -1 : 1;
    const char *p = a;
    const char *q = b;
    while (*p != '\0' && *q != '\0') {
        if (is_digit(*p) && is_digit(*q)) {
            size_t pl = 0, ql = 0;
            while (is_digit(p[pl]))
                pl++;
            while (is_digit(q[ql]))
                ql++;
            if (int c = cmp_number(p, pl, q, ql); c != 0)
                return c;
            p += pl;
            q += ql;
            continue;
        }
        if (*p != *q)
            return static_cast<unsigned char>(*p) < static_cast<unsigned char>(*q) ? -1 : 1;
        p++;
        q++;
    }
    if (*p != *q)
        return *p == '\0' ? -1 : 1;
    // Equal in natural order ("ge02" and "ge2"): plain text order decides.
    int c = std::strcmp(a, b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

bool if_flags_up(uint32_t flags) {
    const uint32_t want = IFF_UP | IFF_RUNNING;
    return (flags & want) == want;
}

bool if_is_up(const struct interface *ifp) {
    return ifp != nullptr && if_flags_up(ifp->flags);
}

struct if_group *ifg_create(void) {
    void *mem = mfh_calloc(MTYPE_ZET_IF_GROUP, sizeof(if_group));
    return mem != nullptr ? new (mem) if_group : nullptr;
}

void ifg_free(struct if_group *ifg) {
    if (ifg == nullptr)
        return;
    for (auto &[index, ifp] : ifg->by_index)
        pal_mem_free(MTYPE_ZET_IF, ifp);
    ifg->~if_group();
    pal_mem_free(MTYPE_ZET_IF_GROUP, ifg);
}

struct interface *ifg_lookup_by_index(struct if_group *ifg, uint32_t ifindex) {
    if (ifg == nullptr)
        return nullptr;
    auto it = ifg->by_index.find(ifindex);
    return it != ifg->by_index.end() ? it->second : nullptr;
}

struct interface *ifg_lookup_by_name(struct if_group *ifg, const char *name) {
    if (ifg == nullptr || name == nullptr)
        return nullptr;
    auto it = ifg->by_name.find(name);
    return it != ifg->by_name.end() ? it->second : nullptr;
}

struct interface *ifg_get_by_name(struct if_group *ifg, const char *name) {
    return ifg_lookup_by_name(ifg, name);
}

int if_add_hook(struct if_group *ifg, int kind, if_hook_func hook) {
    if (ifg == nullptr || hook == nullptr)
        return -1;
    ifg->hooks[kind].push_back(hook);
    return 0;
}

void ifg_foreach(struct if_group *ifg, void (*fn)(void *ctx, struct interface *ifp), void *ctx) {
    if (ifg == nullptr || fn == nullptr)
        return;
    // Copied first, so that fn may delete or rename the interface it is given.
    std::vector<interface *> all;
    all.reserve(ifg->by_name.size());
    for (auto &[name, ifp] : ifg->by_name)
        all.push_back(ifp);
    for (interface *ifp : all)
        fn(ctx, ifp);
}

struct ovx_vr *ovx_vr_create_privileged(struct lib_globals *zg) {
    if (zg == nullptr)
        return nullptr;
    auto *vr = static_cast<ovx_vr *>(mfh_calloc(MTYPE_ZET_VR, sizeof(ovx_vr)));
    if (vr == nullptr)
        return nullptr;
    vr->id = 0;
    std::strcpy(vr->name, "default");
    vr->zg = zg;
    void *mem = mfh_calloc(MTYPE_ZET_IF_TABLE, sizeof(if_vr_table));
    vr->ifm = mem != nullptr ? new (mem) if_vr_table : nullptr;
    if (vr->ifm == nullptr) {
        ovx_vr_free(vr);
        return nullptr;
    }
    return vr;
}

void ovx_vr_free(struct ovx_vr *vr) {
    if (vr == nullptr)
        return;
    // The interfaces belong to the group (ifg_free); only the router's indexes go here.
    if (vr->ifm != nullptr) {
        for (auto &[index, ifp] : vr->ifm->by_index)
            if (ifp->vr == vr)
                ifp->vr = nullptr;
        vr->ifm->~if_vr_table();
        pal_mem_free(MTYPE_ZET_IF_TABLE, vr->ifm);
    }
    if (vr->zg != nullptr && vr->zg->vr_priv == vr)
        vr->zg->vr_priv = nullptr;
    pal_mem_free(MTYPE_ZET_VR, vr);
}

struct ovx_vr *ovx_vr_get_privileged(struct lib_globals *zg) {
    return zg != nullptr ? zg->vr_priv : nullptr;
}

struct interface *if_lookup_by_index(struct if_vr_table *table, uint32_t ifindex) {
    if (table == nullptr)
        return nullptr;
    auto it = table->by_index.find(ifindex);
    return it != table->by_index.end() ? it->second : nullptr;
}

struct interface *if_create(struct lib_globals *zg, const char *name, uint32_t ifindex) {
    if (zg == nullptr || zg->ifg == nullptr || !valid_name(name) || ifindex == 0)
        return nullptr;
    if_group *ifg = zg->ifg;
    if (ifg->by_index.count(ifindex) != 0 || ifg->by_name.count(name) != 0)
        return nullptr;
    auto *ifp = static_cast<interface *>(mfh_calloc(MTYPE_ZET_IF, sizeof(interface)));
    if (ifp == nullptr)
        return nullptr;
    std::strcpy(ifp->name, name);
    ifp->ifindex = ifindex;
    ovx_vr *vr = zg->vr_priv;
    try {
        ifg->by_index.emplace(ifindex, ifp);
        ifg->by_name.emplace(name, ifp);
        if (vr != nullptr) {
            vr->ifm->by_index.emplace(ifindex, ifp);
            ifp->vr = vr;
        }
    } catch (const std::bad_alloc &) {
        ifg->by_index.erase(ifindex);
        ifg->by_name.erase(name);
        if (vr != nullptr)
            vr->ifm->by_index.erase(ifindex);
        pal_mem_free(MTYPE_ZET_IF, ifp);
        return nullptr;
    }
    return ifp;
}

void if_delete(struct lib_globals *zg, struct interface *ifp) {
    if (zg == nullptr || zg->ifg == nullptr || ifp == nullptr)
        return;
    if_group *ifg = zg->ifg;
    auto it = ifg->by_index.find(ifp->ifindex);
    if (it == ifg->by_index.end() || it->second != ifp)
        return;
    // The hooks see the interface whole, still in its router and the group.
    call_hooks(ifg, IF_HOOK_VR_UNBIND, ifp);
    if (ovx_vr *vr = ifp->vr; vr != nullptr)
        vr->ifm->by_index.erase(ifp->ifindex);
    ifg->by_name.erase(ifp->name);
    ifg->by_index.erase(ifp->ifindex);
    pal_mem_free(MTYPE_ZET_IF, ifp);
}

int if_rename(struct lib_globals *zg, struct interface *ifp, const char *name) {
    if (zg == nullptr || zg->ifg == nullptr || ifp == nullptr || !valid_name(name))
        return -1;
    if_group *ifg = zg->ifg;
    if (std::strcmp(ifp->name, name) == 0)
        return 0;
    if (ifg->by_name.count(name) != 0)
        return -1;
    auto node = ifg->by_name.extract(ifp->name);
    std::strcpy(ifp->name, name);
    node.key() = name;
    ifg->by_name.insert(std::move(node));
    call_hooks(ifg, IF_HOOK_RENAME, ifp);
    return 0;
}
