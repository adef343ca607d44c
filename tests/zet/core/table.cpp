// The route table with host-prefix keys, as the daemon's VLAN tables use it: VLAN v is family 2,
// length 32, address v in network byte order.
#include "../zet_test.h"

namespace {

prefix_ipv4 key(uint32_t v) {
    prefix_ipv4 p{};
    p.family = AF_INET;
    p.prefixlen = 32;
    p.prefix.s_addr = htonl(v);
    return p;
}

// Each node of a walk as "key/locks held while the walk is on it".
std::vector<std::string> walk(route_table *t) {
    std::vector<std::string> out;
    for (route_node *n = route_top(t); n != nullptr; n = route_next(n))
        out.push_back(std::to_string(ntohl(n->p.prefix.s_addr)) + "/" + std::to_string(n->lock));
    return out;
}

// A walk goes in numeric order locking one node at a time; a node lives while locked or
// holding info.
TEST(Table, WalksInNumericOrderAndNodesLiveWhileLockedOrHoldingInfo) {
    route_table *t = route_table_init();
    prefix_ipv4 p = key(10);
    EXPECT_EQ(route_node_lookup(t, &p), nullptr);
    EXPECT_EQ(route_table_count(t), 0u) << "a lookup makes nothing";
    route_node *n = route_node_get(t, &p);
    EXPECT_EQ(std::tuple(n->lock, n->table, n->p.family, n->p.prefixlen),
              std::tuple(1, t, AF_INET, 32));
    EXPECT_EQ(std::pair(route_node_get(t, &p), route_node_lookup(t, &p)), std::pair(n, n));
    EXPECT_EQ(route_lock_node(n)->lock, 4);
    for (int i = 0; i < 4; i++)
        route_unlock_node(n);
    EXPECT_EQ(route_table_count(t), 0u) << "no lock and no info: released";
    int x = 0;
    n = route_node_get(t, &p);
    n->info = &x;
    route_unlock_node(n);
    EXPECT_EQ(route_node_lookup(t, &p), n) << "info keeps it";
    n->info = nullptr;
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(t), 0u);
    for (uint32_t v : {4094u, 256u, 1u, 255u, 4095u, 257u}) // 256 is 0.0.1.0, 1 is 0.0.0.1
        route_node_get(t, (p = key(v), &p))->info = &x;
    const std::vector<std::string> want = {"1/2", "255/2", "256/2", "257/2", "4094/2", "4095/2"};
    EXPECT_EQ(walk(t), want);
    EXPECT_EQ(walk(t), want) << "each step releases the node before";
    route_node *top = route_top(t); // a walk stopped early needs one unlock
    route_unlock_node(top);
    EXPECT_EQ(top->lock, 1);
    // Deleting each record on the way is safe: the walk's own lock keeps the node until it moves.
    for (n = route_top(t); n != nullptr; n = route_next(n)) {
        n->info = nullptr;
        route_unlock_node(n);
    }
    EXPECT_EQ(std::tuple(route_table_count(t), memory_live(MTYPE_ZET_ROUTE_NODE), walk(t).size()),
              std::tuple(0UL, 0L, 0UL));
    memory_fail_next(MTYPE_ZET_ROUTE_NODE, 1);
    EXPECT_EQ(route_node_get(t, &p), nullptr);
    EXPECT_EQ(route_table_count(t), 0u);
    for (uint32_t v = 1; v <= 50; v++) // finishing frees nodes still locked
        route_node_get(t, (p = key(v), &p));
    route_table_finish(t);
    EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE) + memory_live(MTYPE_ZET_ROUTE_TABLE), 0);
    // The daemon's tables are made at start-up; a walk before that finds nothing.
    EXPECT_EQ(std::tuple(route_node_get(nullptr, &p), route_node_lookup(nullptr, &p),
                         route_top(nullptr), route_next(nullptr), route_table_count(nullptr)),
              std::tuple(nullptr, nullptr, nullptr, nullptr, 0UL));
}

} // namespace
