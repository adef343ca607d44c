// Lists: sorted and plain insertion, unlinking, destructors, iteration with deletion.
#include "zet/core/list.h"
#include "zet/core/memory.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct item {
    int key;
    int id;
};

int by_key(void *a, void *b) {
    return static_cast<item *>(a)->key - static_cast<item *>(b)->key;
}

std::vector<int> ids(list *l) {
    std::vector<int> out;
    listnode *node;
    item *it;
    LIST_LOOP(l, it, node) {
        out.push_back(it->id);
    }
    return out;
}

// Checks the links both ways and the count.
void expect_consistent(list *l) {
    unsigned n = 0;
    listnode *prev = nullptr;
    for (listnode *node = l->head; node != nullptr; node = node->next) {
        EXPECT_EQ(node->prev, prev);
        prev = node;
        n++;
    }
    EXPECT_EQ(l->tail, prev);
    EXPECT_EQ(l->count, n);
}

class ListTest : public ::testing::Test {
  protected:
    void SetUp() override { start_ = memory_live_total(); }
    void TearDown() override {
        EXPECT_EQ(memory_live(MTYPE_ZET_LIST), 0);
        EXPECT_EQ(memory_live(MTYPE_ZET_LISTNODE), 0);
        EXPECT_EQ(memory_live_total(), start_);
    }
    long start_ = 0;
};

TEST_F(ListTest, NewListIsEmpty) {
    list *l = list_new();
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(listhead(l), nullptr);
    EXPECT_EQ(listcount(l), 0u);
    EXPECT_EQ(l->cmp, nullptr);
    EXPECT_EQ(l->del, nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_LIST), 1);
    list_free(l);
}

TEST_F(ListTest, WithoutComparisonItemsAreAppended) {
    item a{3, 1}, b{1, 2}, c{2, 3};
    list *l = list_new();
    listnode_add_sort(l, &a);
    listnode_add_sort(l, &b);
    listnode_add(l, &c);
    EXPECT_EQ(ids(l), (std::vector<int>{1, 2, 3}));
    expect_consistent(l);
    list_free(l);
}

TEST_F(ListTest, ComparisonKeepsOrderAndEqualItemsStayInArrivalOrder) {
    item items[] = {{5, 1}, {1, 2}, {3, 3}, {5, 4}, {1, 5}, {9, 6}, {0, 7}, {3, 8}};
    list *l = list_new();
    l->cmp = by_key;
    for (auto &it : items)
        ASSERT_NE(listnode_add_sort(l, &it), nullptr);
    // keys: 0(7) 1(2) 1(5) 3(3) 3(8) 5(1) 5(4) 9(6)
    EXPECT_EQ(ids(l), (std::vector<int>{7, 2, 5, 3, 8, 1, 4, 6}));
    expect_consistent(l);
    list_free(l);
}

TEST_F(ListTest, DeleteUnlinksHeadMiddleAndTail) {
    item a{1, 1}, b{2, 2}, c{3, 3}, d{4, 4};
    list *l = list_new();
    for (item *it : {&a, &b, &c, &d})
        listnode_add(l, it);
    listnode_delete(l, &b);
    EXPECT_EQ(ids(l), (std::vector<int>{1, 3, 4}));
    expect_consistent(l);
    listnode_delete(l, &a);
    EXPECT_EQ(ids(l), (std::vector<int>{3, 4}));
    expect_consistent(l);
    listnode_delete(l, &d);
    EXPECT_EQ(ids(l), (std::vector<int>{3}));
    expect_consistent(l);
    listnode_delete(l, &a); // absent: nothing happens
    EXPECT_EQ(listcount(l), 1u);
    listnode_delete(l, &c);
    EXPECT_EQ(l->head, nullptr);
    EXPECT_EQ(l->tail, nullptr);
    expect_consistent(l);
    list_free(l);
}

TEST_F(ListTest, DeleteRemovesOnlyTheFirstNodeOfAnItem) {
    item a{1, 1}, b{2, 2};
    list *l = list_new();
    listnode_add(l, &a);
    listnode_add(l, &b);
    listnode_add(l, &a);
    listnode_delete(l, &a);
    EXPECT_EQ(ids(l), (std::vector<int>{2, 1}));
    list_free(l);
}

std::vector<int> destroyed;
void destroy(void *p) {
    destroyed.push_back(static_cast<item *>(p)->id);
    pal_mem_free(700, p);
}

TEST_F(ListTest, ListDeleteCallsTheDestructorOnEveryItemOnce) {
    destroyed.clear();
    list *l = list_new();
    l->cmp = by_key;
    l->del = destroy;
    for (int k : {4, 2, 8}) {
        auto *it = static_cast<item *>(mfh_calloc(700, sizeof(item)));
        it->key = k;
        it->id = k * 10;
        listnode_add_sort(l, it);
    }
    list_delete(l);
    EXPECT_EQ(destroyed, (std::vector<int>{20, 40, 80}));
    EXPECT_EQ(memory_live(700), 0);
}

TEST_F(ListTest, ListFreeAndDeleteNodeNeverTouchTheItems) {
    destroyed.clear();
    item a{1, 1}, b{2, 2};
    list *l = list_new();
    l->del = destroy;
    listnode_add(l, &a);
    listnode *nb = listnode_add(l, &b);
    list_delete_node(l, nb);
    EXPECT_EQ(ids(l), (std::vector<int>{1}));
    list_free(l);
    EXPECT_TRUE(destroyed.empty());
}

TEST_F(ListTest, DeleteAllNodesEmptiesButKeepsTheList) {
    destroyed.clear();
    list *l = list_new();
    l->del = destroy;
    auto *it = static_cast<item *>(mfh_calloc(700, sizeof(item)));
    it->id = 7;
    listnode_add(l, it);
    list_delete_all_node(l);
    EXPECT_EQ(destroyed, (std::vector<int>{7}));
    EXPECT_EQ(listcount(l), 0u);
    EXPECT_EQ(listhead(l), nullptr);
    item b{2, 2};
    listnode_add(l, &b); // still usable
    EXPECT_EQ(ids(l), (std::vector<int>{2}));
    list_free(l);
}

TEST_F(ListTest, LoopDelAllowsDeletingTheCurrentNode) {
    item items[] = {{1, 1}, {2, 2}, {3, 3}, {4, 4}, {5, 5}};
    list *l = list_new();
    for (auto &it : items)
        listnode_add(l, &it);
    listnode *node, *next;
    item *it;
    std::vector<int> visited;
    LIST_LOOP_DEL(l, it, node, next) {
        visited.push_back(it->id);
        if (it->id % 2 == 1)
            list_delete_node(l, node);
    }
    EXPECT_EQ(visited, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(ids(l), (std::vector<int>{2, 4}));
    expect_consistent(l);
    list_free(l);
}

TEST_F(ListTest, LoopOverNullOrEmptyListRunsNothing) {
    list *l = list_new();
    listnode *node;
    item *it;
    int n = 0;
    LIST_LOOP(l, it, node) {
        n += it->id;
    }
    list *none = nullptr;
    LIST_LOOP(none, it, node) {
        n += it->id;
    }
    EXPECT_EQ(n, 0);
    list_free(l);
}

TEST_F(ListTest, NoMemoryForANodeLeavesTheListAsItWas) {
    item a{1, 1}, b{2, 2};
    list *l = list_new();
    l->cmp = by_key;
    listnode_add_sort(l, &a);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(listnode_add_sort(l, &b), nullptr);
    EXPECT_EQ(ids(l), (std::vector<int>{1}));
    expect_consistent(l);
    memory_fail_next(MTYPE_ZET_LIST, 1);
    EXPECT_EQ(list_new(), nullptr);
    list_free(l);
}

TEST_F(ListTest, NullListsAreIgnored) {
    item a{1, 1};
    EXPECT_EQ(listnode_add(nullptr, &a), nullptr);
    EXPECT_EQ(listnode_add_sort(nullptr, &a), nullptr);
    listnode_delete(nullptr, &a);
    list_delete(nullptr);
    list_free(nullptr);
}

} // namespace
