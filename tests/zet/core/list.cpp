// Lists: what the daemon's own programs do not show, since its port names are unique and its
// lists are only freed whole.
#include "../zet_test.h"

namespace {

std::vector<void *> destroyed;

// list_free leaves the items to their owner, list_delete destroys each once; equal keys keep
// the order in which they came.
TEST(List, OnlyListDeleteDestroysItemsAndEqualKeysKeepTheirOrder) {
    int items[] = {1, 0, 1};
    list *kept = list_new(), *gone = list_new();
    kept->cmp = [](void *a, void *b) { return *static_cast<int *>(a) - *static_cast<int *>(b); };
    kept->del = gone->del = [](void *p) { destroyed.push_back(p); };
    for (int &i : items)
        listnode_add_sort(kept, &i), listnode_add(gone, &i);
    std::vector<void *> order;
    for (listnode *n = kept->head; n != nullptr; n = n->next)
        order.push_back(n->data);
    EXPECT_EQ(order, (std::vector<void *>{&items[1], &items[0], &items[2]}));
    list_free(kept);
    EXPECT_TRUE(destroyed.empty());
    list_delete(gone);
    EXPECT_EQ(destroyed, (std::vector<void *>{&items[0], &items[1], &items[2]}));
}

} // namespace
