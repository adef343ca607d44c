// Each record type fails (its next allocation, or all) during one step of a day on a switch
// (alloc-day.txt): no crash, the model holds after every step, and every record comes back.
#include <fstream>
#include <sstream>

#include "support/model_fixture.h"
#include "vesk/cli/cli.h"
#include "vesk/daemon/start.h"
#include "vesk/host/zet.h"
#include "vesk/nsm/nsm.h"
#include "zet/nsm/view.h"

namespace {

constexpr uint32_t kUp = 0x1 | 0x40;

class AllocFault : public vesk_test::ModelFixture,
                   public ::testing::WithParamInterface<std::tuple<int, int>> {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        vesk_lib_cli_init(veskm);
        vesk_cli_init(veskm);
        vesk_nsm_client_setup(veskm, veskm->nc);
        ASSERT_NE(cli_ = cli_new(veskm, 15), nullptr);
    }
    void TearDown() override {
        memory_fail_next(std::get<0>(GetParam()), 0);
        cli_free(cli_);
        ModelFixture::TearDown();
        EXPECT_EQ(memory_live_total(), 0) << "records still live after the framework stopped";
    }

    // One line of the day: "cli" lines typed at the shell, "nsm" all that the module reports.
    void step(const std::string &line) {
        std::istringstream parts(line);
        std::string kind, part;
        parts >> kind;
        if (kind == "advance")
            return advance(std::stoi(line.substr(8)));
        nsm_view view;
        while (std::getline(parts >> std::ws, part, '|')) {
            part.erase(part.find_last_not_of(' ') + 1);
            std::istringstream in(kind == "cli" ? "" : part);
            std::string op, name, how;
            uint32_t index = 0;
            if (kind == "cli")
                cli_execute(cli_, part.c_str(), true);
            else if (in >> op && op == "if" && in >> index >> name >> how)
                view.ifs[index] = {
                    name, how == "up" ? kUp : 0x1, {2, 0, 0, 0, 0, uint8_t(index)}, 6, 100};
            else if (op == "bridge" && in >> name >> how)
                view.bridges[name].type =
                    how == "aware" ? NSM_BRIDGE_TYPE_VLAN_AWARE : NSM_BRIDGE_TYPE_PLAIN;
            else if (op != "port" || !(in >> index))
                FAIL() << "no such report: " << part;
            for (uint16_t vid; in >> vid;)
                (op == "port" ? view.ports[index].vlans : view.bridges[name].vlans).insert(vid);
        }
        if (kind == "nsm")
            nsm_client_apply_view(veskm->nc, view);
        cli_output_take(cli_);
    }

    struct cli *cli_ = nullptr;
};

// Each failing step in a fresh world, in one program run: hundreds of runs of this program cost
// more than the worlds.
TEST_P(AllocFault, NoCrashNoLeakModelHolds) {
    const auto [mtype, count] = GetParam();
    std::vector<std::string> day;
    std::ifstream in(VESK_SOURCE_DIR "/tests/integration/alloc-day.txt");
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && !line.starts_with("#"))
            day.push_back(line);
    ASSERT_EQ(day.size(), 14u);
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
            check_model();
            ASSERT_FALSE(HasFailure());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EveryTypeEveryStep, AllocFault,
                         // The framework's record types (1 to 9) and the daemon's (652 to 657).
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 5, 6, 7, 8, 9, 652, 653,
                                                              654, 655, 656, 657),
                                            ::testing::Values(1, 1 << 20)),
                         [](const auto &info) {
                             return "type" + std::to_string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == 1 ? "_next" : "_all");
                         });

} // namespace
