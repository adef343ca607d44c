// Interfaces and the privileged virtual router: lookups, natural name order, hooks.
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/list.h"
#include "zet/core/memory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <net/if.h>
#include <string>
#include <vector>

namespace {

int sign(int v) {
    return v < 0 ? -1 : v > 0 ? 1 : 0;
}

TEST(IfnameCmp3, DigitRunsCompareByValue) {
    EXPECT_LT(ifname_cmp3("ge2", "ge10"), 0);
    EXPECT_GT(ifname_cmp3("ge10", "ge2"), 0);
    EXPECT_LT(ifname_cmp3("ge1/0/2", "ge1/0/10"), 0);
    EXPECT_LT(ifname_cmp3("ge1/2/1", "ge1/10/1"), 0);
    EXPECT_LT(ifname_cmp3("eth9", "eth10"), 0);
    EXPECT_EQ(ifname_cmp3("ge1", "ge1"), 0);
}

TEST(IfnameCmp3, TextDecidesWhereNumbersDoNot) {
    EXPECT_LT(ifname_cmp3("eth1", "ge1"), 0);
    EXPECT_LT(ifname_cmp3("ge1", "ge1.10"), 0); // a prefix comes first
    EXPECT_LT(ifname_cmp3("ge", "ge1"), 0);
    EXPECT_LT(ifname_cmp3("", "a"), 0);
    // Equal by value, told apart by text so that the order stays total.
    EXPECT_NE(ifname_cmp3("ge02", "ge2"), 0);
    EXPECT_EQ(sign(ifname_cmp3("ge02", "ge2")), -sign(ifname_cmp3("ge2", "ge02")));
    // Very long digit runs do not overflow.
    EXPECT_LT(ifname_cmp3("p99999999999999999999", "p100000000000000000000"), 0);
}

TEST(IfnameCmp3, SortsANaturalListAndIsAConsistentOrder) {
    std::vector<std::string> names = {"ge10", "eth0", "ge2", "ge1/0/10", "ge1",   "ge1/0/2",
                                      "xe1",  "ge02", "br0", "ge100",    "eth10", "ge1/0/1"};
    std::sort(names.begin(), names.end(), [](const std::string &a, const std::string &b) {
        return ifname_cmp3(a.c_str(), b.c_str()) < 0;
    });
    EXPECT_EQ(names, (std::vector<std::string>{"br0", "eth0", "eth10", "ge1", "ge1/0/1", "ge1/0/2",
                                               "ge1/0/10", "ge02", "ge2", "ge10", "ge100", "xe1"}));
    for (auto &a : names)
        for (auto &b : names) {
            EXPECT_EQ(sign(ifname_cmp3(a.c_str(), b.c_str())),
                      -sign(ifname_cmp3(b.c_str(), a.c_str())))
                << a << " " << b;
            for (auto &c : names) {
                if (ifname_cmp3(a.c_str(), b.c_str()) < 0 &&
                    ifname_cmp3(b.c_str(), c.c_str()) < 0) {
                    EXPECT_LT(ifname_cmp3(a.c_str(), c.c_str()), 0) << a << " " << b << " " << c;
                }
            }
        }
}

TEST(IfIsUp, NeedsBothUpAndRunning) {
    interface ifp {};
    EXPECT_FALSE(if_is_up(&ifp));
    ifp.flags = IFF_UP;
    EXPECT_FALSE(if_is_up(&ifp));
    ifp.flags = IFF_RUNNING;
    EXPECT_FALSE(if_is_up(&ifp));
    ifp.flags = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
    EXPECT_TRUE(if_is_up(&ifp));
    EXPECT_FALSE(if_is_up(nullptr));
}

class IfTest : public ::testing::Test {
  protected:
    void SetUp() override {
        start_ = memory_live_total();
        zg_.ifg = ifg_create();
        ASSERT_NE(zg_.ifg, nullptr);
        zg_.vr_priv = ovx_vr_create_privileged(&zg_);
        ASSERT_NE(zg_.vr_priv, nullptr);
    }
    void TearDown() override {
        ovx_vr_free(zg_.vr_priv);
        EXPECT_EQ(zg_.vr_priv, nullptr);
        ifg_free(zg_.ifg);
        EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
        EXPECT_EQ(memory_live_total(), start_);
    }
    std::vector<std::string> vr_order() {
        std::vector<std::string> out;
        listnode *node;
        interface *ifp;
        LIST_LOOP(zg_.vr_priv->ifList, ifp, node) {
            out.emplace_back(ifp->name);
        }
        return out;
    }
    std::vector<std::string> group_order() {
        std::vector<std::string> out;
        ifg_foreach(
            zg_.ifg,
            [](void *ctx, interface *ifp) {
                static_cast<std::vector<std::string> *>(ctx)->emplace_back(ifp->name);
            },
            &out);
        return out;
    }
    lib_globals zg_{};
    long start_ = 0;
};

TEST_F(IfTest, PrivilegedRouterIsIdZeroAndEmpty) {
    ovx_vr *vr = ovx_vr_get_privileged(&zg_);
    ASSERT_EQ(vr, zg_.vr_priv);
    EXPECT_EQ(vr->id, 0u);
    EXPECT_EQ(vr->zg, &zg_);
    EXPECT_EQ(vr->proto, nullptr);
    EXPECT_EQ(listcount(vr->ifList), 0u);
    EXPECT_EQ(if_lookup_by_index(vr->ifm, 1), nullptr);
    EXPECT_EQ(ovx_vr_get_privileged(nullptr), nullptr);
}

TEST_F(IfTest, CreatedInterfaceIsFoundEveryWay) {
    interface *ifp = if_create(&zg_, "ge1", 7);
    ASSERT_NE(ifp, nullptr);
    EXPECT_STREQ(ifp->name, "ge1");
    EXPECT_STREQ(reinterpret_cast<const char *>(ifp), "ge1"); // the record begins with its name
    EXPECT_EQ(ifp->ifindex, 7u);
    EXPECT_EQ(ifp->vr, zg_.vr_priv);
    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 7), ifp);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge1"), ifp);
    EXPECT_EQ(ifg_get_by_name(zg_.ifg, "ge1"), ifp);
    EXPECT_EQ(if_lookup_by_index(zg_.vr_priv->ifm, 7), ifp);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 1);
}

TEST_F(IfTest, UnknownInterfacesAreNotMadeUp) {
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 3), nullptr);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge3"), nullptr);
    EXPECT_EQ(ifg_get_by_name(zg_.ifg, "ge3"), nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
}

TEST_F(IfTest, DuplicatesAndBadNamesAreRefused) {
    ASSERT_NE(if_create(&zg_, "ge1", 7), nullptr);
    EXPECT_EQ(if_create(&zg_, "ge9", 7), nullptr); // index taken
    EXPECT_EQ(if_create(&zg_, "ge1", 8), nullptr); // name taken
    EXPECT_EQ(if_create(&zg_, "", 9), nullptr);
    EXPECT_EQ(if_create(&zg_, nullptr, 9), nullptr);
    EXPECT_EQ(if_create(&zg_, "ge5", 0), nullptr);
    EXPECT_EQ(if_create(&zg_, std::string(INTERFACE_NAMSIZ + 1, 'x').c_str(), 9), nullptr);
    EXPECT_NE(if_create(&zg_, std::string(INTERFACE_NAMSIZ, 'x').c_str(), 9), nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 2);
}

TEST_F(IfTest, NoMemoryForAnInterfaceGivesNull) {
    memory_fail_next(MTYPE_ZET_IF, 1);
    EXPECT_EQ(if_create(&zg_, "ge1", 1), nullptr);
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 1), nullptr);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1); // the router's list node
    EXPECT_EQ(if_create(&zg_, "ge1", 1), nullptr);
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 1), nullptr);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge1"), nullptr);
    EXPECT_EQ(if_lookup_by_index(zg_.vr_priv->ifm, 1), nullptr);
    EXPECT_NE(if_create(&zg_, "ge1", 1), nullptr);
}

TEST_F(IfTest, RouterListAndGroupWalkAreInNaturalNameOrder) {
    const char *names[] = {"ge10", "ge2", "ge1", "eth0", "ge3"};
    uint32_t index = 1;
    for (const char *n : names)
        ASSERT_NE(if_create(&zg_, n, index++), nullptr);
    std::vector<std::string> expect = {"eth0", "ge1", "ge2", "ge3", "ge10"};
    EXPECT_EQ(vr_order(), expect);
    EXPECT_EQ(group_order(), expect);
}

std::vector<std::string> unbound;
lib_globals *hook_zg;
int record_unbind(interface *ifp) {
    // Called before the interface goes: still whole and findable.
    EXPECT_EQ(ifg_lookup_by_index(hook_zg->ifg, ifp->ifindex), ifp);
    EXPECT_EQ(if_lookup_by_index(hook_zg->vr_priv->ifm, ifp->ifindex), ifp);
    EXPECT_EQ(ifp->vr, hook_zg->vr_priv);
    unbound.push_back(std::string("first:") + ifp->name);
    return 0;
}
int record_unbind_second(interface *ifp) {
    unbound.push_back(std::string("second:") + ifp->name);
    return 0;
}

TEST_F(IfTest, DeleteCallsTheUnbindHooksFirstThenForgetsTheInterface) {
    unbound.clear();
    hook_zg = &zg_;
    ASSERT_EQ(if_add_hook(zg_.ifg, IF_HOOK_VR_UNBIND, record_unbind), 0);
    ASSERT_EQ(if_add_hook(zg_.ifg, 6, record_unbind_second), 0);
    EXPECT_EQ(if_add_hook(zg_.ifg, 6, nullptr), -1);
    EXPECT_EQ(if_add_hook(nullptr, 6, record_unbind), -1);
    interface *a = if_create(&zg_, "ge1", 1);
    ASSERT_NE(if_create(&zg_, "ge2", 2), nullptr);
    if_delete(&zg_, a);
    EXPECT_EQ(unbound, (std::vector<std::string>{"first:ge1", "second:ge1"}));
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 1), nullptr);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge1"), nullptr);
    EXPECT_EQ(if_lookup_by_index(zg_.vr_priv->ifm, 1), nullptr);
    EXPECT_EQ(vr_order(), (std::vector<std::string>{"ge2"}));
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 1);
}

TEST_F(IfTest, GroupFreeReleasesRemainingInterfacesWithoutHooks) {
    unbound.clear();
    hook_zg = &zg_;
    if_add_hook(zg_.ifg, IF_HOOK_VR_UNBIND, record_unbind);
    for (uint32_t i = 1; i <= 5; i++)
        if_create(&zg_, ("ge" + std::to_string(i)).c_str(), i);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 5);
    // TearDown frees router and group and checks that nothing is left.
    ovx_vr_free(zg_.vr_priv);
    ifg_free(zg_.ifg);
    EXPECT_TRUE(unbound.empty());
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
    zg_.ifg = ifg_create();
    zg_.vr_priv = ovx_vr_create_privileged(&zg_);
}

TEST_F(IfTest, RenameKeepsLookupsAndOrderCurrent) {
    interface *a = if_create(&zg_, "ge1", 1);
    ASSERT_NE(if_create(&zg_, "ge5", 5), nullptr);
    ASSERT_NE(if_create(&zg_, "ge9", 9), nullptr);
    ASSERT_EQ(if_rename(&zg_, a, "ge7"), 0);
    EXPECT_STREQ(a->name, "ge7");
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge1"), nullptr);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge7"), a);
    EXPECT_EQ(ifg_lookup_by_index(zg_.ifg, 1), a);
    EXPECT_EQ(vr_order(), (std::vector<std::string>{"ge5", "ge7", "ge9"}));
    EXPECT_EQ(group_order(), (std::vector<std::string>{"ge5", "ge7", "ge9"}));
    EXPECT_EQ(if_rename(&zg_, a, "ge9"), -1); // taken
    EXPECT_EQ(if_rename(&zg_, a, ""), -1);
    EXPECT_EQ(if_rename(&zg_, a, "ge7"), 0); // same name
    EXPECT_STREQ(a->name, "ge7");
    ASSERT_EQ(if_rename(&zg_, a, "ge10"), 0);
    EXPECT_EQ(vr_order(), (std::vector<std::string>{"ge5", "ge9", "ge10"}));
    ASSERT_EQ(if_rename(&zg_, a, "eth0"), 0);
    EXPECT_EQ(vr_order(), (std::vector<std::string>{"eth0", "ge5", "ge9"}));
}

TEST_F(IfTest, RouterCallbacksAreKeptButNeverCalledForThePrivilegedRouter) {
    static int calls = 0;
    auto creator = [](ovx_vr *) {
        calls++;
        return 0;
    };
    EXPECT_EQ(ovx_vr_add_callback(&zg_, 0, creator), 0);
    EXPECT_EQ(ovx_vr_add_callback(&zg_, 1, creator), -1);
    EXPECT_EQ(ovx_vr_add_callback(&zg_, 0, nullptr), -1);
    EXPECT_EQ(ovx_vr_add_callback(nullptr, 0, creator), -1);
    EXPECT_EQ(calls, 0);
}

TEST_F(IfTest, ForeachMayDeleteTheInterfaceItIsGiven) {
    for (uint32_t i = 1; i <= 4; i++)
        if_create(&zg_, ("ge" + std::to_string(i)).c_str(), i);
    ifg_foreach(
        zg_.ifg, [](void *ctx, interface *ifp) { if_delete(static_cast<lib_globals *>(ctx), ifp); },
        &zg_);
    EXPECT_TRUE(group_order().empty());
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
}

} // namespace
