#include <random>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/host/zet.h"
#include "vesk/model/result.h"
#include "vesk/model/rlist.h"

namespace {

using Ranges = std::vector<std::pair<int, int>>;

Ranges ranges(const vesk_rlist *list) {
    Ranges out;
    for (; list != nullptr; list = list->next)
        out.emplace_back(list->low, list->high);
    return out;
}

::testing::AssertionResult keeps_invariant(const vesk_rlist *list) {
    for (const vesk_rlist *node = list; node != nullptr; node = node->next) {
        if (node->low > node->high)
            return ::testing::AssertionFailure() << "node " << node->low << "-" << node->high;
        if (node->next != nullptr && node->high + 1 >= node->next->low)
            return ::testing::AssertionFailure()
                   << "nodes " << node->low << "-" << node->high << " and " << node->next->low
                   << "-" << node->next->high << " touch or overlap";
    }
    return ::testing::AssertionSuccess();
}

std::set<int> members(const vesk_rlist *list) {
    std::set<int> out;
    for (; list != nullptr; list = list->next)
        for (int v = list->low; v <= list->high; v++)
            out.insert(v);
    return out;
}

class RangeList : public vesk_test::ModelFixture {
  protected:
    void TearDown() override {
        vesk_free_rlist(&list_);
        ModelFixture::TearDown();
    }

    void add(std::initializer_list<uint16_t> vids) {
        for (uint16_t v : vids)
            vesk_rlist_add(&list_, v);
    }

    vesk_rlist *list_ = nullptr;
};

TEST_F(RangeList, AddingMergesNeighboursIntoOneRange) {
    add({10, 12, 11});
    EXPECT_EQ(ranges(list_), (Ranges{{10, 12}}));

    vesk_free_rlist(&list_);
    add({1, 2, 3, 4, 6, 7, 8, 9});
    ASSERT_EQ(ranges(list_), (Ranges{{1, 4}, {6, 9}}));
    add({5});
    EXPECT_EQ(ranges(list_), (Ranges{{1, 9}}));
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 1);
}

TEST_F(RangeList, AddingAMemberChangesNothing) {
    add({1, 2, 3, 4, 6, 7, 8, 9});
    add({7});
    EXPECT_EQ(ranges(list_), (Ranges{{1, 4}, {6, 9}}));
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 2);
}

TEST_F(RangeList, AddingBelowTheFirstRangeExtendsOrPrecedesIt) {
    add({6, 7, 8, 9});
    add({5});
    EXPECT_EQ(ranges(list_), (Ranges{{5, 9}}));

    vesk_free_rlist(&list_);
    add({6, 7, 8, 9, 3});
    EXPECT_EQ(ranges(list_), (Ranges{{3, 3}, {6, 9}}));
}

TEST_F(RangeList, DeletingSplitsShrinksAndEmpties) {
    add({10, 11, 12});
    EXPECT_EQ(vesk_rlist_delete(&list_, 11), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{10, 10}, {12, 12}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 10), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{12, 12}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 12), 0);
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
}

TEST_F(RangeList, DeletingTheEndsOfARangeShrinksIt) {
    add({10, 11, 12});
    EXPECT_EQ(vesk_rlist_delete(&list_, 10), 0);
    EXPECT_EQ(vesk_rlist_delete(&list_, 12), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{11, 11}}));
}

TEST_F(RangeList, DeletingANonMemberFailsAndKeepsTheList) {
    add({10, 11, 12});
    EXPECT_EQ(vesk_rlist_delete(&list_, 13), -1);
    EXPECT_EQ(vesk_rlist_delete(&list_, 9), -1);
    EXPECT_EQ(ranges(list_), (Ranges{{10, 12}}));
    vesk_free_rlist(&list_);
    EXPECT_EQ(vesk_rlist_delete(&list_, 1), -1);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
}

TEST_F(RangeList, MembershipCoversTheWholeRangeAndNothingElse) {
    for (int v = 4000; v <= 4094; v++)
        vesk_rlist_add(&list_, static_cast<uint16_t>(v));
    EXPECT_EQ(vesk_find_vlan_from_rlist(4094, &list_), 1);
    EXPECT_EQ(vesk_find_vlan_from_rlist(4000, &list_), 1);
    EXPECT_EQ(vesk_find_vlan_from_rlist(4095, &list_), 0);
    EXPECT_EQ(vesk_find_vlan_from_rlist(3999, &list_), 0);
    vesk_rlist *empty = nullptr;
    EXPECT_EQ(vesk_find_vlan_from_rlist(1, &empty), 0);
}

TEST_F(RangeList, TheHighestIdsDoNotWrapAround) {
    add({65535, 0});
    EXPECT_EQ(ranges(list_), (Ranges{{0, 0}, {65535, 65535}}));
    add({65534});
    EXPECT_EQ(ranges(list_), (Ranges{{0, 0}, {65534, 65535}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 65535), 0);
    EXPECT_EQ(vesk_rlist_delete(&list_, 0), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{65534, 65534}}));
}

TEST_F(RangeList, FreeingEmptiesTheListAndToleratesNothingToFree) {
    add({1, 3, 5});
    vesk_free_rlist(&list_);
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
    vesk_free_rlist(&list_);
    vesk_free_rlist(nullptr);
}

TEST_F(RangeList, JoinMergesOnlyTouchingNodes) {
    add({1, 2, 4, 5, 7});
    ASSERT_EQ(ranges(list_), (Ranges{{1, 2}, {4, 5}, {7, 7}}));
    vesk_join_rlist(list_, list_->next);
    EXPECT_EQ(ranges(list_), (Ranges{{1, 2}, {4, 5}, {7, 7}}));
    list_->next->low = 3;
    vesk_join_rlist(list_, list_->next);
    EXPECT_EQ(ranges(list_), (Ranges{{1, 5}, {7, 7}}));
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 2);
    vesk_join_rlist(list_, nullptr);
    vesk_join_rlist(nullptr, list_);
}

// Nodes covering several VLANs never come from the daemon, but must still give the set union
// and difference.
TEST_F(RangeList, WideNodesLinkAsUnionAndUnlinkAsDifference) {
    add({1, 5, 9, 20});
    auto *wide = static_cast<vesk_rlist *>(mfh_calloc(MTYPE_VESK_RLIST, sizeof(vesk_rlist)));
    ASSERT_NE(wide, nullptr);
    wide->low = 4;
    wide->high = 10;
    vesk_link_rlist(&list_, wide);
    EXPECT_EQ(ranges(list_), (Ranges{{1, 1}, {4, 10}, {20, 20}}));

    auto *cut = static_cast<vesk_rlist *>(mfh_calloc(MTYPE_VESK_RLIST, sizeof(vesk_rlist)));
    ASSERT_NE(cut, nullptr);
    cut->low = 1;
    cut->high = 6;
    EXPECT_EQ(vesk_unlink_rlist(&list_, cut), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{7, 10}, {20, 20}}));

    cut = static_cast<vesk_rlist *>(mfh_calloc(MTYPE_VESK_RLIST, sizeof(vesk_rlist)));
    ASSERT_NE(cut, nullptr);
    cut->low = 11;
    cut->high = 19;
    EXPECT_EQ(vesk_unlink_rlist(&list_, cut), -1);
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 2);
}

TEST_F(RangeList, NoMemoryWhenAddingLeavesTheListAndSaysSo) {
    add({10, 12});
    memory_fail_next(MTYPE_VESK_RLIST, 1);
    vesk_rlist_add(&list_, 11);
    EXPECT_EQ(ranges(list_), (Ranges{{10, 10}, {12, 12}}));
    EXPECT_EQ(log_count_exact("Cannot allocate memory for PORT_RVLAN"), 1u) << log().text();
}

TEST_F(RangeList, NoMemoryWhenDeletingKeepsTheMemberAndSaysSo) {
    add({10, 11, 12});
    memory_fail_next(MTYPE_VESK_RLIST, 1);
    EXPECT_EQ(vesk_rlist_delete(&list_, 11), -1);
    EXPECT_EQ(ranges(list_), (Ranges{{10, 12}}));
    EXPECT_EQ(log_count_exact("Cannot allocate memory for PORT_RVLAN "), 1u) << log().text();
}

// A VLAN deleted from a port must leave its range list even without memory, or the port goes on
// claiming it; only cutting an id out of the inside of a range needs a node.
TEST_F(RangeList, NoMemoryWhenDeletingAnEndOrALoneIdStillDeletes) {
    add({10, 11, 12, 20});
    memory_fail_next(MTYPE_VESK_RLIST, 3);
    EXPECT_EQ(vesk_rlist_delete(&list_, 10), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{11, 12}, {20, 20}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 12), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{11, 11}, {20, 20}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 20), 0);
    EXPECT_EQ(ranges(list_), (Ranges{{11, 11}}));
    EXPECT_EQ(vesk_rlist_delete(&list_, 11), 0);
    EXPECT_EQ(list_, nullptr);
    EXPECT_EQ(memory_fail_pending(MTYPE_VESK_RLIST), 3) << "nothing tried to allocate";
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), 0);
    EXPECT_EQ(log_count_exact("Cannot allocate memory for PORT_RVLAN "), 0u) << log().text();
}

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
        const auto id = static_cast<uint16_t>(vid);
        if (adding(rng)) {
            vesk_rlist_add(&list_, id);
            model.insert(vid);
        } else {
            const int expected = model.erase(vid) != 0 ? 0 : -1;
            ASSERT_EQ(vesk_rlist_delete(&list_, id), expected) << "step " << step << " vid " << vid;
        }
        ASSERT_TRUE(keeps_invariant(list_)) << "step " << step;
        ASSERT_EQ(members(list_), model) << "step " << step;
        const auto probe = static_cast<uint16_t>(narrow(rng));
        ASSERT_EQ(vesk_find_vlan_from_rlist(probe, &list_), model.count(probe) != 0 ? 1 : 0);
    }
    long nodes = 0;
    for (const vesk_rlist *n = list_; n != nullptr; n = n->next)
        nodes++;
    EXPECT_EQ(memory_live(MTYPE_VESK_RLIST), nodes);
}

} // namespace
