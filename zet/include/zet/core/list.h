// Doubly linked lists of opaque items, optionally kept sorted.
#pragma once

struct listnode {
    struct listnode *next;
    struct listnode *prev;
    void *data;
};

struct list {
    struct listnode *head;
    struct listnode *tail;
    unsigned int count;
    // When set, listnode_add_sort keeps the list in this order.
    int (*cmp)(void *a, void *b);
};

// An empty list without cmp; null on no memory. Null lists are ignored by every call.
struct list *list_new(void);
// Inserts val after the last item not greater than it (cmp), else appends. Null on no memory.
struct listnode *listnode_add_sort(struct list *list, void *val);
// Appends val. Null on no memory.
struct listnode *listnode_add(struct list *list, void *val);
// Moves the first node holding val to its place in cmp order (an item whose key changed),
// without allocating. Nothing happens without cmp or without such a node.
void listnode_resort(struct list *list, void *val);
// Unlinks the first node holding val; the item itself is not touched.
void listnode_delete(struct list *list, void *val);
// Unlinks and frees one node; the item itself is not touched.
void list_delete_node(struct list *list, struct listnode *node);
// Frees the list and its nodes without touching the items.
void list_free(struct list *list);

#define listhead(L) ((L) ? (L)->head : nullptr)
#define listnextnode(N) ((N)->next)
#define listgetdata(N) ((N)->data)
#define listcount(L) ((L)->count)
