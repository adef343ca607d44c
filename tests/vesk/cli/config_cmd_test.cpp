// The global and interface configuration commands, typed into the real command shell: values
// at their bounds, the operator messages, the "no" forms and the mode changes.
#include "vesk/cli/cli.h"

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

class VeskConfigCmdTest : public vesk_test::ModelFixture {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        ASSERT_EQ(vesk_cli_init(veskm), 1);
        cli_ = cli_new(veskm, PRIVILEGE_MAX);
        ASSERT_NE(cli_, nullptr);
        ge1_ = make_port("ge1", 1, {1, 20});
        ge2_ = make_port("ge2", 2, {1});
        make_interface("ge9", 9);
        make_interface("po1", 30);
        ASSERT_EQ(run("configure terminal"), 0);
    }

    void TearDown() override {
        cli_free(cli_);
        ModelFixture::TearDown();
    }

    // Runs one line; what it printed is in out_.
    int run(const std::string &line) {
        int rc = cli_execute(cli_, line.c_str(), false);
        out_ = cli_output_take(cli_);
        return rc;
    }

    // Enters interface mode of name.
    void enter(const char *name) {
        ASSERT_EQ(run(std::string("interface ") + name), 0) << out_;
        ASSERT_EQ(cli_->mode, INTERFACE_MODE);
    }

    static std::vector<uint16_t> protect_vlans(vesk_port *port) {
        std::vector<uint16_t> vids;
        for (listnode *n = listhead(port->provlan_info); n != nullptr; n = listnextnode(n))
            vids.push_back(static_cast<vesk_provlan *>(listgetdata(n))->vid);
        return vids;
    }

    size_t log_count(const std::string &text) { return log().count(text); }

    cli *cli_ = nullptr;
    std::string out_;
    vesk_port *ge1_ = nullptr;
    vesk_port *ge2_ = nullptr;
};

TEST_F(VeskConfigCmdTest, TransmitIntervalAtItsBoundsAndOnePast) {
    enter("ge1");
    EXPECT_EQ(run("loop-detect tx-interval time 9"), 1);
    EXPECT_EQ(out_, "% Invalid time value\n");
    EXPECT_EQ(ge1_->tx_interval_time, 10u);
    EXPECT_EQ(run("loop-detect tx-interval time 301"), 1);
    EXPECT_EQ(out_, "% Invalid time value\n");
    EXPECT_EQ(run("loop-detect tx-interval time 300"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(ge1_->tx_interval_time, 300u);
    EXPECT_EQ(run("loop-detect tx-interval time 10"), 0);
    EXPECT_EQ(ge1_->tx_interval_time, 10u);
}

TEST_F(VeskConfigCmdTest, ResumeTimeAtItsBoundsAndOnePast) {
    enter("ge1");
    EXPECT_EQ(run("loop-detect resume time 179"), 1);
    EXPECT_EQ(out_, "% Invalid time value\n");
    EXPECT_EQ(run("loop-detect resume time 601"), 1);
    EXPECT_EQ(out_, "% Invalid time value\n");
    EXPECT_EQ(ge1_->resume_time, 180u);
    EXPECT_EQ(run("loop-detect resume time 600"), 0);
    EXPECT_EQ(ge1_->resume_time, 600u);
    EXPECT_EQ(run("loop-detect resume time 180"), 0);
    EXPECT_EQ(ge1_->resume_time, 180u);
}

TEST_F(VeskConfigCmdTest, NumberBeyondAnIntIsAnInvalidValueNotAWrappedOne) {
    enter("ge1");
    EXPECT_EQ(run("loop-detect tx-interval time 4294967306"), 1);
    EXPECT_EQ(out_, "% Invalid time value\n");
    EXPECT_EQ(run("loop-detect protect vlan 4294967297"), 1);
    EXPECT_EQ(out_, "% Invalid vlan value\n");
    EXPECT_TRUE(protect_vlans(ge1_).empty());
}

TEST_F(VeskConfigCmdTest, ProtectVlanAtItsBoundsAndOnePast) {
    enter("ge1");
    EXPECT_EQ(run("loop-detect protect vlan 0"), 1);
    EXPECT_EQ(out_, "% Invalid vlan value\n");
    EXPECT_EQ(run("loop-detect protect vlan 4095"), 1);
    EXPECT_EQ(out_, "% Invalid vlan value\n");
    EXPECT_EQ(run("no loop-detect protect vlan 4095"), 1);
    EXPECT_EQ(out_, "% Invalid vlan value\n");
    EXPECT_EQ(run("loop-detect protect vlan 1"), 0);
    EXPECT_EQ(run("loop-detect protect vlan 4094"), 0);
    EXPECT_EQ(protect_vlans(ge1_), (std::vector<uint16_t>{1, 4094}));
    EXPECT_EQ(run("no loop-detect protect vlan 4094"), 0);
    EXPECT_EQ(protect_vlans(ge1_), std::vector<uint16_t>{1});
}

TEST_F(VeskConfigCmdTest, NoFormsRestoreTheDefaults) {
    enter("ge1");
    ASSERT_EQ(run("loop-detect tx-interval time 77"), 0);
    ASSERT_EQ(run("loop-detect resume time 333"), 0);
    EXPECT_EQ(run("no loop-detect tx-interval time"), 0);
    EXPECT_EQ(run("no loop-detect resume time"), 0);
    EXPECT_EQ(ge1_->tx_interval_time, 10u);
    EXPECT_EQ(ge1_->resume_time, 180u);
}

TEST_F(VeskConfigCmdTest, NoProtectVlanAllEmptiesTheList) {
    enter("ge1");
    for (const char *vid : {"1", "20", "300"})
        ASSERT_EQ(run(std::string("loop-detect protect vlan ") + vid), 0);
    EXPECT_EQ(run("no loop-detect protect vlan all"), 0);
    EXPECT_TRUE(protect_vlans(ge1_).empty());
    EXPECT_EQ(ge1_->mstate, SMS_INITIALIZE);
}

TEST_F(VeskConfigCmdTest, SeventeenthProtectVlanIsRefusedWithTheLimitMessage) {
    enter("ge1");
    for (int vid = 100; vid < 116; vid++)
        ASSERT_EQ(run("loop-detect protect vlan " + std::to_string(vid)), 0) << out_;
    EXPECT_EQ(run("loop-detect protect vlan 116"), 1);
    EXPECT_EQ(out_, "% The num of protect vlan is exceed limit\n");
    EXPECT_EQ(ge1_->provlan_count, 16);
}

TEST_F(VeskConfigCmdTest, AllocationFailureIsReportedAsAFailure) {
    enter("ge1");
    memory_fail_next(MTYPE_VESK_PROVLAN, 1);
    EXPECT_EQ(run("loop-detect protect vlan 20"), 1);
    EXPECT_EQ(out_, "% The operation failed\n");
    EXPECT_TRUE(protect_vlans(ge1_).empty());
}

TEST_F(VeskConfigCmdTest, InterfaceOutsideTheBridgeGetsThePortNotFoundMessage) {
    enter("ge9");
    EXPECT_EQ(run("loop-detect protect vlan 5"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
    EXPECT_EQ(run("loop-detect tx-interval time 20"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
    EXPECT_EQ(run("loop-detect force up"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
    EXPECT_EQ(run("no loop-detect protect vlan all"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
}

TEST_F(VeskConfigCmdTest, EnableOnAnInterfaceOutsideTheBridgeSaysSoInsteadOfSucceedingSilently) {
    enter("ge9");
    EXPECT_EQ(run("loop-detect enable"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
    EXPECT_EQ(run("no loop-detect enable"), 1);
    EXPECT_EQ(out_, "% The port is not found in the bridge\n");
}

TEST_F(VeskConfigCmdTest, MissingBridgeIsReportedTwiceByInterfaceCommandsAndOnceByGlobalOnes) {
    enter("ge1");
    std::strcpy(bridge()->name, "2");
    EXPECT_EQ(run("loop-detect resume time 200"), 1);
    EXPECT_EQ(out_, "% The bridge is not found\n% The bridge is not found\n");
    EXPECT_EQ(run("loop-detect enable"), 1);
    EXPECT_EQ(out_, "% The bridge is not found\n");
    ASSERT_EQ(run("exit"), 0);
    ASSERT_EQ(cli_->mode, CONFIG_MODE);
    EXPECT_EQ(run("loop-detect enable"), 1);
    EXPECT_EQ(out_, "% The bridge is not found\n");
    EXPECT_EQ(run("no loop-detect enable"), 1);
    EXPECT_EQ(out_, "% The bridge is not found\n");
    std::strcpy(bridge()->name, VESK_BRIDGE_NAME);
    EXPECT_EQ(ge1_->resume_time, 180u);
}

TEST_F(VeskConfigCmdTest, GlobalEnableTwiceRunsTheBridgeOperationOnce) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(run("loop-detect enable"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(bridge()->vesk_enable, 1);
    const size_t first = log_count("Port ge1 enable vesk");
    EXPECT_GE(first, 1u);
    EXPECT_EQ(run("loop-detect enable"), 0);
    EXPECT_EQ(log_count("Port ge1 enable vesk"), first);
    EXPECT_EQ(protect_vlans(ge1_), std::vector<uint16_t>{1});
    EXPECT_EQ(protect_vlans(ge2_), std::vector<uint16_t>{1});
}

TEST_F(VeskConfigCmdTest, GlobalNoEnableOnADisabledBridgeDoesNothing) {
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(run("no loop-detect enable"), 0);
    EXPECT_EQ(log_count("disable vesk"), 0u);
    ASSERT_EQ(run("loop-detect enable"), 0);
    EXPECT_EQ(run("no loop-detect enable"), 0);
    EXPECT_EQ(bridge()->vesk_enable, 0);
    EXPECT_GE(log_count("Port ge1 disable vesk"), 1u);
    EXPECT_TRUE(protect_vlans(ge1_).empty());
}

TEST_F(VeskConfigCmdTest, InterfaceEnableProtectsVlan1OnceAndNoEnableRemovesOnlyVlan1) {
    enter("ge1");
    ASSERT_EQ(run("loop-detect protect vlan 20"), 0);
    EXPECT_EQ(run("loop-detect enable"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(ge1_->cfg_enable, 1);
    EXPECT_EQ(protect_vlans(ge1_), (std::vector<uint16_t>{20, 1}));
    set_debug(VESK_DEBUG_EVENT);
    EXPECT_EQ(run("loop-detect enable"), 0);
    EXPECT_EQ(out_, "");
    EXPECT_EQ(log_count("enable vesk"), 0u) << "a second enable changes nothing";
    EXPECT_EQ(run("no loop-detect enable"), 0);
    EXPECT_EQ(ge1_->cfg_enable, 0);
    EXPECT_EQ(protect_vlans(ge1_), std::vector<uint16_t>{20});
}

TEST_F(VeskConfigCmdTest, PInterfaceModeIsForPortChannelsAndPonInterfacesOnly) {
    const struct {
        const char *name;
        int mode;
    } cases[] = {{"po1", PINTERFACE_MODE}, {"pon12", PINTERFACE_MODE}, {"port4", INTERFACE_MODE},
                 {"p1p1", INTERFACE_MODE}, {"po", INTERFACE_MODE},     {"pon1a", INTERFACE_MODE}};
    uint32_t ifindex = 40;
    for (const auto &c : cases) {
        if (ifg_lookup_by_name(veskm->ifg, c.name) == nullptr)
            make_interface(c.name, ifindex++);
        EXPECT_EQ(run(std::string("interface ") + c.name), 0) << c.name;
        EXPECT_EQ(cli_->mode, c.mode) << c.name;
    }
    EXPECT_EQ(run("interface ge1"), 0) << "interface IFNAME is installed in mode 120 too";
    EXPECT_EQ(cli_->mode, INTERFACE_MODE);
    EXPECT_EQ(cli_->ifp, ge1_->ifp);
}

TEST_F(VeskConfigCmdTest, InterfaceCommandsNeverFallBackToTheWholeBridge) {
    ASSERT_EQ(run("loop-detect enable"), 0);
    ASSERT_EQ(run("interface po1"), 0);
    for (const char *line : {"no loop-detect enable", "loop-detect protect vlan 5"}) {
        EXPECT_EQ(cli_execute(cli_, line, true), CLI_ERR_WRONG_MODE) << line;
        EXPECT_EQ(cli_output_take(cli_), "% Interface po1 does not take this command\n");
    }
    EXPECT_EQ(bridge()->vesk_enable, 1);
    EXPECT_EQ(cli_->mode, PINTERFACE_MODE);
}

TEST_F(VeskConfigCmdTest, PInterfaceModeTakesNoLoopDetectCommand) {
    ASSERT_EQ(run("interface po1"), 0);
    EXPECT_NE(run("loop-detect protect vlan 5"), 0);
    EXPECT_NE(out_.find('%'), std::string::npos) << out_;
}

TEST_F(VeskConfigCmdTest, UnknownInterfaceSelectsNoneAndTheLinesUnderItFail) {
    ASSERT_EQ(run("loop-detect enable"), 0);
    enter("ge2");
    EXPECT_EQ(run("interface ge77"), 1);
    EXPECT_EQ(out_, "% Interface does not exist: ge77\n");
    EXPECT_EQ(cli_->mode, INTERFACE_MODE);
    EXPECT_EQ(cli_->ifp, nullptr);
    for (const char *line : {"loop-detect tx-interval time 20", "no loop-detect enable"}) {
        EXPECT_EQ(cli_execute(cli_, line, true), CLI_ERR_NO_INTERFACE) << line;
        EXPECT_NE(cli_output_take(cli_).find("No interface selected"), std::string::npos);
    }
    EXPECT_EQ(ge2_->tx_interval_time, VESK_TX_INTERVAL_DEFAULT);
    EXPECT_EQ(bridge()->vesk_enable, 1) << "never tried in configure mode";
    EXPECT_EQ(run("interface ge1"), 0);
    EXPECT_EQ(cli_->ifp, ge1_->ifp);
}

TEST_F(VeskConfigCmdTest, LoopHandlingCommandSetsLogAndShutdown) {
    enter("ge1");
    EXPECT_EQ(run("loop-detect loop log"), 0);
    EXPECT_EQ(ge1_->loop_process, VESK_LOOP_LOG);
    EXPECT_EQ(run("loop-detect loop shutdown"), 0);
    EXPECT_EQ(ge1_->loop_process, VESK_LOOP_SHUTDOWN);
    EXPECT_EQ(run("loop-detect loop l"), 0) << "abbreviated keyword";
    EXPECT_EQ(ge1_->loop_process, VESK_LOOP_LOG);
}

TEST_F(VeskConfigCmdTest, ForceUpReleasesAShutDownPortASecondLater) {
    enter("ge1");
    ASSERT_EQ(run("loop-detect enable"), 0);
    ASSERT_EQ(ge1_->mstate, SMS_WAIT_TX);
    vesk_update_state_machine(ge1_); // a frame of ge1 came back
    ASSERT_EQ(ge1_->pstate, VESK_PORT_SHUTDOWN);
    EXPECT_EQ(run("loop-detect force up"), 0);
    EXPECT_EQ(out_, "");
    advance(1);
    EXPECT_EQ(ge1_->pstate, VESK_PORT_NOSHUTDOWN);
    EXPECT_TRUE(log().contains("Cancel a loop on the port ge1, no shut down")) << log().text();
}

TEST_F(VeskConfigCmdTest, HelpShowsTheRangeAndTheHelpStrings) {
    enter("ge1");
    cli_describe(cli_, "loop-detect tx-interval time ");
    std::string help = cli_output_take(cli_);
    EXPECT_NE(help.find("<10-300>"), std::string::npos) << help;
    EXPECT_NE(help.find("seconds next send packet"), std::string::npos) << help;
    cli_describe(cli_, "loop-detect ");
    help = cli_output_take(cli_);
    for (const char *word : {"enable", "protect", "tx-interval", "resume", "force", "loop"})
        EXPECT_NE(help.find(word), std::string::npos) << word << "\n" << help;
    EXPECT_NE(help.find("Force port up"), std::string::npos) << help;
}

TEST_F(VeskConfigCmdTest, RunningConfigurationReadBackRestoresLogModeAndSettings) {
    enter("ge1");
    ASSERT_EQ(run("loop-detect loop log"), 0);
    ASSERT_EQ(run("loop-detect resume time 240"), 0);
    ASSERT_EQ(run("loop-detect protect vlan 20"), 0);
    ASSERT_EQ(run("end"), 0);
    const std::string config = cli_running_config(veskm);
    EXPECT_NE(config.find(" loop-detect loop log\n"), std::string::npos) << config;

    // Back to the defaults, then replay the configuration as the configuration file would.
    ASSERT_EQ(run("configure terminal"), 0);
    enter("ge1");
    ASSERT_EQ(run("loop-detect loop shutdown"), 0);
    ASSERT_EQ(run("no loop-detect resume time"), 0);
    ASSERT_EQ(run("no loop-detect protect vlan all"), 0);
    ASSERT_EQ(run("end"), 0);
    ASSERT_EQ(run("configure terminal"), 0);
    std::istringstream lines(config);
    for (std::string line; std::getline(lines, line);) {
        int rc = cli_execute(cli_, line.c_str(), true);
        EXPECT_EQ(rc, 0) << line << ": " << cli_output_take(cli_);
    }
    EXPECT_EQ(ge1_->loop_process, VESK_LOOP_LOG);
    EXPECT_EQ(ge1_->resume_time, 240u);
    EXPECT_EQ(protect_vlans(ge1_), std::vector<uint16_t>{20});
    EXPECT_EQ(cli_running_config(veskm), config);
}

} // namespace
