// The client turns views of the module's state into framework interfaces and protocol
// messages, reporting only differences and in an order the protocol can build on.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/log_capture.h"
#include "zet/frame/sock.h"

#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/nsm/client.h"
#include "zet/nsm/view.h"

namespace {

constexpr uint32_t kUpRunning = IFF_UP | IFF_RUNNING;

struct Seen {
    int type;
    uint32_t ifindex; // link and vlan-port messages
    std::string name; // bridge and vlan messages
    std::vector<uint16_t> entries;
    bool if_was_up; // link messages: the record's state when the callback ran
};

std::vector<Seen> seen;
std::vector<std::string> unbound;
lib_globals *globals;

int record(nsm_msg_header *h, void *arg, void *msg) {
    EXPECT_EQ(nsm_client_globals(static_cast<nsm_client *>(arg)), globals);
    Seen s{h->type, 0, {}, {}, false};
    switch (h->type) {
    case NSM_MSG_LINK_UP:
    case NSM_MSG_LINK_DOWN: {
        auto *m = static_cast<nsm_msg_link *>(msg);
        s.ifindex = m->ifindex;
        s.if_was_up = if_is_up(ifg_lookup_by_index(globals->ifg, m->ifindex));
        break;
    }
    case NSM_MSG_BRIDGE_ADD:
    case NSM_MSG_BRIDGE_DELETE:
        s.name = static_cast<nsm_msg_bridge *>(msg)->bridge_name;
        break;
    case NSM_MSG_BRIDGE_ADD_VLAN:
    case NSM_MSG_BRIDGE_DELETE_VLAN: {
        auto *m = static_cast<nsm_msg_vlan *>(msg);
        s.name = m->bridge_name;
        s.entries = {m->vid};
        break;
    }
    default: {
        auto *m = static_cast<nsm_msg_vlan_port *>(msg);
        s.ifindex = m->ifindex;
        s.entries.assign(m->vid_info, m->vid_info + m->num);
        break;
    }
    }
    seen.push_back(s);
    return 0;
}

int on_unbind(interface *ifp) {
    unbound.push_back(ifp->name);
    return 0;
}

class NsmClient : public ::testing::Test {
  protected:
    void SetUp() override {
        seen.clear();
        unbound.clear();
        globals = zg_ = lib_start();
        ASSERT_NE(zg_, nullptr);
        nc_ = nsm_client_create(zg_, 0);
        ASSERT_NE(nc_, nullptr);
        for (int type : {29, 30, 115, 116, 121, 122, 123, 124})
            ASSERT_EQ(nsm_client_set_callback(nc_, type, record), 0);
        ASSERT_EQ(if_add_hook(zg_->ifg, IF_HOOK_VR_UNBIND, on_unbind), 0);
    }
    void TearDown() override { lib_stop(zg_); }

    static nsm_view_if iface(const char *name, uint32_t flags, uint8_t mac = 1) {
        nsm_view_if v;
        v.name = name;
        v.flags = flags;
        v.hw = {2, 0, 0, 0, 0, mac};
        v.hw_len = 6;
        return v;
    }

    // br0 (1, up), p1 (2, up) and p2 (3, down) in VLAN 1 of bridge "1".
    static nsm_view base() {
        nsm_view v;
        v.ifs[1] = iface("br0", kUpRunning);
        v.ifs[2] = iface("p1", kUpRunning);
        v.ifs[3] = iface("p2", IFF_UP);
        v.bridges["1"].vlans = {1};
        v.ports[2].vlans = {1};
        v.ports[2].untagged = {1};
        v.ports[3].vlans = {1};
        return v;
    }

    std::vector<int> types() const {
        std::vector<int> t;
        for (const auto &s : seen)
            t.push_back(s.type);
        return t;
    }

    lib_globals *zg_ = nullptr;
    nsm_client *nc_ = nullptr;
};

TEST_F(NsmClient, FirstViewBuildsBridgeVlansPortsThenLinks) {
    nsm_client_apply_view(nc_, base());
    EXPECT_EQ(types(), (std::vector<int>{115, 121, 123, 123, 29, 29}));
    EXPECT_EQ(seen[0].name, "1");
    EXPECT_EQ(seen[2].ifindex, 2u);
    EXPECT_EQ(seen[2].entries, std::vector<uint16_t>{1 | NSM_VLAN_PORT_UNTAGGED});
    EXPECT_EQ(seen[3].entries, std::vector<uint16_t>{1});
    // Links that were up reach the protocol as a change from down, after their ports exist.
    EXPECT_EQ(seen[4].ifindex, 1u);
    EXPECT_EQ(seen[5].ifindex, 2u);
    EXPECT_FALSE(seen[5].if_was_up);
    interface *p1 = ifg_lookup_by_index(zg_->ifg, 2);
    ASSERT_NE(p1, nullptr);
    EXPECT_STREQ(p1->name, "p1");
    EXPECT_EQ(p1->flags, kUpRunning);
    EXPECT_EQ(p1->untagged[0], 0x02);
    EXPECT_EQ(ifg_lookup_by_index(zg_->ifg, 3)->untagged[0], 0);
    EXPECT_EQ(nsm_client_view(nc_), base());
}

TEST_F(NsmClient, SameViewAgainSaysNothing) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_client_apply_view(nc_, base());
    EXPECT_TRUE(seen.empty());
}

// A new hardware address is told in a link message of the state the link stays in.
TEST_F(NsmClient, OnlyUpStateAndAddressChangesAreLinkMessages) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_view v = base();
    v.ifs[2].flags |= IFF_PROMISC;
    nsm_client_apply_view(nc_, v);
    EXPECT_TRUE(seen.empty());
    interface *p1 = ifg_lookup_by_index(zg_->ifg, 2);
    EXPECT_EQ(p1->flags, kUpRunning | IFF_PROMISC);
    v.ifs[2].hw[5] = 9;
    v.ifs[3].hw[5] = 9;
    nsm_client_apply_view(nc_, v);
    EXPECT_EQ(types(), (std::vector<int>{29, 30}));
    EXPECT_EQ(p1->hw_addr[5], 9);
    EXPECT_TRUE(seen[0].if_was_up);
    seen.clear();
    v.ifs[2].flags = IFF_UP;
    v.ifs[3].flags = kUpRunning;
    nsm_client_apply_view(nc_, v);
    EXPECT_EQ(types(), (std::vector<int>{30, 29}));
    EXPECT_EQ(seen[0].ifindex, 2u);
    EXPECT_TRUE(seen[0].if_was_up) << "the callback sees the record before the change";
    EXPECT_EQ(p1->flags, uint32_t{IFF_UP});
}

TEST_F(NsmClient, PortLeavingAndVlanChangesReportOnlyTheDifference) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_view v = base();
    v.ports.erase(2);
    v.bridges["1"].vlans = {1, 7};
    v.ports[3].vlans = {1, 7};
    nsm_client_apply_view(nc_, v);
    ASSERT_EQ(types(), (std::vector<int>{124, 121, 123}));
    EXPECT_EQ(seen[0].ifindex, 2u);
    EXPECT_EQ(seen[0].entries, std::vector<uint16_t>{1});
    EXPECT_EQ(seen[1].entries, std::vector<uint16_t>{7});
    EXPECT_EQ(seen[2].entries, std::vector<uint16_t>{7});
    seen.clear();
    v.bridges["1"].vlans = {1};
    v.ports[3].vlans = {1};
    nsm_client_apply_view(nc_, v);
    EXPECT_EQ(types(), (std::vector<int>{124, 122}));
}

TEST_F(NsmClient, PortJoiningWhileUpIsAnnouncedUpAfterItsVlans) {
    nsm_view v = base();
    v.ports.erase(2);
    nsm_client_apply_view(nc_, v);
    seen.clear();
    nsm_client_apply_view(nc_, base());
    ASSERT_EQ(types(), (std::vector<int>{123, 29}));
    EXPECT_EQ(seen[1].ifindex, 2u);
    EXPECT_FALSE(seen[1].if_was_up);
}

TEST_F(NsmClient, GoneInterfaceIsUnboundWithoutPortMessages) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_view v = base();
    v.ifs.erase(3);
    v.ports.erase(3);
    nsm_client_apply_view(nc_, v);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(unbound, std::vector<std::string>{"p2"});
    EXPECT_EQ(ifg_lookup_by_index(zg_->ifg, 3), nullptr);
}

TEST_F(NsmClient, NameBackUnderNewIndexIsANewInterface) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_view v = base();
    v.ifs.erase(3);
    v.ports.erase(3);
    v.ifs[4] = iface("p2", kUpRunning);
    v.ports[4].vlans = {1};
    nsm_client_apply_view(nc_, v);
    EXPECT_EQ(unbound, std::vector<std::string>{"p2"});
    ASSERT_EQ(types(), (std::vector<int>{123, 29}));
    EXPECT_EQ(seen[0].ifindex, 4u);
    EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, "p2")->ifindex, 4u);
}

TEST_F(NsmClient, RenameFollowsWithoutMessages) {
    nsm_client_apply_view(nc_, base());
    seen.clear();
    nsm_view v = base();
    v.ifs[3].name = "p9";
    nsm_client_apply_view(nc_, v);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, "p9"), ifg_lookup_by_index(zg_->ifg, 3));
    EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, "p2"), nullptr);
}

// Renames that arrive together (a swap, or what a resynchronisation merged) all come through,
// whatever names they take from each other.
TEST_F(NsmClient, SwappedAndMergedRenamesFollowTheirIndexes) {
    nsm_client_apply_view(nc_, base());
    nsm_view v = base();
    v.ifs[1].name = "p2";
    v.ifs[2].name = "br0";
    v.ifs[3].name = "p1";
    nsm_client_apply_view(nc_, v);
    for (uint32_t ifindex : {1u, 2u, 3u}) {
        const std::string &name = v.ifs[ifindex].name;
        EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, name.c_str()),
                  ifg_lookup_by_index(zg_->ifg, ifindex))
            << name;
    }
    EXPECT_EQ(nsm_client_view(nc_), v);
}

TEST_F(NsmClient, NewInterfaceMayTakeTheNameARenamedOneGaveUp) {
    nsm_client_apply_view(nc_, base());
    nsm_view v = base();
    v.ifs[3].name = "p9";
    v.ifs[4] = iface("p2", kUpRunning);
    nsm_client_apply_view(nc_, v);
    ASSERT_NE(ifg_lookup_by_index(zg_->ifg, 4), nullptr);
    EXPECT_STREQ(ifg_lookup_by_index(zg_->ifg, 4)->name, "p2");
    EXPECT_STREQ(ifg_lookup_by_index(zg_->ifg, 3)->name, "p9");
}

TEST_F(NsmClient, BridgeGoingAwayDeletesItsVlansThenItself) {
    nsm_view v = base();
    v.bridges["br9"].vlans = {5};
    nsm_client_apply_view(nc_, v);
    seen.clear();
    nsm_client_apply_view(nc_, base());
    ASSERT_EQ(types(), (std::vector<int>{122, 116}));
    EXPECT_EQ(seen[0].name, "br9");
    EXPECT_EQ(seen[1].name, "br9");
}

TEST_F(NsmClient, InterfaceThatCannotBeMadeIsLeftOut) {
    nsm_view v = base();
    v.ifs[5] = iface("p1", kUpRunning); // a second interface of the same name
    v.ports[5].vlans = {1};
    nsm_client_apply_view(nc_, v);
    for (const auto &s : seen)
        EXPECT_NE(s.ifindex, 5u);
}

TEST_F(NsmClient, UnstartedClientRecordsRequests) {
    const uint8_t record[8] = {1, 0, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, record, NSM_MSG_VESK_PORT_STATE), 0);
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, record, 99), -1);
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, nullptr, NSM_MSG_VESK_PORT_STATE), -1);
    ASSERT_EQ(nsm_client_sent_count(nc_), 1u);
    int type = 0;
    uint8_t buf[8];
    size_t len = 0;
    ASSERT_EQ(nsm_client_sent_get(nc_, 0, &type, buf, sizeof buf, &len), 0);
    EXPECT_EQ(type, NSM_MSG_VESK_PORT_STATE);
    EXPECT_EQ(len, 8u);
    EXPECT_EQ(std::memcmp(buf, record, 8), 0);
}

TEST_F(NsmClient, RecordOfSentRequestsKeepsOnlyTheLatest) {
    uint8_t record[8] = {1, 0, 0, 0, 0, 0, 0, 0};
    for (uint32_t i = 0; i < 5000; i++) {
        std::memcpy(record + 4, &i, sizeof i);
        ASSERT_EQ(nsm_client_send_vesk_message(nc_, record, NSM_MSG_VESK_PORT_STATE), 0);
    }
    ASSERT_EQ(nsm_client_sent_count(nc_), 4096u);
    int type = 0;
    uint8_t buf[8];
    size_t len = 0;
    ASSERT_EQ(nsm_client_sent_get(nc_, 0, &type, buf, sizeof buf, &len), 0);
    uint32_t first = 0;
    std::memcpy(&first, buf + 4, sizeof first);
    EXPECT_EQ(first, 5000u - 4096u);
}

TEST_F(NsmClient, RequestsAfterAFailedStartReportFailure) {
    std::strcpy(zg_->platform.nsm, "carrier-pigeon");
    ASSERT_EQ(nsm_client_start(nc_), -1);
    const uint8_t record[8] = {1, 0, 0, 0, 7, 0, 0, 0};
    EXPECT_EQ(nsm_client_send_vesk_message(nc_, record, NSM_MSG_VESK_PORT_STATE), -1);
    EXPECT_EQ(nsm_client_sent_count(nc_), 1u);
}

TEST_F(NsmClient, CallbackTypesOutsideTheTableAreRefused) {
    EXPECT_EQ(nsm_client_set_callback(nc_, -1, record), -1);
    EXPECT_EQ(nsm_client_set_callback(nc_, NSM_MSG_TYPE_MAX, record), -1);
    EXPECT_EQ(nsm_client_set_service(nc_, 64), -1);
    std::strcpy(zg_->platform.nsm, "carrier-pigeon");
    EXPECT_EQ(nsm_client_start(nc_), -1);
}

// The peer tells the daemon which ports exist and what arrives on them: one run by another user
// is never taken, whatever the mode of its socket.
TEST_F(NsmClient, NsmAndWirePeersOfAnotherUserAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a peer of another user needs root";
    char tmpl[] = "/tmp/zet-peer-user-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t peer = fork();
    ASSERT_GE(peer, 0);
    if (peer == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(1);
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s/nsm", dir.c_str());
        int nsm = socket(AF_UNIX, SOCK_STREAM, 0);
        if (bind(nsm, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0 || listen(nsm, 8) != 0)
            _exit(2);
        std::snprintf(sun.sun_path, sizeof sun.sun_path, "%s/wire", dir.c_str());
        int wire = socket(AF_UNIX, SOCK_DGRAM, 0);
        if (bind(wire, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0)
            _exit(3);
        chmod(dir.c_str(), 0777);
        (void)!write(ready[1], "x", 1);
        pause();
        _exit(0);
    }
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    vesk_test::LogCapture cap(zg_);
    std::snprintf(zg_->platform.nsm, sizeof zg_->platform.nsm, "unix:%s/nsm", dir.c_str());
    EXPECT_EQ(nsm_client_start(nc_), 0); // it keeps trying in the background
    EXPECT_EQ(cap.count("nsm: peer at " + dir + "/nsm runs as user 65534"), 1u) << cap.text();
    EXPECT_TRUE(seen.empty());
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "unix:%s/wire", dir.c_str());
    EXPECT_LT(pal_sock(zg_, 53, SOCK_RAW, 0), 0);
    EXPECT_EQ(cap.count("the wire peer at " + dir + "/wire runs as user 65534"), 1u) << cap.text();
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    std::system(("rm -rf " + dir).c_str());
}

} // namespace
