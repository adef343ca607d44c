// The client: views of the module's state turned into interfaces and protocol messages,
// reporting only differences (tests/zet/data/nsm/client.txt), and the peers it refuses.
#include "../zet_test.h"

#include <future>
#include <thread>

namespace {

std::vector<std::string> seen, unbound;

// Each change as "type subject [VLANs]" in the numbers of the module's messages; link changes
// say whether the record was up before.
template <int Type> void bridge(lib_globals *, const char *name, uint8_t) {
    seen.push_back(std::to_string(Type) + " " + name);
}
template <int Type> void vlan(lib_globals *, const char *bridge, uint16_t vid) {
    seen.push_back(std::to_string(Type) + " " + bridge + " " + std::to_string(vid));
}
template <int Type> void port(lib_globals *, uint32_t ifindex, const uint16_t *vids, size_t n) {
    seen.push_back(std::to_string(Type) + " " + std::to_string(ifindex));
    for (size_t i = 0; i < n; i++)
        seen.back() += " " + std::to_string(vids[i]);
}
void up_down(lib_globals *zg, uint32_t ifindex, bool was_up, bool) {
    const bool up = if_is_up(ifg_lookup_by_index(zg->ifg, ifindex));
    seen.push_back((up ? "29 " : "30 ") + std::to_string(ifindex) + (was_up ? " up" : " down"));
}
void stp_state(lib_globals *, uint32_t ifindex, uint16_t vid, bool forwarding) {
    seen.push_back("stp " + std::to_string(ifindex) + " " + std::to_string(vid) +
                   (forwarding ? " on" : " off"));
}
int unbind(interface *ifp) {
    unbound.push_back(ifp->name);
    return 0;
}
const nsm_client_events kRecord = {bridge<115>, bridge<116>, vlan<121>, vlan<122>, port<123>,
                                   port<124>,   up_down,     nullptr,   stp_state};

class NsmClient : public ::testing::Test {
  protected:
    void SetUp() override {
        seen.clear();
        zg_ = lib_start();
        ASSERT_NE(zg_, nullptr);
        nc_ = nsm_client_create(zg_, 0);
        ASSERT_NE(nc_, nullptr);
        nsm_client_set_events(nc_, kRecord);
        ASSERT_EQ(if_add_hook(zg_->ifg, IF_HOOK_VR_UNBIND, unbind), 0);
    }
    void TearDown() override { lib_stop(zg_); }
    // Applies next; the interfaces match it, less those that could not be made.
    void apply(const nsm_view &next) {
        nsm_client_apply_view(nc_, next);
        nsm_view want = next;
        std::erase_if(want.ifs,
                      [&](auto &e) { return ifg_lookup_by_index(zg_->ifg, e.first) == nullptr; });
        std::erase_if(want.ports, [&](auto &e) { return !want.ifs.contains(e.first); });
        EXPECT_EQ(nsm_client_view(nc_), want);
        size_t count = 0;
        ifg_foreach(
            zg_->ifg, [](void *n, interface *) { ++*static_cast<size_t *>(n); }, &count);
        EXPECT_EQ(count, want.ifs.size());
        for (const auto &[i, v] : want.ifs) {
            interface *ifp = ifg_lookup_by_index(zg_->ifg, i);
            EXPECT_EQ(ifg_lookup_by_name(zg_->ifg, v.name.c_str()), ifp) << v.name;
            EXPECT_EQ(std::tuple(ifp->flags, ifp->hw_addr[5], ifp->hw_addr_len),
                      std::tuple(v.flags, v.hw[5], 6));
            for (uint16_t vid = 0; vid < 4096; vid++)
                EXPECT_EQ(ifp->untagged[vid / 8] >> vid % 8 & 1,
                          want.ports[i].untagged.contains(vid))
                    << i << " " << vid;
        }
    }
    lib_globals *zg_ = nullptr;
    nsm_client *nc_ = nullptr;
};

// Rows of views and what applying each tells the protocol (tests/zet/data/nsm/client.txt).
TEST_F(NsmClient, ViewsAreReportedAsTheirDifferencesInAnOrderTheProtocolCanBuildOn) {
    std::string first, before; // the first case's view, where the others start; the next start
    bool has_before = false;
    const int rows = zet_test::for_each_step("nsm/client.txt", [&](const std::string &line) {
        if (line.starts_with("before")) {
            before = line.substr(6), has_before = true;
            return;
        }
        const std::string after = line.substr(0, line.find(" => "));
        TearDown();
        SetUp();
        apply(zet_test::view_of(has_before ? before : first));
        seen.clear();
        unbound.clear();
        apply(zet_test::view_of(after));
        first = first.empty() ? after : first;
        has_before = false;
        std::string got = " =>";
        for (size_t i = 0; i < seen.size(); i++)
            got += (i == 0 ? " " : " | ") + seen[i];
        for (size_t i = 0; i < unbound.size(); i++)
            got += (i == 0 ? " unbinds " : " ") + unbound[i];
        EXPECT_EQ(after + got, line.substr(0, line.find(" # ")));
    });
    EXPECT_EQ(rows, 23);
}

// A client never started only keeps what it is asked to send; one whose start failed reports
// failure. (How many it keeps matters only to the test world, which reads them.)
TEST_F(NsmClient, RequestsAreRecordedAndBadArgumentsRefused) {
    ASSERT_EQ(nsm_client_send_port_state(nc_, NSM_PORT_STATE_SHUTDOWN, 7), 0);
    EXPECT_EQ(nsm_client_set_service(nc_, 64), -1);
    for (const char *unknown : {"unix:", "carrier-pigeon"}) { // a socket backend needs a path
        std::strcpy(zg_->platform.nsm, unknown);
        ASSERT_EQ(nsm_client_start(nc_), -1) << unknown;
    }
    EXPECT_EQ(nsm_client_send_port_state(nc_, NSM_PORT_STATE_BLOCK, 0x55), -1);
    uint16_t flags = 0;
    uint32_t ifindex = 0;
    ASSERT_EQ(nsm_client_sent_get(nc_, 1, &flags, &ifindex), 0) << "still kept";
    EXPECT_EQ(std::pair(flags, ifindex), std::pair(uint16_t{NSM_PORT_STATE_BLOCK}, 0x55u));
}

// The kernel backend reads the links of the test's own namespace (loopback at least) and
// changes nothing; a client starts once.
TEST_F(NsmClient, TheKernelBackendStartsFromTheLinksOfItsNamespace) {
    std::strcpy(zg_->platform.nsm, "kernel");
    ASSERT_EQ(nsm_client_start(nc_), 0);
    EXPECT_EQ(nsm_client_start(nc_), -1) << "started once only";
    nsm_client_stats stats{};
    nsm_client_get_stats(nc_, &stats);
    EXPECT_EQ(stats.syncs, 1u);
}

// A request the peer can no longer take (it went) is not delivered, and says so.
TEST_F(NsmClient, ARequestToAPeerThatWentFails) {
    char dir[] = "/tmp/zet-peer-gone-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const int listener = zet_test::bound(std::string(dir) + "/nsm", SOCK_STREAM);
    ASSERT_GE(listener, 0);
    std::promise<void> started;
    std::thread peer([&] {
        const int conn = accept(listener, nullptr, nullptr);
        for (const std::vector<uint8_t> &f : {nsm_unix_hello(0, 0), nsm_unix_sync_end()})
            (void)!write(conn, f.data(), f.size());
        started.get_future().wait();
        close(conn);
    });
    std::snprintf(zg_->platform.nsm, sizeof zg_->platform.nsm, "unix:%s/nsm", dir);
    ASSERT_EQ(nsm_client_start(nc_), 0);
    started.set_value();
    peer.join();
    EXPECT_EQ(nsm_client_send_port_state(nc_, NSM_PORT_STATE_SHUTDOWN, 5), -1);
    close(listener);
    std::filesystem::remove_all(dir);
}

// A peer run by another user is never taken, whatever the mode of its socket.
TEST_F(NsmClient, NsmAndWirePeersOfAnotherUserAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "a peer of another user needs root";
    char dir[] = "/tmp/zet-peer-user-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(chmod(dir, 0777), 0);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    pid_t peer = zet_test::fork_as_nobody([&] {
        if (zet_test::bound(std::string(dir) + "/nsm", SOCK_STREAM) < 0 ||
            zet_test::bound(std::string(dir) + "/wire", SOCK_DGRAM) < 0)
            return 2;
        (void)!write(ready[1], "x", 1);
        return pause();
    });
    char c;
    ASSERT_EQ(read(ready[0], &c, 1), 1);
    vesk_test::LogCapture cap(zg_);
    std::snprintf(zg_->platform.nsm, sizeof zg_->platform.nsm, "unix:%s/nsm", dir);
    EXPECT_EQ(nsm_client_start(nc_), 0); // it keeps trying in the background
    EXPECT_EQ(cap.count("nsm: peer at " + std::string(dir) + "/nsm runs as user 65534"), 1u)
        << cap.text();
    EXPECT_TRUE(seen.empty());
    std::snprintf(zg_->platform.frame, sizeof zg_->platform.frame, "unix:%s/wire", dir);
    EXPECT_LT(pal_sock(zg_, AF_FRAME_SOCK, SOCK_RAW, 0), 0);
    EXPECT_EQ(cap.count("the wire peer at " + std::string(dir) + "/wire runs as user 65534"), 1u)
        << cap.text();
    kill(peer, SIGKILL);
    waitpid(peer, nullptr, 0);
    close(ready[0]);
    close(ready[1]);
    std::filesystem::remove_all(dir);
}

} // namespace
