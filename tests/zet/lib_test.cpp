// The framework handle: what lib_start makes and lib_stop gives back.
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/memory.h"
#include "zet/core/thread.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

class LibTest : public ::testing::Test {
  protected:
    void SetUp() override { start_ = memory_live_total(); }
    void TearDown() override { EXPECT_EQ(memory_live_total(), start_); }
    long start_ = 0;
};

TEST_F(LibTest, StartGivesAHandleWithGroupPrivilegedRouterAndCommandTree) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    EXPECT_NE(zg->ifg, nullptr);
    ASSERT_NE(zg->vr_priv, nullptr);
    EXPECT_EQ(ovx_vr_get_privileged(zg), zg->vr_priv);
    EXPECT_EQ(zg->vr_priv->id, 0u);
    EXPECT_EQ(zg->vr_priv->zg, zg);
    EXPECT_NE(zg->ctree, nullptr);
    // Made later by the daemon.
    EXPECT_EQ(zg->log, nullptr);
    EXPECT_EQ(zg->master, nullptr);
    EXPECT_EQ(zg->nc, nullptr);
    EXPECT_EQ(zg->fsock, nullptr);
    lib_stop(zg);
}

TEST_F(LibTest, PlatformSettingsHaveTheirDefaults) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    EXPECT_STREQ(zg->platform.nsm, "kernel");
    EXPECT_STREQ(zg->platform.frame, "packet");
    EXPECT_STREQ(zg->platform.bridge, "");
    EXPECT_STREQ(zg->platform.port_mac, "bridge");
    lib_stop(zg);
}

int unbind_calls = 0;
int count_unbind(interface *) {
    unbind_calls++;
    return 0;
}

TEST_F(LibTest, StopReleasesEverythingMadeThroughTheHandle) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    zg->protocol = 29;
    ASSERT_NE(openzlog(zg, 0, 29, ZLOG_DEST_STDERR), nullptr);
    zg->master = thread_master_create();
    ASSERT_NE(zg->master, nullptr);
    ASSERT_NE(if_create(zg, "ge2", 2), nullptr);
    ASSERT_NE(if_create(zg, "ge10", 10), nullptr);
    ASSERT_EQ(if_add_hook(zg->ifg, IF_HOOK_VR_UNBIND, count_unbind), 0);
    ASSERT_EQ(ovx_vr_add_callback(zg, 0, [](ovx_vr *) { return 0; }), 0);
    EXPECT_GT(memory_live_total(), start_);
    unbind_calls = 0;
    lib_stop(zg);
    EXPECT_EQ(unbind_calls, 0); // stopping is not an unbind: the daemon is gone by then
    EXPECT_EQ(memory_live(MTYPE_ZET_IF), 0);
    EXPECT_EQ(memory_live(MTYPE_ZET_VR), 0);
    EXPECT_EQ(memory_live(MTYPE_ZET_LIST), 0);
    EXPECT_EQ(memory_live(MTYPE_ZET_LISTNODE), 0);
}

TEST_F(LibTest, CaptureAttachedToTheHandleSurvivesStop) {
    lib_globals *zg = lib_start();
    ASSERT_NE(zg, nullptr);
    auto cap = std::make_unique<vesk_test::LogCapture>(zg);
    zlog_info(zg, "before stop");
    EXPECT_TRUE(cap->contains("before stop"));
    lib_stop(zg);
    cap.reset();
}

TEST_F(LibTest, StartFailsCleanlyWhenMemoryRunsOut) {
    for (int type : {int(MTYPE_ZET_IF_GROUP), int(MTYPE_ZET_VR), int(MTYPE_ZET_IF_TABLE),
                     int(MTYPE_ZET_LIST)}) {
        memory_fail_next(type, 1);
        testing::internal::CaptureStderr();
        EXPECT_EQ(lib_start(), nullptr) << "type " << type;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("lib_start: no memory"), std::string::npos) << err;
        memory_fail_next(type, 0);
        EXPECT_EQ(memory_live_total(), start_) << "type " << type;
    }
}

TEST_F(LibTest, StopOfNullIsHarmless) {
    lib_stop(nullptr);
}

} // namespace
