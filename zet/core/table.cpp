#include "zet/core/table.h"

#include "zet/core/memory.h"

#include <arpa/inet.h>
#include <map>
#include <new>

// The nodes in ascending order of address (host order), then prefix length.
struct route_table {
    std::map<uint64_t, route_node *> nodes;
};

namespace {

uint32_t mask_of(uint8_t len) {
    return len == 0 ? 0 : 0xffffffffu << (32 - len);
}

// The node's prefix with its host bits cleared and its length kept within 0..32.
prefix_ipv4 normalise(const prefix_ipv4 &p) {
    prefix_ipv4 n{};
    n.family = p.family;
    n.prefixlen = p.prefixlen > 32 ? 32 : p.prefixlen;
    n.prefix.s_addr = htonl(ntohl(p.prefix.s_addr) & mask_of(n.prefixlen));
    return n;
}

uint64_t key_of(const prefix_ipv4 &p) {
    return (static_cast<uint64_t>(ntohl(p.prefix.s_addr)) << 8) | p.prefixlen;
}

route_node *lock_node(route_node *node) {
    node->lock++;
    return node;
}

void node_free(route_node *node) {
    pal_mem_free(MTYPE_ZET_ROUTE_NODE, node);
}

} // namespace

struct route_table *route_table_init(void) {
    void *mem = mfh_calloc(MTYPE_ZET_ROUTE_TABLE, sizeof(route_table));
    return mem != nullptr ? new (mem) route_table : nullptr;
}

void route_table_finish(struct route_table *table) {
    if (table == nullptr)
        return;
    for (auto &[key, node] : table->nodes)
        node_free(node);
    table->~route_table();
    pal_mem_free(MTYPE_ZET_ROUTE_TABLE, table);
}

struct route_node *route_node_get(struct route_table *table, const struct prefix_ipv4 *p) {
    if (table == nullptr || p == nullptr)
        return nullptr;
    prefix_ipv4 n = normalise(*p);
    uint64_t key = key_of(n);
    auto it = table->nodes.find(key);
    if (it != table->nodes.end())
        return lock_node(it->second);
    auto *node = static_cast<route_node *>(mfh_calloc(MTYPE_ZET_ROUTE_NODE, sizeof(route_node)));
    if (node == nullptr)
        return nullptr;
    node->p = n;
    node->table = table;
    try {
        table->nodes.emplace(key, node);
    } catch (const std::bad_alloc &) {
        node_free(node);
        return nullptr;
    }
    return lock_node(node);
}

struct route_node *route_node_lookup(struct route_table *table, const struct prefix_ipv4 *p) {
    if (table == nullptr || p == nullptr)
        return nullptr;
    auto it = table->nodes.find(key_of(normalise(*p)));
    return it != table->nodes.end() ? lock_node(it->second) : nullptr;
}

void route_unlock_node(struct route_node *node) {
    if (node == nullptr)
        return;
    if (node->lock > 0)
        node->lock--;
    if (node->lock == 0 && node->info == nullptr) {
        node->table->nodes.erase(key_of(node->p));
        node_free(node);
    }
}

struct route_node *route_top(struct route_table *table) {
    if (table == nullptr || table->nodes.empty())
        return nullptr;
    return lock_node(table->nodes.begin()->second);
}

struct route_node *route_next(struct route_node *node) {
    if (node == nullptr)
        return nullptr;
    route_table *table = node->table;
    auto it = table->nodes.upper_bound(key_of(node->p));
    route_node *next = it != table->nodes.end() ? lock_node(it->second) : nullptr;
    route_unlock_node(node);
    return next;
}

unsigned long route_table_count(const struct route_table *table) {
    return table != nullptr ? table->nodes.size() : 0;
}
