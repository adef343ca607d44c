// Route table with IPv4 host-prefix keys, walked in ascending address order.
#pragma once

#include <cstdint>
#include <netinet/in.h>

struct route_table;

struct prefix_ipv4 {
    uint8_t family;    // AF_INET (2)
    uint8_t prefixlen; // 32 for the host prefixes used here
    uint8_t pad[2];
    struct in_addr prefix; // network byte order
};

struct route_node {
    struct prefix_ipv4 p;
    void *info; // the owner's slot
    int lock;
    struct route_table *table;
};

struct route_table *route_table_init(void);
// Frees the table and every node left in it (info is not touched).
void route_table_finish(struct route_table *table);
// Finds or creates the node of p and takes a lock on it; null on no memory.
struct route_node *route_node_get(struct route_table *table, const struct prefix_ipv4 *p);
// Finds the node of p and takes a lock on it; null when absent.
struct route_node *route_node_lookup(struct route_table *table, const struct prefix_ipv4 *p);
// Drops a lock; a node with no lock and no info leaves the table and is freed.
void route_unlock_node(struct route_node *node);
// First node (locked), or null for an empty table.
struct route_node *route_top(struct route_table *table);
// Unlocks node and gives the next node in ascending order (locked), or null. A walk that stops
// early must unlock the node it stops on. Order: address (host order), then prefix length;
// the host bits of a key beyond its prefix length are ignored.
struct route_node *route_next(struct route_node *node);
// Number of nodes in the table.
unsigned long route_table_count(const struct route_table *table);
