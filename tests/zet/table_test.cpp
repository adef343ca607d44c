// Route table with host-prefix keys, as the daemon's VLAN tables use it.
#include "zet/core/memory.h"
#include "zet/core/table.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <vector>

namespace {

// The daemon keys VLAN v as: family 2, length 32, address v in network byte order.
prefix_ipv4 vlan_key(uint32_t v) {
    prefix_ipv4 p{};
    p.family = AF_INET;
    p.prefixlen = 32;
    p.prefix.s_addr = htonl(v);
    return p;
}

uint32_t key_value(const route_node *n) {
    return ntohl(n->p.prefix.s_addr);
}

class TableTest : public ::testing::Test {
  protected:
    void SetUp() override {
        start_ = memory_live_total();
        table_ = route_table_init();
        ASSERT_NE(table_, nullptr);
    }
    void TearDown() override {
        route_table_finish(table_);
        EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_TABLE), 0);
        EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE), 0);
        EXPECT_EQ(memory_live_total(), start_);
    }
    // Adds v the way the daemon adds a VLAN: get, fill the slot, keep one lock for the record.
    route_node *add(uint32_t v, void *info) {
        prefix_ipv4 p = vlan_key(v);
        route_node *n = route_node_get(table_, &p);
        if (n != nullptr)
            n->info = info;
        return n;
    }
    std::vector<uint32_t> walk() {
        std::vector<uint32_t> out;
        for (route_node *n = route_top(table_); n != nullptr; n = route_next(n))
            out.push_back(key_value(n));
        return out;
    }
    route_table *table_ = nullptr;
    long start_ = 0;
};

TEST_F(TableTest, WalkIsInAscendingIdOrderWhateverTheInsertOrder) {
    int a = 300, b = 2, c = 17;
    add(300, &a);
    add(2, &b);
    add(17, &c);
    EXPECT_EQ(walk(), (std::vector<uint32_t>{2, 17, 300}));
    EXPECT_EQ(route_table_count(table_), 3u);
}

TEST_F(TableTest, OrderIsNumericNotByteOrder) {
    // 256 is 0.0.1.0 and 1 is 0.0.0.1: in network byte order memory, 256 < 1 byte-wise on the
    // last byte; the walk must still be numeric.
    int x = 0;
    for (uint32_t v : {4094u, 256u, 1u, 255u, 4095u, 257u})
        add(v, &x);
    EXPECT_EQ(walk(), (std::vector<uint32_t>{1, 255, 256, 257, 4094, 4095}));
}

TEST_F(TableTest, GetAndLookupTakeALockOnTheSameNode) {
    int x = 0;
    route_node *n = add(10, &x);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->lock, 1);
    EXPECT_EQ(n->table, table_);
    EXPECT_EQ(n->p.family, AF_INET);
    EXPECT_EQ(n->p.prefixlen, 32);

    prefix_ipv4 p = vlan_key(10);
    route_node *again = route_node_get(table_, &p);
    EXPECT_EQ(again, n);
    EXPECT_EQ(n->lock, 2);
    route_node *found = route_node_lookup(table_, &p);
    EXPECT_EQ(found, n);
    EXPECT_EQ(n->lock, 3);
    route_unlock_node(found);
    route_unlock_node(again);
    EXPECT_EQ(n->lock, 1);
    EXPECT_EQ(route_table_count(table_), 1u);
}

TEST_F(TableTest, LookupOfAnAbsentKeyGivesNullAndCreatesNothing) {
    prefix_ipv4 p = vlan_key(5);
    EXPECT_EQ(route_node_lookup(table_, &p), nullptr);
    EXPECT_EQ(route_table_count(table_), 0u);
    EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE), 0);
}

TEST_F(TableTest, NodeWithoutLockAndInfoIsReleased) {
    int x = 0;
    route_node *n = add(7, &x);
    EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE), 1);
    // Deleting the VLAN: empty the slot, drop the record's lock.
    n->info = nullptr;
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(table_), 0u);
    EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE), 0);
    prefix_ipv4 p = vlan_key(7);
    EXPECT_EQ(route_node_lookup(table_, &p), nullptr);
}

TEST_F(TableTest, NodeWithInfoStaysWhenItsLastLockGoes) {
    int x = 0;
    route_node *n = add(7, &x);
    route_unlock_node(n);
    EXPECT_EQ(n->lock, 0);
    EXPECT_EQ(route_table_count(table_), 1u);
    prefix_ipv4 p = vlan_key(7);
    route_node *found = route_node_lookup(table_, &p);
    ASSERT_EQ(found, n);
    EXPECT_EQ(found->info, &x);
    found->info = nullptr;
    route_unlock_node(found);
    EXPECT_EQ(route_table_count(table_), 0u);
}

TEST_F(TableTest, NodeHeldOnlyByALockIsReleasedWithIt) {
    prefix_ipv4 p = vlan_key(9);
    route_node *n = route_node_get(table_, &p); // no info yet
    ASSERT_NE(n, nullptr);
    route_lock_node(n);
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(table_), 1u);
    route_unlock_node(n);
    EXPECT_EQ(route_table_count(table_), 0u);
}

TEST_F(TableTest, WalkLocksTheCurrentNodeAndReleasesThePrevious) {
    int x = 0;
    route_node *a = add(1, &x);
    route_node *b = add(2, &x);
    route_node *top = route_top(table_);
    ASSERT_EQ(top, a);
    EXPECT_EQ(a->lock, 2);
    route_node *next = route_next(top);
    ASSERT_EQ(next, b);
    EXPECT_EQ(a->lock, 1);
    EXPECT_EQ(b->lock, 2);
    EXPECT_EQ(route_next(next), nullptr);
    EXPECT_EQ(b->lock, 1);
}

TEST_F(TableTest, RemovingTheCurrentRecordDuringAWalkIsSafe) {
    int x = 0;
    for (uint32_t v : {3u, 1u, 2u})
        add(v, &x);
    std::vector<uint32_t> seen;
    for (route_node *n = route_top(table_); n != nullptr; n = route_next(n)) {
        seen.push_back(key_value(n));
        // Delete the VLAN record: the walk's own lock keeps the node until route_next.
        n->info = nullptr;
        route_unlock_node(n);
    }
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(route_table_count(table_), 0u);
}

TEST_F(TableTest, StoppingAWalkEarlyNeedsOneUnlock) {
    int x = 0;
    route_node *a = add(1, &x);
    add(2, &x);
    route_node *n = route_top(table_);
    route_unlock_node(n);
    EXPECT_EQ(a->lock, 1);
}

TEST_F(TableTest, HostBitsBeyondThePrefixLengthAreIgnored) {
    prefix_ipv4 p{};
    p.family = AF_INET;
    p.prefixlen = 24;
    p.prefix.s_addr = htonl(0x0a000105);
    route_node *n = route_node_get(table_, &p);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(key_value(n), 0x0a000100u);
    p.prefix.s_addr = htonl(0x0a0001ff);
    route_node *same = route_node_lookup(table_, &p);
    EXPECT_EQ(same, n);
    route_unlock_node(same);
    route_unlock_node(n);
}

TEST_F(TableTest, NoMemoryForANodeGivesNull) {
    memory_fail_next(MTYPE_ZET_ROUTE_NODE, 1);
    prefix_ipv4 p = vlan_key(4);
    EXPECT_EQ(route_node_get(table_, &p), nullptr);
    EXPECT_EQ(route_table_count(table_), 0u);
    memory_fail_next(MTYPE_ZET_ROUTE_TABLE, 1);
    EXPECT_EQ(route_table_init(), nullptr);
}

TEST_F(TableTest, FinishFreesNodesThatAreStillLocked) {
    int x = 0;
    for (uint32_t v = 1; v <= 50; v++)
        add(v, &x);
    EXPECT_EQ(memory_live(MTYPE_ZET_ROUTE_NODE), 50);
    // TearDown finishes the table and checks every node went with it.
}

TEST(Table, NullArgumentsAreHarmless) {
    prefix_ipv4 p = vlan_key(1);
    EXPECT_EQ(route_node_get(nullptr, &p), nullptr);
    EXPECT_EQ(route_node_lookup(nullptr, &p), nullptr);
    EXPECT_EQ(route_top(nullptr), nullptr);
    EXPECT_EQ(route_next(nullptr), nullptr);
    EXPECT_EQ(route_table_count(nullptr), 0u);
    route_unlock_node(nullptr);
    route_table_finish(nullptr);
}

} // namespace
