#include "vesk/model/rlist.h"

#include <cassert>

#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/result.h"

namespace {

struct vesk_rlist *vesk_rlist_new(uint16_t vid) {
    auto *node =
        static_cast<struct vesk_rlist *>(mfh_calloc(MTYPE_VESK_RLIST, sizeof(struct vesk_rlist)));
    if (node == nullptr)
        return nullptr;
    node->low = vid;
    node->high = vid;
    return node;
}

void vesk_rlist_release(struct vesk_rlist *node) {
    pal_mem_free(MTYPE_VESK_RLIST, node);
}

// Ids are widened to int so that high + 1 never wraps.
int vesk_rlist_after(const struct vesk_rlist *node) {
    return int{node->high} + 1;
}

// Absorbs into cur every following node that overlaps or touches it.
void vesk_rlist_absorb(struct vesk_rlist *cur) {
    while (cur->next != nullptr && cur->next->low <= vesk_rlist_after(cur)) {
        struct vesk_rlist *next = cur->next;
        if (next->high <= cur->high) {
            cur->next = next->next;
            vesk_rlist_release(next);
            continue;
        }
        if (next->low <= cur->high)
            next->low = static_cast<uint16_t>(cur->high + 1);
        vesk_join_rlist(cur, next);
    }
}

// Cuts vid out of the inside of node, whose upper part goes to a node of its own.
int vesk_rlist_split(struct vesk_rlist *node, uint16_t vid) {
    struct vesk_rlist *upper = vesk_rlist_new(static_cast<uint16_t>(vid + 1));
    if (upper == nullptr) {
        zlog_err(veskm, "Cannot allocate memory for PORT_RVLAN \n");
        return -1;
    }
    upper->high = node->high;
    upper->next = node->next;
    node->high = static_cast<uint16_t>(vid - 1);
    node->next = upper;
    return 0;
}

// Takes vid off an end of the node at pos, or the node itself when vid is all it holds.
void vesk_rlist_trim(struct vesk_rlist **pos, uint16_t vid) {
    struct vesk_rlist *cur = *pos;
    if (cur->low == cur->high) {
        *pos = cur->next;
        vesk_rlist_release(cur);
        return;
    }
    if (vid == cur->low)
        cur->low = static_cast<uint16_t>(vid + 1);
    else
        cur->high = static_cast<uint16_t>(vid - 1);
}

} // namespace

void vesk_join_rlist(struct vesk_rlist *first, struct vesk_rlist *second) {
    if (first == nullptr || second == nullptr)
        return;
    if (vesk_rlist_after(first) != second->low)
        return;
    first->high = second->high;
    first->next = second->next;
    vesk_rlist_release(second);
}

void vesk_link_rlist(struct vesk_rlist **range_list, struct vesk_rlist *node) {
    assert(range_list);
    struct vesk_rlist **pos = range_list;
    while (*pos != nullptr && vesk_rlist_after(*pos) < node->low)
        pos = &(*pos)->next;
    struct vesk_rlist *cur = *pos;
    if (cur == nullptr || int{node->high} + 1 < cur->low) {
        node->next = cur;
        *pos = node;
        return;
    }
    if (node->low < cur->low)
        cur->low = node->low;
    if (node->high > cur->high)
        cur->high = node->high;
    vesk_rlist_release(node);
    vesk_rlist_absorb(cur);
}

int vesk_unlink_rlist(struct vesk_rlist **range_list, struct vesk_rlist *node) {
    assert(range_list);
    const uint16_t low = node->low;
    const uint16_t high = node->high;
    struct vesk_rlist **pos = range_list;
    while (*pos != nullptr && (*pos)->high < low)
        pos = &(*pos)->next;
    int result = -1;
    while (*pos != nullptr && (*pos)->low <= high) {
        struct vesk_rlist *cur = *pos;
        result = 0;
        if (cur->low < low && cur->high > high) {
            node->low = static_cast<uint16_t>(high + 1);
            node->high = cur->high;
            node->next = cur->next;
            cur->high = static_cast<uint16_t>(low - 1);
            cur->next = node;
            return 0;
        }
        if (cur->low < low) {
            cur->high = static_cast<uint16_t>(low - 1);
            pos = &cur->next;
            continue;
        }
        if (cur->high > high) {
            cur->low = static_cast<uint16_t>(high + 1);
            break;
        }
        *pos = cur->next;
        vesk_rlist_release(cur);
    }
    vesk_rlist_release(node);
    return result;
}

void vesk_rlist_add(struct vesk_rlist **range_list, uint16_t vid) {
    struct vesk_rlist *node = vesk_rlist_new(vid);
    if (node == nullptr) {
        zlog_err(veskm, "Cannot allocate memory for PORT_RVLAN\n");
        return;
    }
    vesk_link_rlist(range_list, node);
}

// Only an id inside a range needs a second node, so a VLAN at either end of a range, or alone
// in one, leaves the list even when memory has run out.
int vesk_rlist_delete(struct vesk_rlist **range_list, uint16_t vid) {
    assert(range_list);
    struct vesk_rlist **pos = range_list;
    while (*pos != nullptr && (*pos)->high < vid)
        pos = &(*pos)->next;
    struct vesk_rlist *cur = *pos;
    if (cur == nullptr || cur->low > vid)
        return -1;
    if (cur->low < vid && vid < cur->high)
        return vesk_rlist_split(cur, vid);
    vesk_rlist_trim(pos, vid);
    return 0;
}

int vesk_find_vlan_from_rlist(uint16_t vid, struct vesk_rlist *const *range_list) {
    assert(range_list);
    for (const struct vesk_rlist *node = *range_list; node != nullptr && node->low <= vid;
         node = node->next) {
        if (vid <= node->high)
            return 1;
    }
    return 0;
}

void vesk_free_rlist(struct vesk_rlist **range_list) {
    if (range_list == nullptr)
        return;
    while (*range_list != nullptr) {
        struct vesk_rlist *node = *range_list;
        *range_list = node->next;
        vesk_rlist_release(node);
    }
}
