// Releasing the model when the daemon stops: every record freed, nothing sent, and a port that
// loop detection shut down is not brought back.
#include "vesk/daemon/teardown.h"

#include "support/log_capture.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

#include <gtest/gtest.h>

#include <memory>

namespace {

constexpr int kModelTypes[] = {MTYPE_VESK_MASTER, MTYPE_VESK_BRIDGE, MTYPE_VESK_VLAN,
                               MTYPE_VESK_PORT,   MTYPE_VESK_RLIST,  MTYPE_VESK_PROVLAN};

class VeskTeardownTest : public ::testing::Test {
  protected:
    void SetUp() override {
        vesk_machine_hook_install();
        zet_clock_use_virtual(1000);
        veskm = lib_start();
        ASSERT_NE(veskm, nullptr);
        veskm->protocol = VESK_PROTOCOL;
        veskm->master = thread_master_create();
        ASSERT_NE(openzlog(veskm, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG), nullptr);
        log_ = std::make_unique<vesk_test::LogCapture>(veskm);
        ASSERT_NE(nsm_client_create(veskm, 0), nullptr);
        ASSERT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
        bridge_ = vesk_add_bridge(vesk_get_master(veskm)->bridge_list, VESK_BRIDGE_NAME);
        ASSERT_NE(bridge_, nullptr);
    }

    void TearDown() override {
        log_.reset();
        lib_stop(veskm);
        veskm = nullptr;
        zet_clock_use_monotonic();
    }

    vesk_port *port(const char *name, uint32_t ifindex) {
        interface *ifp = if_create(veskm, name, ifindex);
        EXPECT_NE(ifp, nullptr);
        ifp->flags = 0x1 | 0x40;
        vesk_port *p = vesk_bridge_add_port(bridge_, ifp);
        EXPECT_NE(p, nullptr);
        for (uint16_t vid : {1, 30})
            vesk_bridge_vlan_add_port(vesk_bridge_add_vlan(bridge_, vid), p);
        EXPECT_EQ(vesk_api_add_protect_vlan(1, ifp, bridge_), 0);
        EXPECT_EQ(vesk_api_add_protect_vlan(40, ifp, bridge_), 0);
        return p;
    }

    vesk_bridge *bridge_ = nullptr;
    std::unique_ptr<vesk_test::LogCapture> log_;
};

TEST_F(VeskTeardownTest, EveryRecordIsFreedAndNothingIsSent) {
    vesk_port *ge1 = port("ge1", 1);
    port("ge2", 2);
    interface *ifp = ge1->ifp;
    vesk_update_state_machine(ge1); // a frame of ge1 came back: shut down
    ASSERT_EQ(ge1->pstate, VESK_PORT_SHUTDOWN);
    nsm_client_sent_clear(veskm->nc);
    log_->clear();

    vesk_release_model(veskm);

    for (int type : kModelTypes)
        EXPECT_EQ(memory_live(type), 0) << "allocation type " << type;
    EXPECT_EQ(vesk_get_master(veskm), nullptr);
    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_EQ(nsm_client_sent_count(veskm->nc), 0u) << "a shut-down port must stay down";
    EXPECT_FALSE(log_->contains("Cancel a loop")) << log_->text();
    // The timers are gone: time passing runs nothing of the freed ports.
    thread_advance(veskm, 200);
    EXPECT_EQ(nsm_client_sent_count(veskm->nc), 0u);
}

TEST_F(VeskTeardownTest, NoMasterIsNothingToDo) {
    vesk_release_model(veskm);
    vesk_release_model(veskm);
    EXPECT_EQ(memory_live(MTYPE_VESK_MASTER), 0);
}

} // namespace
