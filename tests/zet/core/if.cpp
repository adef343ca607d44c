// Interfaces and the handle that holds them (lookups, renames, the natural name order and the
// daemon's unbind hook are the daemon's tests').
#include "../zet_test.h"

namespace {

// A name of INTERFACE_NAMSIZ bytes is the longest taken; a deleted interface is gone from the
// privileged router too, whose index the daemon reads; one that cannot be allocated is not made.
TEST(If, NamesUpToTheLimitAreTakenAndDeletesReachTheRouter) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    const std::string long_name(INTERFACE_NAMSIZ + 1, 'x');
    EXPECT_EQ(if_create(zg, long_name.c_str(), 9), nullptr);
    interface *ifp = if_create(zg, long_name.c_str() + 1, 9);
    ASSERT_NE(ifp, nullptr);
    EXPECT_EQ(if_lookup_by_index(zg->vr_priv->ifm, 9), ifp);
    if_delete(zg, ifp);
    EXPECT_EQ(if_lookup_by_index(zg->vr_priv->ifm, 9), nullptr);
    memory_fail_next(MTYPE_ZET_IF, 1);
    EXPECT_EQ(if_create(zg, "ge10", 1), nullptr);
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
    lib_stop(zg);
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
