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
#include <string>
#include <vector>

namespace {

TEST(VeskTeardown, EveryRecordIsFreedAndAShutDownPortStaysDown) {
    zet_clock_use_virtual(1000);
    veskm = lib_start();
    ASSERT_NE(veskm, nullptr);
    veskm->protocol = VESK_PROTOCOL;
    veskm->master = thread_master_create();
    ASSERT_NE(openzlog(veskm, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG), nullptr);
    auto log = std::make_unique<vesk_test::LogCapture>(veskm);
    ASSERT_NE(nsm_client_create(veskm, 0), nullptr);
    ASSERT_EQ(vesk_master_init(ovx_vr_get_privileged(veskm)), 0);
    vesk_bridge *bridge = vesk_add_bridge(vesk_get_master(veskm)->bridge_list, VESK_BRIDGE_NAME);
    std::vector<vesk_port *> ports;
    for (uint32_t ifindex : {1, 2}) {
        interface *ifp = if_create(veskm, ("ge" + std::to_string(ifindex)).c_str(), ifindex);
        ifp->flags = 0x1 | 0x40;
        ports.push_back(vesk_bridge_add_port(bridge, ifp));
        for (uint16_t vid : {1, 30})
            vesk_bridge_vlan_add_port(vesk_bridge_add_vlan(bridge, vid), ports.back());
        EXPECT_EQ(vesk_api_add_protect_vlan(1, ifp, bridge), 0);
        EXPECT_EQ(vesk_api_add_protect_vlan(40, ifp, bridge), 0);
    }
    interface *ifp = ports[0]->ifp;
    vesk_update_state_machine(ports[0]); // a frame of ge1 came back: shut down
    ASSERT_EQ(ports[0]->pstate, VESK_PORT_SHUTDOWN);
    nsm_client_sent_clear(veskm->nc);
    log->clear();

    vesk_release_model(veskm);
    vesk_release_model(veskm); // nothing left to do
    for (int type : {MTYPE_VESK_MASTER, MTYPE_VESK_BRIDGE, MTYPE_VESK_VLAN, MTYPE_VESK_PORT,
                     MTYPE_VESK_RLIST, MTYPE_VESK_PROVLAN})
        EXPECT_EQ(memory_live(type), 0) << "allocation type " << type;
    EXPECT_EQ(vesk_get_master(veskm), nullptr);
    EXPECT_EQ(ifp->info, nullptr);
    EXPECT_FALSE(log->contains("Cancel a loop")) << log->text();
    // The timers are gone too: time passing runs nothing of the freed ports.
    thread_advance(veskm, 200);
    EXPECT_EQ(nsm_client_sent_count(veskm->nc), 0u) << "a shut-down port must stay down";
    log.reset();
    lib_stop(veskm);
    veskm = nullptr;
    zet_clock_use_monotonic();
}

} // namespace
