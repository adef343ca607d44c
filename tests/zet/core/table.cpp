// The route table's node lifetime, which the daemon's VLAN tables never show: they walk, look up
// and free their nodes on every run, but always keep info in them.
#include "../zet_test.h"

namespace {

// A node lives while locked or holding info; before the daemon makes its tables, walks and
// lookups find nothing.
TEST(Table, NodesLiveWhileLockedOrHoldingInfo) {
    route_table *t = route_table_init();
    prefix_ipv4 p{};
    p.family = AF_INET;
    p.prefixlen = 32;
    p.prefix.s_addr = htonl(10);
    EXPECT_EQ(route_top(t), nullptr);
    route_node *n = route_node_get(t, &p);
    EXPECT_EQ(route_node_get(t, &p), n);
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(t), 1u) << "still locked once";
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(t), 0u) << "no lock and no info: released";
    int x = 0;
    n = route_node_get(t, &p);
    n->info = &x;
    route_unlock_node(n);
    EXPECT_EQ(route_node_lookup(t, &p), n) << "info keeps it";
    route_unlock_node(n);
    n->info = nullptr;
    route_unlock_node(n); // already unlocked: the lock stays at 0 and the node goes
    EXPECT_EQ(route_table_count(t), 0u);
    route_table_finish(t);
    EXPECT_EQ(std::tuple(route_node_get(nullptr, &p), route_node_lookup(nullptr, &p),
                         route_top(nullptr), route_table_count(nullptr)),
              std::tuple(nullptr, nullptr, nullptr, 0UL));
}

} // namespace
