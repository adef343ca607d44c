// With a receive buffer far too small for a burst of link changes, the kernel backend loses
// events and must resynchronise: the daemon's model matches the kernel soon after the burst.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/nsm_daemon_model.h"
#include "e2e/nsm_netns.h"
#include "support/log_capture.h"
#include "support/wait_until.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using nsm_test::NetNs;
using clock_type = std::chrono::steady_clock;

constexpr int kPorts = 8;
constexpr int kRounds = 50;
constexpr unsigned kUpRunning = IFF_UP | IFF_RUNNING;

std::string vp(int i) {
    return "vp" + std::to_string(i);
}
std::string vq(int i) {
    return "vq" + std::to_string(i);
}

class NsmResync : public ::testing::Test {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for network namespaces";
        ns_ = std::make_unique<NetNs>();
        ASSERT_TRUE(ns_->ok());
        ASSERT_TRUE(ns_->ip("link add br0 type bridge"));
        ASSERT_TRUE(ns_->ip("link set br0 up"));
        for (int i = 1; i <= kPorts; i++) {
            ASSERT_TRUE(ns_->ip("link add " + vp(i) + " type veth peer name " + vq(i)));
            ASSERT_TRUE(ns_->ip("link set " + vp(i) + " master br0"));
            ASSERT_TRUE(ns_->ip("link set " + vp(i) + " up"));
            ASSERT_TRUE(ns_->ip("link set " + vq(i) + " up"));
        }
        ASSERT_NO_FATAL_FAILURE(nsm_test::start_daemon_model(ZLOG_DEST_SYSLOG, log_));
        start_client_with_tiny_buffer();
    }

    void TearDown() override {
        if (HasFailure() && log_ != nullptr)
            std::fprintf(stderr, "daemon log:\n%s\n", log_->text().c_str());
        log_.reset();
        if (veskm != nullptr) {
            nsm_test::free_daemon_model(veskm);
            lib_stop(veskm);
        }
        veskm = nullptr;
        ns_.reset();
    }

    // As vesk_nsm_init, with the event socket's buffer cut down before the start.
    void start_client_with_tiny_buffer() {
        nsm_client *nc = nsm_client_create(veskm, 0);
        ASSERT_NE(nc, nullptr);
        ASSERT_EQ(nsm_client_set_rcvbuf(nc, 1024), 0);
        vesk_nsm_client_setup(veskm, nc);
        ASSERT_EQ(nsm_client_start(nc), 0);
    }

    // The burst: every peer flaps many times, two ports leave the bridge and one comes back.
    std::string write_burst() const {
        std::string path = "/tmp/" + ns_->name() + ".batch";
        std::ofstream out(path);
        for (int r = 0; r < kRounds; r++)
            for (int i = 1; i <= kPorts; i++)
                out << "link set " << vq(i) << (r % 2 == 0 ? " down" : " up") << "\n";
        for (int i = 1; i <= kPorts / 2; i++)
            out << "link set " << vq(i) << " down\n";
        out << "link set vp2 nomaster\nlink set vp6 nomaster\nlink set vp7 nomaster\n";
        out << "link set vp7 master br0\n";
        return path;
    }

    std::set<std::string> kernel_ports() const {
        std::set<std::string> names;
        std::string cmd = "ip -n " + ns_->name() + " -o link show master br0";
        FILE *p = popen(cmd.c_str(), "r");
        char line[512];
        while (p != nullptr && std::fgets(line, sizeof line, p) != nullptr) {
            std::string s(line);
            size_t a = s.find(": ");
            size_t b = s.find_first_of("@:", a + 2);
            if (a != std::string::npos && b != std::string::npos)
                names.insert(s.substr(a + 2, b - a - 2));
        }
        if (p != nullptr)
            pclose(p);
        return names;
    }

    std::set<std::string> model_ports() const {
        std::set<std::string> names;
        vesk_bridge *one = vesk_find_bridge_from_master(VESK_BRIDGE_NAME, vesk_get_master(veskm));
        vesk_vlan *vlan = one != nullptr ? vesk_find_vlan_from_bridge(1, one) : nullptr;
        if (vlan == nullptr)
            return names;
        for (listnode *n = listhead(vlan->vlan_port_list); n != nullptr; n = listnextnode(n))
            names.insert(static_cast<vesk_port *>(listgetdata(n))->name);
        return names;
    }

    // Ports and link states as the daemon has them equal the kernel's now.
    bool matches(const std::set<std::string> &ports, std::string *diff) const {
        if (model_ports() != ports) {
            *diff = "port sets differ";
            return false;
        }
        for (const auto &name : ports) {
            struct interface *ifp = ifg_lookup_by_name(veskm->ifg, name.c_str());
            auto *port = ifp != nullptr ? static_cast<vesk_port *>(ifp->info) : nullptr;
            bool up = (NetNs::flags(name) & kUpRunning) == kUpRunning;
            bool model_up = port != nullptr && if_is_up(ifp) &&
                            (port->flags & kUpRunning) == kUpRunning &&
                            port->pstate == VESK_PORT_UP;
            bool model_down = port != nullptr && !if_is_up(ifp) && port->pstate == VESK_PORT_DOWN;
            if (up ? !model_up : !model_down) {
                *diff = name + " link state differs";
                return false;
            }
        }
        return true;
    }

    std::unique_ptr<NetNs> ns_;
    std::unique_ptr<vesk_test::LogCapture> log_;
};

TEST_F(NsmResync, ModelMatchesTheKernelSoonAfterABurstThatOverrunsTheBuffer) {
    std::string diff;
    ASSERT_TRUE(matches(kernel_ports(), &diff)) << "before the burst: " << diff;
    std::string batch = write_burst();
    std::atomic<bool> done{false};
    std::thread burst([&] {
        nsm_test::run("ip -n " + ns_->name() + " -batch " + batch);
        done = true;
    });
    while (!done) {
        thread_run_due(veskm);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    burst.join();
    auto end = clock_type::now();
    std::remove(batch.c_str());

    std::set<std::string> ports = kernel_ports();
    ASSERT_EQ(ports.size(), static_cast<size_t>(kPorts - 2));
    bool caught_up = vesk_test::run_until(
        veskm, [&] { return matches(ports, &diff); }, std::chrono::seconds(3));
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - end);
    ASSERT_TRUE(caught_up) << diff;
    std::printf("model matched the kernel %lld ms after the burst\n",
                static_cast<long long>(took.count()));
    EXPECT_LE(took.count(), 1000);

    // The kernel settles its link states late; the model follows and stays equal.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_TRUE(vesk_test::run_until(
        veskm, [&] { return matches(ports, &diff); }, std::chrono::seconds(1)))
        << diff;

    nsm_client_stats stats{};
    nsm_client_get_stats(veskm->nc, &stats);
    std::printf("overruns %llu, full syncs %llu, interrupted dumps %llu\n",
                static_cast<unsigned long long>(stats.overruns),
                static_cast<unsigned long long>(stats.syncs),
                static_cast<unsigned long long>(stats.dumps_interrupted));
    EXPECT_GT(stats.overruns, 0u) << "the buffer never overflowed: the test proves nothing";
    EXPECT_GT(stats.syncs, 1u);
}

} // namespace
