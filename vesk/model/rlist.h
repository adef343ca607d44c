// VLAN range lists: a set of VLAN ids as a sorted chain of ranges. Invariant after every
// operation: low <= high in each node, nodes ascending, ranges disjoint and never adjacent.
#pragma once

#include <cstdint>

struct vesk_rlist {
    struct vesk_rlist *next;
    uint16_t high;
    uint16_t low;
};

// The list is the address of its head pointer; a null head is the empty list.
void vesk_rlist_add(struct vesk_rlist **range_list, uint16_t vid);
// 0 when vid was in the list, -1 when it was not or memory ran out (the list is unchanged).
int vesk_rlist_delete(struct vesk_rlist **range_list, uint16_t vid);
// 1 when vid is in the list, else 0.
int vesk_find_vlan_from_rlist(uint16_t vid, struct vesk_rlist *const *range_list);
// Releases every node; the list is empty afterwards. A null address does nothing.
void vesk_free_rlist(struct vesk_rlist **range_list);
// Adds the range of node, merging with neighbours; takes the node over.
void vesk_link_rlist(struct vesk_rlist **range_list, struct vesk_rlist *node);
// Cuts the range of node out of the list; takes the node over. 0, or -1 when none of it was
// in the list (the list is unchanged).
int vesk_unlink_rlist(struct vesk_rlist **range_list, struct vesk_rlist *node);
// Merges second into first when they touch (first's high + 1 == second's low).
void vesk_join_rlist(struct vesk_rlist *first, struct vesk_rlist *second);
