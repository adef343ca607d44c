// Lists: sorted and plain insertion, unlinking anywhere, and where the destructor runs.
#include "../zet_test.h"

namespace {

struct item {
    int key, id;
};
std::vector<int> destroyed;

// The ids in order, after checking the links both ways and the count.
std::vector<int> ids(list *l) {
    std::vector<int> out;
    listnode *prev = nullptr;
    for (listnode *node = l->head; node != nullptr; prev = node, node = node->next) {
        EXPECT_EQ(node->prev, prev);
        out.push_back(static_cast<item *>(node->data)->id);
    }
    EXPECT_EQ(std::pair(l->tail, size_t{l->count}), std::pair(prev, out.size()));
    return out;
}

// list_delete calls the destructor on each item once; list_free and list_delete_node never
// touch the items.
TEST(List, KeepsOrderUnlinksAnywhereAndDestroysOnlyWhereItemsAreDeleted) {
    item items[] = {{5, 1}, {1, 2}, {3, 3}, {5, 4}, {1, 5}, {9, 6}, {0, 7}, {3, 8}};
    list *l = list_new(), *plain = list_new();
    l->cmp = [](void *a, void *b) {
        return static_cast<item *>(a)->key - static_cast<item *>(b)->key;
    };
    plain->del = l->del = [](void *p) { destroyed.push_back(static_cast<item *>(p)->id); };
    for (auto &it : items) {
        ASSERT_NE(listnode_add_sort(l, &it), nullptr);
        listnode_add_sort(plain, &it); // without cmp: appended
    }
    EXPECT_EQ(ids(l), (std::vector<int>{7, 2, 5, 3, 8, 1, 4, 6})) << "equal keys in arrival order";
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(listnode_add_sort(l, &items[0]), nullptr);
    for (item *it : {&items[6], &items[2], &items[5], &items[5]}) // head, middle, tail, absent
        listnode_delete(l, it);
    EXPECT_EQ(ids(l), (std::vector<int>{2, 5, 8, 1, 4}));
    listnode_add(plain, &items[0]);
    listnode_delete(plain, &items[0]); // only the first node of an item
    list_delete_node(plain, plain->head->next);
    EXPECT_EQ(ids(plain), (std::vector<int>{2, 4, 5, 6, 7, 8, 1}));
    list_free(l);
    EXPECT_TRUE(destroyed.empty());
    list_delete(plain);
    EXPECT_EQ(destroyed, (std::vector<int>{2, 4, 5, 6, 7, 8, 1}));
    EXPECT_EQ(memory_live(MTYPE_ZET_LIST) + memory_live(MTYPE_ZET_LISTNODE), 0);
}

} // namespace
