// Allocation failures in the middle of NSM messages and commands. A day on a small switch runs
// as a script of steps (the module reports interfaces, the bridge, VLANs and memberships;
// operators configure ports and the bridge; links flap; VLANs and interfaces go; timers run;
// show commands read everything). Each run makes one record type fail during one step, the
// next allocation or all of them, then runs the rest of the day. Nothing may crash, the model
// must hold together after every step, and every record must come back at the end; the
// framework's start-up records (tables, virtual router, interface group) fail in the
// framework's own tests.
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_check.h"
#include "support/model_fixture.h"
#include "vesk/cli/cli.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/nsm/nsm.h"
#include "zet/nsm/view.h"

namespace {

constexpr uint32_t kUp = 0x1 | 0x40;
constexpr int kEveryAllocation = 1 << 20;

// The framework's record types and the daemon's.
const std::vector<int> kTypes = {MTYPE_ZET_LIST,
                                 MTYPE_ZET_LISTNODE,
                                 MTYPE_ZET_ROUTE_TABLE,
                                 MTYPE_ZET_ROUTE_NODE,
                                 MTYPE_ZET_THREAD,
                                 MTYPE_ZET_IF,
                                 MTYPE_ZET_VR,
                                 MTYPE_ZET_IF_GROUP,
                                 MTYPE_ZET_IF_TABLE,
                                 652,
                                 653,
                                 654,
                                 655,
                                 656,
                                 657};

nsm_view_if iface(const char *name, uint32_t index, bool up = true) {
    nsm_view_if v;
    v.name = name;
    v.flags = up ? kUp : 0x1;
    v.hw = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(index)};
    v.hw_len = 6;
    v.bridge_ifindex = 100;
    return v;
}

nsm_view_port port(std::initializer_list<uint16_t> vlans) {
    nsm_view_port p;
    p.vlans = vlans;
    return p;
}

// What the module reports at first: three ports of bridge "1" with VLANs 1, 10 and 20, and a
// second bridge (bridge "1" exists before, so only this one makes a bridge record).
nsm_view first_view() {
    nsm_view v;
    v.ifs[1] = iface("ge1", 1);
    v.ifs[2] = iface("ge2", 2);
    v.ifs[3] = iface("ge3", 3);
    v.bridges["1"].type = NSM_BRIDGE_TYPE_VLAN_AWARE;
    v.bridges["1"].vlans = {1, 10, 20, 30};
    v.bridges["2"].type = NSM_BRIDGE_TYPE_PLAIN;
    v.bridges["2"].vlans = {1};
    v.ports[1] = port({1, 10});
    v.ports[2] = port({1, 10, 20});
    v.ports[3] = port({20});
    return v;
}

class AllocFaultTest : public vesk_test::ModelFixture,
                       public ::testing::WithParamInterface<std::tuple<int, int>> {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        vesk_lib_cli_init(veskm);
        vesk_cli_init(veskm);
        vesk_nsm_client_setup(veskm, veskm->nc);
        cli_ = cli_new(veskm, 15);
        ASSERT_NE(cli_, nullptr);
        view_ = first_view();
    }
    void TearDown() override {
        for (int type : kTypes)
            memory_fail_next(type, 0);
        cli_free(cli_);
        ModelFixture::TearDown();
        EXPECT_EQ(memory_live_total(), 0) << "records still live after the framework stopped";
    }

    void report(const nsm_view &next) {
        view_ = next;
        nsm_client_apply_view(veskm->nc, view_);
    }
    void type(std::initializer_list<const char *> lines) {
        for (const char *line : lines)
            cli_execute(cli_, line, true);
        output_ += cli_output_take(cli_);
    }

    // The day, step by step.
    std::vector<std::function<void()>> day() {
        return {
            [this] { report(view_); },
            [this] {
                type({"configure terminal", "interface ge1", "loop-detect enable",
                      "loop-detect protect vlan 10", "end"});
            },
            [this] {
                type({"configure terminal", "interface ge2", "loop-detect protect vlan 20",
                      "loop-detect protect vlan 30", "loop-detect loop log", "end"});
            },
            [this] {
                type({"configure terminal", "loop-detect enable", "end"});
            },
            [this] {
                nsm_view next = view_;
                next.ports[2].vlans.insert(30);
                report(next);
            },
            [this] {
                nsm_view next = view_;
                next.bridges["1"].vlans.erase(10);
                next.ports[1].vlans.erase(10);
                next.ports[2].vlans.erase(10);
                report(next);
            },
            [this] {
                nsm_view next = view_;
                next.ifs[1].flags = 0x1;
                report(next);
                next.ifs[1].flags = kUp;
                report(next);
            },
            [this] { advance(5); },
            [this] {
                type({"configure terminal", "interface ge2", "no loop-detect protect vlan all",
                      "loop-detect tx-interval time 30", "loop-detect resume time 300",
                      "interface ge3", "loop-detect enable", "loop-detect force up", "end"});
            },
            [this] {
                nsm_view next = view_;
                next.ifs.erase(3);
                next.ports.erase(3);
                report(next);
            },
            [this] {
                type({"show loop-detect", "show loop-detect interface ge1", "show loop-detect vlan",
                      "show wmi loop-detect", "show running-config", "dump-mode",
                      "dump vesk bridage interface ge1", "dump vesk bridage vlan 1", "exit"});
            },
            [this] { advance(200); },
            [this] { report(nsm_view{}); },
        };
    }

    struct cli *cli_ = nullptr;
    nsm_view view_;
    std::string output_;
};

// Each failing step in a fresh world, in one program run: hundreds of runs of this program cost
// more than the worlds.
TEST_P(AllocFaultTest, NoCrashNoLeakModelHolds) {
    const auto [mtype, count] = GetParam();
    const size_t days = day().size();
    for (size_t failing = 0; failing < days; failing++) {
        SCOPED_TRACE("failing step " + std::to_string(failing));
        if (failing > 0) {
            TearDown();
            SetUp();
        }
        std::vector<std::function<void()>> steps = day();
        for (size_t i = 0; i < steps.size(); i++) {
            SCOPED_TRACE("step " + std::to_string(i));
            if (i == failing)
                memory_fail_next(mtype, count);
            steps[i]();
            memory_fail_next(mtype, 0);
            ASSERT_EQ(vesk_check::model_fault(veskm), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTypeEveryStep, AllocFaultTest,
                         ::testing::Combine(::testing::ValuesIn(kTypes),
                                            ::testing::Values(1, kEveryAllocation)),
                         [](const auto &info) {
                             return "type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == 1 ? "_next" : "_all");
                         });

} // namespace
