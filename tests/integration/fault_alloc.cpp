// Allocation failures in the middle of NSM messages and commands. A day on a small switch runs as
// the steps of alloc-day.txt. Each run makes one record type fail during one step, the next
// allocation or all of them, then runs the rest of the day. Nothing may crash, the model must
// hold together after every step, and every record must come back at the end; the framework's
// start-up records (tables, virtual router, interface group) fail in the framework's own tests.
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "support/daemon_process.h"
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
// The framework's record types and the daemon's (652 to 657).
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

std::vector<std::string> split(const std::string &text, const std::string &at) {
    std::vector<std::string> parts;
    for (size_t from = 0, to; from <= text.size(); from = to + at.size()) {
        to = std::min(text.find(at, from), text.size());
        parts.push_back(text.substr(from, to - from));
    }
    return parts;
}

class AllocFault : public vesk_test::ModelFixture,
                   public ::testing::WithParamInterface<std::tuple<int, int>> {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        vesk_lib_cli_init(veskm);
        vesk_cli_init(veskm);
        vesk_nsm_client_setup(veskm, veskm->nc);
        cli_ = cli_new(veskm, 15);
        ASSERT_NE(cli_, nullptr);
        view_ = nsm_view{};
    }
    void TearDown() override {
        for (int type : kTypes)
            memory_fail_next(type, 0);
        cli_free(cli_);
        ModelFixture::TearDown();
        EXPECT_EQ(memory_live_total(), 0) << "records still live after the framework stopped";
    }

    // One edit of what the module says exists, or "report" to tell the daemon now.
    void edit(const std::string &line) {
        std::istringstream in(line);
        std::string op, name;
        uint32_t index = 0;
        in >> op;
        if (op == "if-add" && in >> index >> name) {
            view_.ifs[index] = {name, kUp, {0x02, 0, 0, 0, 0, uint8_t(index)}, 6, 100};
        } else if (op == "bridge" && in >> name >> op) {
            view_.bridges[name].type =
                op == "aware" ? NSM_BRIDGE_TYPE_VLAN_AWARE : NSM_BRIDGE_TYPE_PLAIN;
            for (uint16_t vid; in >> vid;)
                view_.bridges[name].vlans.insert(vid);
        } else if (op == "port" && in >> index) {
            for (uint16_t vid; in >> vid;)
                view_.ports[index].vlans.insert(vid);
        } else if (op == "vlan-del" && in >> index) {
            view_.bridges["1"].vlans.erase(index);
            for (auto &port : view_.ports)
                port.second.vlans.erase(index);
        } else if ((op == "if-down" || op == "if-up") && in >> index) {
            view_.ifs[index].flags = op == "if-up" ? kUp : 0x1;
        } else if (op == "if-del" && in >> index) {
            view_.ifs.erase(index);
            view_.ports.erase(index);
        } else if (op == "clear") {
            view_ = nsm_view{};
        } else if (op == "report") {
            nsm_client_apply_view(veskm->nc, view_);
        } else {
            FAIL() << "no such step: " << line;
        }
    }
    void step(const std::string &line) {
        const size_t space = line.find(' ');
        const std::string kind = line.substr(0, space), rest = line.substr(space + 1);
        if (kind == "advance")
            return advance(std::stoi(rest));
        for (const std::string &part : split(rest, " | "))
            kind == "cli" ? void(cli_execute(cli_, part.c_str(), true)) : edit(part);
        if (kind == "nsm")
            edit("report");
        cli_output_take(cli_);
    }

    struct cli *cli_ = nullptr;
    nsm_view view_;
};

// Each failing step in a fresh world, in one program run: hundreds of runs of this program cost
// more than the worlds.
TEST_P(AllocFault, NoCrashNoLeakModelHolds) {
    const auto [mtype, count] = GetParam();
    std::vector<std::string> day;
    for (const std::string &line :
         split(vesk_test::read_file(VESK_SOURCE_DIR "/tests/integration/alloc-day.txt"), "\n"))
        if (!line.empty() && !line.starts_with("#"))
            day.push_back(line);
    ASSERT_EQ(day.size(), 13u);
    for (size_t failing = 0; failing < day.size(); failing++) {
        SCOPED_TRACE("failing step " + std::to_string(failing));
        if (failing > 0) {
            TearDown();
            SetUp();
        }
        for (size_t i = 0; i < day.size(); i++) {
            SCOPED_TRACE(day[i]);
            memory_fail_next(mtype, i == failing ? count : 0);
            ASSERT_NO_FATAL_FAILURE(step(day[i]));
            memory_fail_next(mtype, 0);
            ASSERT_EQ(vesk_check::model_fault(veskm), "");
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTypeEveryStep, AllocFault,
                         ::testing::Combine(::testing::ValuesIn(kTypes),
                                            ::testing::Values(1, kEveryAllocation)),
                         [](const auto &info) {
                             return "type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == 1 ? "_next" : "_all");
                         });

} // namespace
