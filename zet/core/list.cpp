#include "zet/core/list.h"

#include "zet/core/memory.h"

namespace {

listnode *node_new(void *val) {
    auto *node = static_cast<listnode *>(mfh_calloc(MTYPE_ZET_LISTNODE, sizeof(listnode)));
    if (node != nullptr)
        node->data = val;
    return node;
}

// Links node into list right after prev (at the head when prev is null).
void link_after(list *list, listnode *prev, listnode *node) {
    node->prev = prev;
    node->next = prev != nullptr ? prev->next : list->head;
    if (node->next != nullptr)
        node->next->prev = node;
    else
        list->tail = node;
    if (prev != nullptr)
        prev->next = node;
    else
        list->head = node;
    list->count++;
}

void unlink(list *list, listnode *node) {
    if (node->prev != nullptr)
        node->prev->next = node->next;
    else
        list->head = node->next;
    if (node->next != nullptr)
        node->next->prev = node->prev;
    else
        list->tail = node->prev;
    list->count--;
}

void free_nodes(list *list) {
    listnode *next = nullptr;
    for (listnode *node = list->head; node != nullptr; node = next) {
        next = node->next;
        pal_mem_free(MTYPE_ZET_LISTNODE, node);
    }
    list->head = list->tail = nullptr;
    list->count = 0;
}

} // namespace

struct list *list_new(void) {
    return static_cast<list *>(mfh_calloc(MTYPE_ZET_LIST, sizeof(list)));
}

struct listnode *listnode_add(struct list *list, void *val) {
    if (list == nullptr)
        return nullptr;
    listnode *node = node_new(val);
    if (node != nullptr)
        link_after(list, list->tail, node);
    return node;
}

struct listnode *listnode_add_sort(struct list *list, void *val) {
    if (list == nullptr)
        return nullptr;
    if (list->cmp == nullptr)
        return listnode_add(list, val);
    listnode *node = node_new(val);
    if (node == nullptr)
        return nullptr;
    // Walk back from the tail to the last item not greater than val: equal items keep the
    // order in which they were added, and appending in order costs one comparison.
    listnode *prev = list->tail;
    while (prev != nullptr && list->cmp(prev->data, val) > 0)
        prev = prev->prev;
    link_after(list, prev, node);
    return node;
}

void listnode_resort(struct list *list, void *val) {
    if (list == nullptr || list->cmp == nullptr)
        return;
    listnode *node = list->head;
    while (node != nullptr && node->data != val)
        node = node->next;
    if (node == nullptr)
        return;
    unlink(list, node);
    listnode *prev = list->tail;
    while (prev != nullptr && list->cmp(prev->data, val) > 0)
        prev = prev->prev;
    link_after(list, prev, node);
}

void listnode_delete(struct list *list, void *val) {
    if (list == nullptr)
        return;
    for (listnode *node = list->head; node != nullptr; node = node->next) {
        if (node->data == val) {
            list_delete_node(list, node);
            return;
        }
    }
}

void list_delete_node(struct list *list, struct listnode *node) {
    if (list == nullptr || node == nullptr)
        return;
    unlink(list, node);
    pal_mem_free(MTYPE_ZET_LISTNODE, node);
}

void list_free(struct list *list) {
    if (list == nullptr)
        return;
    free_nodes(list);
    pal_mem_free(MTYPE_ZET_LIST, list);
}
