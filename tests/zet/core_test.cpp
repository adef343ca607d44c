// The framework's core records: typed memory, lists, the route table, interfaces and the
// privileged virtual router, the framework handle, and the small platform services.
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/list.h"
#include "zet/core/log.h"
#include "zet/core/memory.h"
#include "zet/core/pal.h"
#include "zet/core/table.h"
#include "zet/core/thread.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <climits>
#include <cstring>
#include <net/if.h>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kType = 700; // a type no other test or module uses
constexpr int kOther = 701;

// Every test leaves memory as it found it.
struct Core : ::testing::Test {
    long start = memory_live_total();
    void TearDown() override { EXPECT_EQ(memory_live_total(), start); }
};

// ---- typed memory --------------------------------------------------------------------------

TEST_F(Core, MemoryIsZeroFilledAndCountedPerType) {
    auto *a = static_cast<uint8_t *>(mfh_calloc(kType, 64));
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::count(a, a + 64, 0), 64);
    void *zero1 = mfh_calloc(kType, 0), *zero2 = mfh_calloc(kType, 0),
         *other = mfh_calloc(kOther, 8);
    EXPECT_TRUE(zero1 != nullptr && zero2 != nullptr && zero1 != zero2);
    EXPECT_EQ(std::tuple(memory_live(kType), memory_live(kOther), memory_live_total()),
              std::tuple(3, 1, start + 4));
    std::vector<std::pair<int, long>> seen;
    memory_foreach_live(
        [](void *ctx, int type, long live) {
            static_cast<std::vector<std::pair<int, long>> *>(ctx)->emplace_back(type, live);
        },
        &seen);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_EQ(std::vector(seen.end() - 2, seen.end()),
              (std::vector<std::pair<int, long>>{{kType, 3}, {kOther, 1}}));
    for (void *p : {static_cast<void *>(a), zero1, zero2})
        pal_mem_free(kType, p);
    pal_mem_free(kOther, other);
    pal_mem_free(kType, nullptr);
    EXPECT_EQ(std::pair(mfh_calloc(-1, 8), mfh_calloc(MTYPE_MAX, 8)),
              (std::pair<void *, void *>()));
    EXPECT_EQ(std::pair(memory_live(kType), memory_live(MTYPE_MAX)), std::pair(0L, 0L));
}

TEST_F(Core, InjectedFailuresHitTheNextAllocationsOfTheirTypeOnceEach) {
    memory_fail_next(kType, 5);
    memory_fail_next(kType, 0);
    EXPECT_EQ(memory_fail_pending(kType), 0);
    memory_fail_next(kType, 2);
    EXPECT_EQ(memory_fail_pending(kType), 2);
    void *other = mfh_calloc(kOther, 8);
    EXPECT_NE(other, nullptr);
    EXPECT_EQ(std::pair(mfh_calloc(kType, 8), mfh_calloc(kType, 8)), (std::pair<void *, void *>()));
    EXPECT_EQ(memory_live(kType), 0) << "failed allocations are not counted";
    void *third = mfh_calloc(kType, 8);
    EXPECT_NE(third, nullptr);
    pal_mem_free(kType, third);
    pal_mem_free(kOther, other);
    // Under concurrent use the counters stay exact and each failure is taken once.
    memory_fail_next(kType, 1000);
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            std::vector<void *> held;
            for (int i = 0; i < 10000; i++) {
                held.push_back(mfh_calloc(kType, 24));
                failed += held.back() == nullptr;
                if (held.size() < 8)
                    continue;
                for (void *p : held)
                    pal_mem_free(kType, p);
                held.clear();
            }
            for (void *p : held)
                pal_mem_free(kType, p);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(std::pair(failed.load(), memory_live(kType)), std::pair(1000, 0L));
}

// ---- lists ---------------------------------------------------------------------------------

struct item {
    int key, id;
};

// The ids in order, after checking the links both ways and the count.
std::vector<int> ids(list *l) {
    std::vector<int> out;
    listnode *prev = nullptr;
    for (listnode *node = l->head; node != nullptr; prev = node, node = node->next) {
        EXPECT_EQ(node->prev, prev);
        out.push_back(static_cast<item *>(node->data)->id);
    }
    EXPECT_EQ(l->tail, prev);
    EXPECT_EQ(l->count, out.size());
    return out;
}

std::vector<int> destroyed;
void destroy(void *p) {
    destroyed.push_back(static_cast<item *>(p)->id);
    pal_mem_free(kType, p);
}

TEST_F(Core, ListsKeepOrderAndUnlinkAnywhere) {
    item items[] = {{5, 1}, {1, 2}, {3, 3}, {5, 4}, {1, 5}, {9, 6}, {0, 7}, {3, 8}};
    list *l = list_new(), *plain = list_new();
    ASSERT_EQ(std::tuple(listhead(l), l->cmp, l->del, memory_live(MTYPE_ZET_LIST)),
              std::tuple(nullptr, nullptr, nullptr, 2));
    l->cmp = [](void *a, void *b) {
        return static_cast<item *>(a)->key - static_cast<item *>(b)->key;
    };
    for (auto &it : items) {
        ASSERT_NE(listnode_add_sort(l, &it), nullptr);
        listnode_add_sort(plain, &it); // without cmp: appended
    }
    EXPECT_EQ(ids(l), (std::vector<int>{7, 2, 5, 3, 8, 1, 4, 6})) << "equal keys in arrival order";
    EXPECT_EQ(ids(plain), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
    memory_fail_next(MTYPE_ZET_LISTNODE, 1);
    EXPECT_EQ(listnode_add_sort(l, &items[0]), nullptr);
    for (item *it : {&items[6], &items[2], &items[5], &items[5]}) // head, middle, tail, absent
        listnode_delete(l, it);
    EXPECT_EQ(ids(l), (std::vector<int>{2, 5, 8, 1, 4}));
    listnode_add(plain, &items[0]);
    listnode_delete(plain, &items[0]); // only the first node of an item
    EXPECT_EQ(ids(plain), (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 1}));
    listnode *node, *next;
    item *it;
    std::vector<int> visited;
    LIST_LOOP_DEL(plain, it, node, next) {
        visited.push_back(it->id);
        if (it->id % 2 == 1)
            list_delete_node(plain, node);
    }
    EXPECT_EQ(visited, (std::vector<int>{2, 3, 4, 5, 6, 7, 8, 1}));
    EXPECT_EQ(ids(plain), (std::vector<int>{2, 4, 6, 8}));
    for (item *i : {&items[1], &items[4], &items[7], &items[0], &items[3]})
        listnode_delete(l, i);
    EXPECT_TRUE(ids(l).empty());
    list *none = nullptr;
    LIST_LOOP(none, it, node) {
        ADD_FAILURE();
    }
    LIST_LOOP(l, it, node) {
        ADD_FAILURE();
    }
    list_free(l);
    list_free(plain);
    memory_fail_next(MTYPE_ZET_LIST, 1);
    EXPECT_EQ(list_new(), nullptr);
    EXPECT_EQ(std::pair(listnode_add(nullptr, items), listnode_add_sort(nullptr, items)),
              (std::pair<listnode *, listnode *>()));
    listnode_delete(nullptr, items);
    list_delete(nullptr);
    list_free(nullptr);
}

// list_delete and list_delete_all_node call the destructor on each item once; list_free and
// list_delete_node never touch the items.
TEST_F(Core, ListDestructorRunsOnlyWhereItemsAreDeleted) {
    destroyed.clear();
    item a{0, 1}, b{0, 2};
    list *l = list_new();
    l->del = destroy;
    listnode_add(l, &a);
    list_delete_node(l, listnode_add(l, &b));
    EXPECT_EQ(ids(l), std::vector<int>{1});
    list_free(l);
    EXPECT_TRUE(destroyed.empty());
    l = list_new();
    l->del = destroy;
    auto add = [&](int id) {
        auto *it = static_cast<item *>(mfh_calloc(kType, sizeof(item)));
        it->id = id;
        listnode_add(l, it);
    };
    add(7);
    list_delete_all_node(l);
    EXPECT_EQ(std::tuple(destroyed, listcount(l), listhead(l)),
              std::tuple(std::vector<int>{7}, 0u, nullptr));
    for (int id : {40, 20, 80})
        add(id); // the list is still usable
    list_delete(l);
    EXPECT_EQ(destroyed, (std::vector<int>{7, 40, 20, 80}));
}

// ---- route table with host-prefix keys, as the daemon's VLAN tables use it ---------------------

// The daemon keys VLAN v as: family 2, length 32, address v in network byte order.
prefix_ipv4 key(uint32_t v, uint8_t len = 32) {
    prefix_ipv4 p{};
    p.family = AF_INET;
    p.prefixlen = len;
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

TEST_F(Core, TableWalksInNumericOrderLockingOneNodeAtATime) {
    route_table *t = route_table_init();
    int x = 0;
    for (uint32_t v : {4094u, 256u, 1u, 255u, 4095u, 257u}) { // 256 is 0.0.1.0, 1 is 0.0.0.1
        prefix_ipv4 p = key(v);
        route_node_get(t, &p)->info = &x;
    }
    const std::vector<std::string> want = {"1/2", "255/2", "256/2", "257/2", "4094/2", "4095/2"};
    EXPECT_EQ(walk(t), want);
    EXPECT_EQ(walk(t), want) << "each step releases the node before";
    EXPECT_EQ(route_table_count(t), 6u);
    route_node *top = route_top(t); // a walk stopped early needs one unlock
    route_unlock_node(top);
    EXPECT_EQ(top->lock, 1);
    // Deleting each record on the way is safe: the walk's own lock keeps the node until it moves.
    for (route_node *n = route_top(t); n != nullptr; n = route_next(n)) {
        n->info = nullptr;
        route_unlock_node(n);
    }
    EXPECT_EQ(route_table_count(t), 0u);
    route_table_finish(t);
}

TEST_F(Core, TableNodeLivesWhileLockedOrHoldingInfo) {
    route_table *t = route_table_init();
    prefix_ipv4 p = key(10);
    EXPECT_EQ(route_node_lookup(t, &p), nullptr);
    EXPECT_EQ(route_table_count(t), 0u) << "a lookup makes nothing";
    route_node *n = route_node_get(t, &p);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(std::tuple(n->lock, n->table, n->p.family, n->p.prefixlen),
              std::tuple(1, t, AF_INET, 32));
    EXPECT_EQ(route_node_get(t, &p), n);
    EXPECT_EQ(route_node_lookup(t, &p), n);
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
    EXPECT_EQ(std::pair(route_table_count(t), memory_live(MTYPE_ZET_ROUTE_NODE)),
              std::pair(0UL, 0L));
    // Host bits beyond the prefix length are ignored.
    prefix_ipv4 net = key(0x0a000105, 24), other = key(0x0a0001ff, 24);
    n = route_node_get(t, &net);
    EXPECT_EQ(ntohl(n->p.prefix.s_addr), 0x0a000100u);
    EXPECT_EQ(route_node_lookup(t, &other), n);
    memory_fail_next(MTYPE_ZET_ROUTE_NODE, 1);
    EXPECT_EQ(route_node_get(t, &p), nullptr);
    EXPECT_EQ(route_table_count(t), 1u);
    for (uint32_t v = 1; v <= 50; v++) // finishing frees nodes still locked
        route_node_get(t, (p = key(v), &p));
    route_table_finish(t);
    memory_fail_next(MTYPE_ZET_ROUTE_TABLE, 1);
    EXPECT_EQ(route_table_init(), nullptr);
    EXPECT_EQ(std::tuple(route_node_get(nullptr, &p), route_node_lookup(nullptr, &p),
                         route_top(nullptr), route_next(nullptr), route_table_count(nullptr)),
              std::tuple(nullptr, nullptr, nullptr, nullptr, 0UL));
    route_unlock_node(nullptr);
    route_table_finish(nullptr);
}

// ---- interfaces and the privileged virtual router ----------------------------------------------

int sign(int v) {
    return (v > 0) - (v < 0);
}

TEST(IfnameCmp3, DigitRunsCompareByValueTextDecidesTheRestAndTheOrderIsTotal) {
    const struct {
        const char *a, *b;
        int want;
    } cases[] = {
        {"ge2", "ge10", -1},
        {"ge1/0/2", "ge1/0/10", -1},
        {"ge1/2/1", "ge1/10/1", -1},
        {"eth9", "eth10", -1},
        {"ge1", "ge1", 0},
        {"eth1", "ge1", -1},
        {"ge1", "ge1.10", -1},
        {"ge", "ge1", -1},
        {"", "a", -1},
        {"ge02", "ge2", -1},
        {"p99999999999999999999", "p100000000000000000000", -1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(sign(ifname_cmp3(c.a, c.b)), c.want) << c.a << " " << c.b;
        EXPECT_EQ(sign(ifname_cmp3(c.b, c.a)), -c.want) << c.b << " " << c.a;
    }
    std::vector<std::string> names = {"ge10", "eth0", "ge2", "ge1/0/10", "ge1",   "ge1/0/2",
                                      "xe1",  "ge02", "br0", "ge100",    "eth10", "ge1/0/1"};
    std::sort(names.begin(), names.end(),
              [](auto &a, auto &b) { return ifname_cmp3(a.c_str(), b.c_str()) < 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"br0", "eth0", "eth10", "ge1", "ge1/0/1", "ge1/0/2",
                                               "ge1/0/10", "ge02", "ge2", "ge10", "ge100", "xe1"}));
    for (auto &a : names)
        for (auto &b : names) {
            int ab = ifname_cmp3(a.c_str(), b.c_str());
            EXPECT_EQ(sign(ab), -sign(ifname_cmp3(b.c_str(), a.c_str()))) << a << " " << b;
            for (auto &c : names)
                EXPECT_FALSE(ab < 0 && ifname_cmp3(b.c_str(), c.c_str()) < 0 &&
                             ifname_cmp3(a.c_str(), c.c_str()) >= 0)
                    << a << " " << b << " " << c;
        }
    interface ifp {};
    const uint32_t flag_sets[] = {0, IFF_UP, IFF_RUNNING, IFF_UP | IFF_RUNNING | IFF_BROADCAST};
    for (uint32_t flags : flag_sets) {
        ifp.flags = flags;
        EXPECT_EQ(if_is_up(&ifp), flags == flag_sets[3]) << flags;
    }
    EXPECT_FALSE(if_is_up(nullptr));
}

class IfTest : public Core {
  protected:
    void SetUp() override {
        zg_.ifg = ifg_create();
        zg_.vr_priv = ovx_vr_create_privileged(&zg_);
        ASSERT_TRUE(zg_.ifg != nullptr && zg_.vr_priv != nullptr);
    }
    void TearDown() override {
        ovx_vr_free(zg_.vr_priv);
        EXPECT_EQ(zg_.vr_priv, nullptr);
        ifg_free(zg_.ifg);
        Core::TearDown();
    }
    // The names in the router's list, then those of a walk of the group.
    std::string order() {
        std::string out;
        listnode *node;
        interface *ifp;
        LIST_LOOP(zg_.vr_priv->ifList, ifp, node) {
            out += std::string(ifp->name) + " ";
        }
        out += "|";
        ifg_foreach(
            zg_.ifg,
            [](void *o, interface *i) {
                *static_cast<std::string *>(o) += std::string(" ") + i->name;
            },
            &out);
        return out;
    }
    // The interface found by index in the group and the router, and by name, or null when
    // these disagree.
    interface *found(uint32_t ifindex, const char *name) {
        interface *ifp = ifg_lookup_by_index(zg_.ifg, ifindex);
        bool agree = ifp == if_lookup_by_index(zg_.vr_priv->ifm, ifindex) &&
                     ifp == ifg_lookup_by_name(zg_.ifg, name) &&
                     ifp == ifg_get_by_name(zg_.ifg, name);
        return agree ? ifp : reinterpret_cast<interface *>(-1);
    }
    lib_globals zg_{};
};

TEST_F(IfTest, InterfacesAreFoundEveryWayAndKeptInNaturalNameOrder) {
    ovx_vr *vr = ovx_vr_get_privileged(&zg_);
    ASSERT_EQ(vr, zg_.vr_priv);
    EXPECT_EQ(std::tuple(vr->id, vr->zg, vr->proto, listcount(vr->ifList)),
              std::tuple(0u, &zg_, nullptr, 0u));
    EXPECT_EQ(ovx_vr_get_privileged(nullptr), nullptr);
    EXPECT_EQ(found(7, "ge1"), nullptr);
    interface *ge1 = if_create(&zg_, "ge1", 7);
    ASSERT_NE(ge1, nullptr);
    EXPECT_EQ(std::tuple(std::string(reinterpret_cast<const char *>(ge1)), ge1->ifindex, ge1->vr,
                         ge1->info),
              std::tuple("ge1", 7u, zg_.vr_priv, nullptr))
        << "the record begins with its name";
    EXPECT_EQ(found(7, "ge1"), ge1);
    const std::string long_name(INTERFACE_NAMSIZ + 1, 'x');
    const std::pair<const char *, uint32_t> refused[] = {
        {"ge9", 7}, {"ge1", 8}, {"", 9}, {nullptr, 9}, {"ge5", 0}, {long_name.c_str(), 9}};
    for (auto [name, ifindex] : refused)
        EXPECT_EQ(if_create(&zg_, name, ifindex), nullptr) << (name ? name : "null");
    EXPECT_NE(if_create(&zg_, long_name.c_str() + 1, 9), nullptr);
    memory_fail_next(MTYPE_ZET_IF, 1);
    EXPECT_EQ(if_create(&zg_, "ge10", 1), nullptr);
    memory_fail_next(MTYPE_ZET_LISTNODE, 1); // the router's list node
    EXPECT_EQ(if_create(&zg_, "ge10", 1), nullptr);
    EXPECT_EQ(found(1, "ge10"), nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 2);
    ovx_vr_free(zg_.vr_priv);
    ifg_free(zg_.ifg);
    zg_.ifg = ifg_create();
    zg_.vr_priv = ovx_vr_create_privileged(&zg_);
    uint32_t index = 1;
    for (const char *n : {"ge10", "ge2", "ge1", "eth0", "ge3"})
        ASSERT_NE(if_create(&zg_, n, index++), nullptr);
    EXPECT_EQ(order(), "eth0 ge1 ge2 ge3 ge10 | eth0 ge1 ge2 ge3 ge10");
    interface *a = ifg_lookup_by_name(zg_.ifg, "ge1");
    const std::tuple<const char *, int, const char *> renames[] = {
        {"ge7", 0, "eth0 ge2 ge3 ge7 ge10"},   {"ge2", -1, "eth0 ge2 ge3 ge7 ge10"},
        {"", -1, "eth0 ge2 ge3 ge7 ge10"},     {"ge7", 0, "eth0 ge2 ge3 ge7 ge10"},
        {"ge11", 0, "eth0 ge2 ge3 ge10 ge11"}, {"a0", 0, "a0 eth0 ge2 ge3 ge10"}};
    for (auto [name, rc, want] : renames) {
        EXPECT_EQ(if_rename(&zg_, a, name), rc) << name;
        EXPECT_EQ(order(), std::string(want) + " | " + want) << name;
    }
    EXPECT_EQ(found(3, "a0"), a);
    EXPECT_EQ(ifg_lookup_by_name(zg_.ifg, "ge1"), nullptr);
}

std::string unbound;
lib_globals *hook_zg;

TEST_F(IfTest, DeleteCallsTheUnbindHooksFirstButFreeingTheGroupCallsNone) {
    hook_zg = &zg_;
    unbound.clear();
    ASSERT_EQ(if_add_hook(zg_.ifg, IF_HOOK_VR_UNBIND,
                          [](interface *ifp) {
                              // Called before the interface goes: still whole and findable.
                              EXPECT_EQ(ifg_lookup_by_index(hook_zg->ifg, ifp->ifindex), ifp);
                              EXPECT_EQ(if_lookup_by_index(hook_zg->vr_priv->ifm, ifp->ifindex),
                                        ifp);
                              EXPECT_EQ(ifp->vr, hook_zg->vr_priv);
                              unbound += std::string("first:") + ifp->name + " ";
                              return 0;
                          }),
              0);
    ASSERT_EQ(if_add_hook(zg_.ifg, 6,
                          [](interface *ifp) {
                              return unbound += std::string("second:") + ifp->name + " ", 0;
                          }),
              0);
    EXPECT_EQ(std::pair(if_add_hook(zg_.ifg, 6, nullptr),
                        if_add_hook(nullptr, 6, [](interface *) { return 0; })),
              std::pair(-1, -1));
    for (uint32_t i = 1; i <= 4; i++)
        if_create(&zg_, ("ge" + std::to_string(i)).c_str(), i);
    if_delete(&zg_, ifg_lookup_by_index(zg_.ifg, 1));
    EXPECT_EQ(unbound, "first:ge1 second:ge1 ");
    EXPECT_EQ(found(1, "ge1"), nullptr);
    EXPECT_EQ(order(), "ge2 ge3 ge4 | ge2 ge3 ge4");
    // A walk may delete the interface it is given.
    ifg_foreach(
        zg_.ifg, [](void *zg, interface *ifp) { if_delete(static_cast<lib_globals *>(zg), ifp); },
        &zg_);
    EXPECT_EQ(order(), "|");
    for (uint32_t i = 1; i <= 5; i++)
        if_create(&zg_, ("ge" + std::to_string(i)).c_str(), i);
    unbound.clear();
    ovx_vr_free(zg_.vr_priv);
    ifg_free(zg_.ifg);
    EXPECT_EQ(std::pair(unbound, memory_live(MTYPE_ZET_IF)), std::pair(std::string(), 0L));
    zg_.ifg = ifg_create();
    zg_.vr_priv = ovx_vr_create_privileged(&zg_);
    // Router callbacks are kept but never called for the privileged router.
    static int calls = 0;
    auto creator = [](ovx_vr *) { return ++calls; };
    EXPECT_EQ(ovx_vr_add_callback(&zg_, 0, creator), 0);
    EXPECT_EQ(std::tuple(ovx_vr_add_callback(&zg_, 1, creator),
                         ovx_vr_add_callback(&zg_, 0, nullptr),
                         ovx_vr_add_callback(nullptr, 0, creator), calls),
              std::tuple(-1, -1, -1, 0));
}

// ---- the framework handle --------------------------------------------------------------------

std::string platform(const lib_globals *zg) {
    const auto &p = zg->platform;
    return std::string(p.nsm) + " " + p.frame + " " + p.bridge + " " + p.port_mac;
}

TEST_F(Core, LibStartMakesTheHandleAndStopReleasesEverythingMadeThroughIt) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    EXPECT_TRUE(zg->ifg != nullptr && zg->ctree != nullptr && zg->vr_priv->id == 0 &&
                ovx_vr_get_privileged(zg) == zg->vr_priv && zg->vr_priv->zg == zg);
    EXPECT_EQ(std::tuple(zg->log, zg->master, zg->nc, zg->fsock),
              std::tuple(nullptr, nullptr, nullptr, nullptr))
        << "made later by the daemon";
    EXPECT_EQ(platform(zg), "kernel packet  bridge");
    zg->protocol = 29;
    ASSERT_NE(openzlog(zg, 0, 29, ZLOG_DEST_STDERR), nullptr);
    zg->master = thread_master_create();
    ASSERT_TRUE(if_create(zg, "ge2", 2) != nullptr && if_create(zg, "ge10", 10) != nullptr);
    static int unbinds = 0;
    ASSERT_EQ(if_add_hook(zg->ifg, IF_HOOK_VR_UNBIND, [](interface *) { return ++unbinds; }), 0);
    ASSERT_EQ(ovx_vr_add_callback(zg, 0, [](ovx_vr *) { return 0; }), 0);
    auto cap = std::make_unique<vesk_test::LogCapture>(zg);
    zlog_info(zg, "before stop");
    EXPECT_TRUE(cap->contains("before stop"));
    lib_stop(zg);
    cap.reset(); // a capture attached to the handle outlives it
    EXPECT_EQ(unbinds, 0) << "stopping is not an unbind: the daemon is gone by then";
    lib_stop(nullptr);
    for (int type : {MTYPE_ZET_IF_GROUP, MTYPE_ZET_VR, MTYPE_ZET_IF_TABLE, MTYPE_ZET_LIST}) {
        memory_fail_next(type, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(lib_start(), nullptr) << "type " << type;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("lib_start: no memory"), std::string::npos) << err;
        memory_fail_next(type, 0);
        EXPECT_EQ(memory_live_total(), start) << "type " << type;
    }
}

// ---- checksum, version, daemonizing ---------------------------------------------------------

// RFC 1071 the textbook way: big-endian 16-bit words, an odd byte as the high half of a last
// word, carries folded, complemented.
uint16_t reference_be(const std::vector<uint8_t> &b) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2)
        sum += (static_cast<uint64_t>(b[i]) << 8) | (i + 1 < b.size() ? b[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

// in_checksum sums in memory order, so its result stored into memory reads as the big-endian
// checksum on any host: this gives those two bytes as a big-endian number.
uint16_t checksum_be(const uint8_t *b, int len) {
    uint16_t sum = in_checksum(b, len);
    uint8_t bytes[2];
    std::memcpy(bytes, &sum, 2);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

TEST(Pal, ChecksumIsTheInternetChecksum) {
    const struct {
        std::vector<uint8_t> bytes;
        uint16_t want;
    } cases[] = {
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}, 0x220d}, // RFC 1071 section 3
        {{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
          0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7},
         0xb861}, // an IPv4 header
        {{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
          0xb8, 0x61, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7},
         0}, // the same header with its checksum checks to zero
        {{0x01}, 0xfeff},
        {{0x00, 0x01, 0xf2}, 0x0dfe},
        {{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6}, 0x2304},
        {{}, 0xffff},
    };
    for (const auto &c : cases)
        EXPECT_EQ(checksum_be(c.bytes.data(), int(c.bytes.size())), c.want) << c.bytes.size();
    EXPECT_EQ(in_checksum(nullptr, 0), 0xffff);
    const uint8_t raw[] = {0xaa, 0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0xff};
    EXPECT_EQ(in_checksum(raw, -3), 0xffff);
    EXPECT_EQ(checksum_be(raw + 1, 8), 0x220d) << "unaligned";
    EXPECT_EQ(checksum_be(raw + 1, 7), 0x2304) << "the padding byte is zero, not what follows";
    // Carries over long input, and random data of every length up to 300.
    std::vector<uint8_t> ones(4001, 0xff), big(70000, 0xfe);
    EXPECT_EQ(checksum_be(ones.data(), 4001), reference_be(ones));
    EXPECT_EQ(checksum_be(big.data(), 70000), reference_be(big));
    std::mt19937 rng(12345);
    for (size_t len = 0; len <= 300; len++) {
        std::vector<uint8_t> b(len);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        ASSERT_EQ(checksum_be(b.data(), int(len)), reference_be(b)) << "length " << len;
    }
}

TEST(Pal, VersionShowsTheBuildAndTheProgramWithoutItsPath) {
    EXPECT_STREQ(zet_protocol_name(27), "zet") << "no name until the daemon gives one";
    zet_protocol_set_name(29, "veskd");
    EXPECT_EQ(std::tuple(std::string(zet_protocol_name(29)), std::string(zet_protocol_name(0)),
                         std::string(zet_protocol_name(7))),
              std::tuple("veskd", "zet", "zet"));
    compile_info_init("/usr/sbin/veskd", 29, "2026-12-06", "09:00:00", 20261206);
    for (const char *name : {"veskd", static_cast<const char *>(nullptr)}) {
        testing::internal::CaptureStdout();
        print_version(name);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(R"(veskd version \d+\.\d+\.\d+ \(built 2026-12-06 09:00:00\)\n)")))
            << out;
        std::string text = zet_version_text();
        EXPECT_TRUE(text.starts_with(out) && text.ends_with("\n")) << text;
        EXPECT_NE(text.find("20261206"), std::string::npos) << text;
    }
    compile_info_init(nullptr, 29, nullptr, nullptr, 0); // the library's own build stamp
    EXPECT_TRUE(std::string(zet_version_text()).starts_with("veskd version "))
        << zet_version_text();
}

// Daemonizes a child started in /tmp with the pipe as its standard output; the detached
// grandchild reports through the pipe: session leader or not, directory, and whether its
// standard output went to /dev/null.
std::string daemonized(int nochdir, int noclose) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir("/tmp") != 0 || dup2(fds[1], 1) < 0 || pal_daemonize(nochdir, noclose) != 0)
            _exit(2);
        char cwd[PATH_MAX] = "";
        struct stat out {
        }, null{};
        fstat(1, &out);
        stat("/dev/null", &null);
        std::string report = std::string(getsid(0) == getpid() ? "leader " : "member ") +
                             (getcwd(cwd, sizeof cwd) ? cwd : "?") +
                             (out.st_rdev == null.st_rdev ? " devnull" : " other");
        _exit(write(fds[1], report.data(), report.size()) < 0 ? 4 : 0);
    }
    close(fds[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the parent side exits at once";
    std::string report;
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return report;
}

TEST(Pal, DaemonizeDetachesAndUnlessToldOtherwiseMovesToRootAndSilencesStreams) {
    EXPECT_EQ(daemonized(0, 0), "leader / devnull");
    EXPECT_EQ(daemonized(1, 1), "leader /tmp other");
}

} // namespace
