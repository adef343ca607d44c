// Interfaces: the group and the privileged virtual router finding each interface every way,
// renames and deletes, and the handle that holds them (the natural name order and the daemon's
// unbind hook are the daemon's tests').
#include "../zet_test.h"

namespace {

class IfTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_NE(zg = lib_start(), nullptr); }
    void TearDown() override { lib_stop(zg); }
    // The names in natural order.
    std::string order() {
        std::string out;
        ifg_foreach(
            zg->ifg,
            [](void *ctx, interface *ifp) {
                *static_cast<std::string *>(ctx) += std::string(ifp->name) + " ";
            },
            &out);
        return out;
    }
    // The interface found by index (group, router) and by name; -1 when these disagree.
    interface *found(uint32_t ifindex, const char *name) {
        interface *ifp = ifg_lookup_by_index(zg->ifg, ifindex);
        bool agree = ifp == if_lookup_by_index(zg->vr_priv->ifm, ifindex) &&
                     ifp == ifg_lookup_by_name(zg->ifg, name) &&
                     ifp == ifg_get_by_name(zg->ifg, name);
        return agree ? ifp : reinterpret_cast<interface *>(-1);
    }
    lib_globals *zg = nullptr;
};

TEST_F(IfTest, InterfacesAreFoundEveryWayAndKeptInNaturalNameOrder) {
    EXPECT_EQ(found(7, "ge1"), nullptr);
    interface *ge1 = if_create(zg, "ge1", 7);
    ASSERT_NE(ge1, nullptr);
    EXPECT_EQ(std::tuple(std::string(reinterpret_cast<const char *>(ge1)), ge1->vr, ge1->info),
              std::tuple("ge1", zg->vr_priv, nullptr))
        << "the record begins with its name";
    EXPECT_EQ(found(7, "ge1"), ge1);
    const std::string long_name(INTERFACE_NAMSIZ + 1, 'x');
    const std::pair<const char *, uint32_t> refused[] = {
        {"ge9", 7}, {"ge1", 8}, {"", 9}, {nullptr, 9}, {"ge5", 0}, {long_name.c_str(), 9}};
    for (auto [name, ifindex] : refused)
        EXPECT_EQ(if_create(zg, name, ifindex), nullptr) << (name ? name : "null");
    EXPECT_NE(if_create(zg, long_name.c_str() + 1, 9), nullptr);
    memory_fail_next(MTYPE_ZET_IF, 1);
    EXPECT_EQ(if_create(zg, "ge10", 1), nullptr);
    EXPECT_EQ(found(1, "ge10"), nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 2);
    if_delete(zg, ge1);
    EXPECT_EQ(found(7, "ge1"), nullptr) << "gone from the router too, whose index the daemon reads";
    if_delete(zg, ifg_lookup_by_index(zg->ifg, 9));
    uint32_t index = 1;
    for (const char *n : {"ge10", "ge2", "ge1", "eth0", "ge3"})
        ASSERT_NE(if_create(zg, n, index++), nullptr);
    EXPECT_EQ(order(), "eth0 ge1 ge2 ge3 ge10 ");
    interface *a = ifg_lookup_by_name(zg->ifg, "ge1");
    const std::tuple<const char *, int, const char *> renames[] = {
        {"ge7", 0, "eth0 ge2 ge3 ge7 ge10"},   {"ge2", -1, "eth0 ge2 ge3 ge7 ge10"},
        {"", -1, "eth0 ge2 ge3 ge7 ge10"},     {"ge7", 0, "eth0 ge2 ge3 ge7 ge10"},
        {"ge11", 0, "eth0 ge2 ge3 ge10 ge11"}, {"a0", 0, "a0 eth0 ge2 ge3 ge10"}};
    for (auto [name, rc, want] : renames) {
        EXPECT_EQ(if_rename(zg, a, name), rc) << name;
        EXPECT_EQ(order(), std::string(want) + " ") << name;
    }
    EXPECT_EQ(found(3, "a0"), a);
    EXPECT_EQ(ifg_lookup_by_name(zg->ifg, "ge1"), nullptr);
}

// lib_stop frees all lib_start made; a lib_start out of memory half-way frees what it made.
TEST(Lib, StartMakesTheHandleAndStopReleasesEverythingMadeThroughIt) {
    const long start = memory_live_total();
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    EXPECT_TRUE(zg->ifg != nullptr && zg->ctree != nullptr && zg->vr_priv->id == 0 &&
                ovx_vr_get_privileged(zg) == zg->vr_priv && zg->vr_priv->zg == zg);
    const auto &p = zg->platform;
    EXPECT_EQ(std::string(p.nsm) + " " + p.frame + " " + p.bridge + " " + p.port_mac,
              "kernel packet  bridge");
    ASSERT_NE(openzlog(zg, 0, ZLOG_DEST_STDERR), nullptr);
    zg->master = thread_master_create();
    ASSERT_TRUE(if_create(zg, "ge2", 2) != nullptr && if_create(zg, "ge10", 10) != nullptr);
    lib_stop(zg);
    EXPECT_EQ(memory_live_total(), start);
    for (int type : {MTYPE_ZET_IF_GROUP, MTYPE_ZET_VR, MTYPE_ZET_IF_TABLE}) {
        memory_fail_next(type, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(lib_start(), nullptr) << "type " << type;
        EXPECT_NE(testing::internal::GetCapturedStderr().find("lib_start: no memory"),
                  std::string::npos);
        memory_fail_next(type, 0);
        EXPECT_EQ(memory_live_total(), start) << "type " << type;
    }
}

} // namespace
