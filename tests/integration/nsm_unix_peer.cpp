// The socket backend in this process against the scriptable peer module: start-up
// synchronisation, port-state requests, malformed messages, garbage, and a peer restart with
// changes meanwhile.
#include <gtest/gtest.h>

#include "support/daemon_process.h"
#include "support/model_fixture.h"
#include "support/wait_until.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"
#include "zet/nsm/unix.h"

namespace {

class NsmUnixPeer : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        dir_ = vesk_test::make_temp_dir("nsm-unix-");
        peer_ = std::make_unique<vesk_test::NsmPeer>(dir_ + "/nsm.sock");
        // Two ports of bridge "1": ge1 in VLANs 1 and 10, ge2 in VLAN 1; ge3 in no bridge.
        for (const char *line :
             {"if-add 5 ge1 up", "if-add 6 ge2 up", "if-add 7 ge3 up", "bridge-add 1",
              "vlan-add 1 1", "vlan-add 1 10", "port-add 5 1 10", "port-add 6 1"})
            ASSERT_EQ(peer_->order(line), "ok") << line;
        std::snprintf(veskm->platform.nsm, sizeof veskm->platform.nsm, "unix:%s/nsm.sock",
                      dir_.c_str());
        nsm_client_free(veskm->nc);
        ASSERT_EQ(vesk_nsm_init(veskm), 0);
    }
    void TearDown() override {
        peer_.reset();
        ModelFixture::TearDown();
        vesk_test::remove_dir(dir_);
    }

    vesk_port *port(uint32_t ifindex) const {
        struct interface *ifp = ifg_lookup_by_index(veskm->ifg, ifindex);
        return ifp != nullptr ? static_cast<vesk_port *>(ifp->info) : nullptr;
    }
    bool member(uint32_t ifindex, uint16_t vid) const {
        vesk_port *p = port(ifindex);
        return p != nullptr && vesk_find_vlan_from_rlist(vid, &p->vlan_list) == 1;
    }
    nsm_client_stats stats() const {
        nsm_client_stats s{};
        nsm_client_get_stats(veskm->nc, &s);
        return s;
    }
    template <class Done> bool wait(Done done) {
        return vesk_test::run_until(veskm, done, std::chrono::seconds(5));
    }
    std::string raw(uint16_t type, const std::vector<uint8_t> &payload) {
        std::string text = "raw ";
        for (uint8_t b : nsm_unix_encode(type, payload))
            text += "0123456789abcdef"[b >> 4], text += "0123456789abcdef"[b & 15];
        return peer_->order(text);
    }

    std::string dir_;
    std::unique_ptr<vesk_test::NsmPeer> peer_;
};

// Start-up returns knowing bridge "1"'s ports and VLANs; requests reach the peer while it is
// there and are refused, ports kept, once it is gone.
TEST_F(NsmUnixPeer, StartupKnowsTheBridgeAndRequestsReachThePeerWhileItIsThere) {
    ASSERT_TRUE(port(5) != nullptr && port(6) != nullptr);
    EXPECT_EQ(port(7), nullptr);
    EXPECT_TRUE(member(5, 1) && member(5, 10) && member(6, 1));
    EXPECT_EQ(port(5)->pstate, VESK_PORT_UP);
    EXPECT_EQ(stats().syncs, 1u);
    EXPECT_EQ(vesk_send_port_state_to_nsm(5, VESK_PORT_REQ_SHUTDOWN), 0);
    EXPECT_EQ(peer_->order("wait-request 5"), "request 5 1");
    EXPECT_EQ(vesk_send_port_state_to_nsm(5, VESK_PORT_REQ_NOSHUTDOWN), 0);
    EXPECT_EQ(peer_->order("wait-request 5"), "request 5 2");
    peer_.reset();
    ASSERT_TRUE(wait([&] { return stats().disconnects == 1; }));
    EXPECT_EQ(vesk_send_port_state_to_nsm(5, VESK_PORT_REQ_SHUTDOWN), -1);
    EXPECT_TRUE(log().contains("not delivered"));
    EXPECT_NE(port(5), nullptr) << "ports stay while the peer is away";
}

// A malformed message is logged and dropped and the link keeps working; garbage disconnects,
// and the client comes back.
TEST_F(NsmUnixPeer, MalformedMessagesAreDroppedAndGarbageDisconnects) {
    // Count 5 with one entry behind it; a bridge name that fills its field without an end.
    ASSERT_EQ(raw(NSM_MSG_BRIDGE_VLAN_ADD_IF, {0, 0, 0, 6, 0, 5, 0, 10}), "ok");
    ASSERT_EQ(raw(NSM_MSG_BRIDGE_ADD, std::vector<uint8_t>(18, 'x')), "ok");
    ASSERT_TRUE(wait([&] { return stats().malformed == 2; }));
    EXPECT_TRUE(log().contains("vlan-port count does not match the payload"));
    EXPECT_TRUE(log().contains("bridge name not terminated"));
    EXPECT_FALSE(member(6, 10));
    EXPECT_EQ(stats().disconnects, 0u);
    ASSERT_EQ(peer_->order("link-down 6"), "ok");
    ASSERT_TRUE(wait([&] { return port(6)->pstate == VESK_PORT_DOWN; }));

    ASSERT_EQ(peer_->order("raw ff00000100000008"), "ok");
    ASSERT_TRUE(wait([&] { return stats().disconnects == 1 && stats().syncs == 2; }));
    EXPECT_TRUE(log().contains("peer sent garbage"));
    EXPECT_EQ(peer_->order("wait-client 5"), "client");
    EXPECT_TRUE(member(5, 10));
}

TEST_F(NsmUnixPeer, PeerRestartResyncsDifferencesAndKeepsProtectVlans) {
    vesk_port *ge1 = port(5);
    ASSERT_NE(ge1, nullptr);
    ASSERT_EQ(vesk_api_add_protect_vlan(10, ge1->ifp, bridge()), 0);
    ASSERT_EQ(ge1->provlan_count, 1);
    ASSERT_EQ(ge1->active_provlan_count, 1);

    // While the daemon is away the peer's state changes.
    for (const char *line :
         {"restart", "port-del 6 1", "if-del 7", "if-add 8 ge4 up", "port-add 8 10"})
        ASSERT_EQ(peer_->order(line), "ok") << line;
    ASSERT_TRUE(wait([&] { return stats().syncs == 2; }));

    EXPECT_EQ(port(5), ge1) << "the port record survived the restart";
    EXPECT_EQ(ge1->provlan_count, 1);
    EXPECT_EQ(ge1->active_provlan_count, 1);
    EXPECT_NE(vesk_find_provlan_from_port(10, ge1), nullptr);
    EXPECT_TRUE(member(5, 10));
    EXPECT_FALSE(member(6, 1));
    EXPECT_NE(port(6), nullptr) << "leaving its VLANs does not remove a port";
    EXPECT_EQ(ifg_lookup_by_index(veskm->ifg, 7), nullptr);
    EXPECT_TRUE(member(8, 10));
    EXPECT_EQ(port(8)->pstate, VESK_PORT_UP);
}

} // namespace
