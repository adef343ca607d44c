// Range lists under random adds and deletes, and nodes wider than one id (the scenarios in
// rlist.scn cover the single steps).
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/host/zet.h"
#include "vesk/model/result.h"
#include "vesk/model/rlist.h"

namespace {

class RangeList : public vesk_test::ModelFixture {
  protected:
    void TearDown() override {
        vesk_free_rlist(&list_);
        ModelFixture::TearDown();
    }
    vesk_rlist *node(uint16_t low, uint16_t high) {
        auto *n = static_cast<vesk_rlist *>(mfh_calloc(MTYPE_VESK_RLIST, sizeof(vesk_rlist)));
        n->low = low;
        n->high = high;
        return n;
    }
    // The ids of the list; fails when nodes are empty, out of order, touch or overlap.
    std::set<int> members() {
        std::set<int> out;
        for (const vesk_rlist *n = list_; n != nullptr; n = n->next) {
            EXPECT_TRUE(n->low <= n->high && (n->next == nullptr || n->high + 1 < n->next->low))
                << n->low << "-" << n->high;
            for (int v = n->low; v <= n->high; v++)
                out.insert(v);
        }
        return out;
    }
    vesk_rlist *list_ = nullptr;
};

TEST_F(RangeList, RandomAddsAndDeletesMatchASet) {
    std::mt19937 rng(20261206);
    // A narrow id space makes merges and splits frequent; a few wide draws reach the ends.
    std::uniform_int_distribution<int> narrow(1, 80);
    std::uniform_int_distribution<int> wide(0, 4095);
    std::bernoulli_distribution adding(0.55);
    std::bernoulli_distribution wide_draw(0.05);
    std::set<int> model;
    for (int step = 0; step < 20000; step++) {
        const int vid = wide_draw(rng) ? wide(rng) : narrow(rng);
        if (adding(rng)) {
            vesk_rlist_add(&list_, static_cast<uint16_t>(vid));
            model.insert(vid);
        } else {
            const int expected = model.erase(vid) != 0 ? 0 : -1;
            ASSERT_EQ(vesk_rlist_delete(&list_, static_cast<uint16_t>(vid)), expected) << step;
        }
        ASSERT_EQ(members(), model) << "step " << step;
        const auto probe = static_cast<uint16_t>(narrow(rng));
        ASSERT_EQ(vesk_find_vlan_from_rlist(probe, &list_), model.count(probe) != 0 ? 1 : 0);
    }
    long nodes = 0;
    for (const vesk_rlist *n = list_; n != nullptr; n = n->next)
        nodes++;
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), nodes);
}

// Nodes covering several VLANs never come from the daemon, but must still give the set union
// and difference.
TEST_F(RangeList, WideNodesLinkAsUnionAndUnlinkAsDifference) {
    for (uint16_t vid : {1, 5, 9, 20})
        vesk_rlist_add(&list_, vid);
    vesk_link_rlist(&list_, node(4, 10));
    EXPECT_EQ(members(), (std::set<int>{1, 4, 5, 6, 7, 8, 9, 10, 20}));
    EXPECT_EQ(vesk_unlink_rlist(&list_, node(1, 6)), 0);
    EXPECT_EQ(members(), (std::set<int>{7, 8, 9, 10, 20}));
    EXPECT_EQ(vesk_unlink_rlist(&list_, node(11, 19)), -1);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 2);
}

} // namespace
