// Management-interface reports: the VLAN list format, the port filter and the three commands
// as the management interface reads them through the command shell.
#include <string>
#include <vector>

#include "vesk/cli/cli_fixture.h"
#include "vesk/cli/wmi.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::CliFixture;

class WmiTest : public CliFixture {
  protected:
    std::string format(const std::vector<int> &vids, int group = VESK_WMI_VLAN_MAX) {
        wmi_loopback_vlan_display_format(cli_, vids.data(), static_cast<int>(vids.size()), group);
        return cli_output_take(cli_);
    }

    // Marks a loop on the port's protect VLAN as the receive path does, and lets the machine
    // take it; the network services module then takes the link down.
    void loop_on(vesk_port *port, uint16_t vid) {
        vesk_provlan *entry = vesk_find_provlan_from_port(vid, port);
        ASSERT_NE(entry, nullptr);
        entry->is_loop = 1;
        port->loop_vlan_count++;
        vesk_update_state_machine(port);
        ASSERT_EQ(port->pstate, VESK_PORT_SHUTDOWN);
        set_running(port, false);
    }
};

TEST_F(WmiTest, VlanListWritesRunsAsRangesAndEndsEveryItemWithAComma) {
    EXPECT_EQ(format({1, 2, 3, 5}), "1-3,5,");
    EXPECT_EQ(format({7, 8}), "7-8,");
    EXPECT_EQ(format({2, 4, 6}), "2,4,6,");
    EXPECT_EQ(format({10, 11, 12, 13, 20, 30, 31}), "10-13,20,30-31,");
    EXPECT_EQ(format({4094}), "4094,");
}

TEST_F(WmiTest, VlanListKeepsTheOrderGivenWithoutSorting) {
    EXPECT_EQ(format({1, 10, 11, 12, 2, 3}), "1,10-12,2-3,");
    EXPECT_EQ(format({4, 3, 2, 1}), "4,3,2,1,");
    EXPECT_EQ(format({5, 5, 6}), "5,5-6,");
}

TEST_F(WmiTest, VlanListOfNothingWritesNothing) {
    EXPECT_EQ(format({}), "");
    wmi_loopback_vlan_display_format(cli_, nullptr, 3, VESK_WMI_VLAN_MAX);
    EXPECT_EQ(cli_output_take(cli_), "");
}

TEST_F(WmiTest, VlanListCutsRunsIntoGroupsOfTheGroupSize) {
    EXPECT_EQ(format({1, 2, 3, 4, 5}, 2), "1-2,3-4,5,");
    EXPECT_EQ(format({1, 2, 3, 4, 9}, 2), "1-2,3-4,9,");
    // A group cut off by the size is a range even of one value; the run's last is a single id.
    EXPECT_EQ(format({5, 6, 7, 9}, 1), "5-5,6-6,7,9,");
    EXPECT_EQ(format({5, 6, 7}, 0), "5-5,6-6,7,");
}

TEST_F(WmiTest, PortFilterLeavesOutManagementStackingAndAggregatePorts) {
    EXPECT_EQ(vesk_wmi_port_reported("ge1"), 1);
    EXPECT_EQ(vesk_wmi_port_reported("pon1"), 1);
    EXPECT_EQ(vesk_wmi_port_reported("p"), 1);
    EXPECT_EQ(vesk_wmi_port_reported("po1"), 0);
    EXPECT_EQ(vesk_wmi_port_reported("po"), 0);
    EXPECT_EQ(vesk_wmi_port_reported("sa1"), 0);
    EXPECT_EQ(vesk_wmi_port_reported("mgm0"), 0);
    EXPECT_EQ(vesk_wmi_port_reported("mg1"), 1);
}

TEST_F(WmiTest, SwitchReportIsOneWordWithoutLineEnd) {
    EXPECT_EQ(run("show wmi loopback switch"), "disable");
    EXPECT_EQ(result_, 0);
    configure({"loop-detect enable"});
    EXPECT_EQ(run("show wmi loopback switch"), "enable");
    EXPECT_EQ(result_, 0);
}

TEST_F(WmiTest, SwitchReportWithoutBridgeSaysError) {
    make_port("ge1", 1, {1});
    listnode_delete(master()->bridge_list, bridge());
    std::string out = run("show wmi loopback switch");
    int result = result_;
    std::string ports = run("show wmi port loopback infomation");
    std::string states = run("show wmi loop-detect");
    listnode_add(master()->bridge_list, bridge());

    EXPECT_EQ(out, "% The bridge is not found\nERROR");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(ports, "% The bridge is not found\n");
    EXPECT_EQ(states, "% The bridge is not found\n");
}

TEST_F(WmiTest, ReportsCoverPonButNeverMgmSaOrPoPorts) {
    make_port("ge1", 1, {1, 2, 3, 5});
    make_port("mgm0", 2, {1});
    make_port("po1", 3, {1});
    make_port("pon1", 4, {1});
    make_port("sa1", 5, {1});
    configure({"interface ge1", "loop-detect enable", "loop-detect protect vlan 2",
               "loop-detect protect vlan 3", "loop-detect protect vlan 5",
               "loop-detect protect vlan 40", "loop-detect tx-interval time 30",
               "loop-detect resume time 300", "interface mgm0", "loop-detect enable"});

    EXPECT_EQ(run("show wmi port loopback infomation"),
              "loopback( \"ge1\", \"1\", \"300\", \"30\", \"1-3,5,40,\");\n"
              "loopback( \"pon1\", \"2\", \"180\", \"10\", \"\");\n");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(run("show wmi loop-detect"),
              "loopInfo( \"ge1\", \"Yes\", \"up\", \"--\", \"No\", \"1-3,5,40,\");\n"
              "loopInfo( \"pon1\", \"No\", \"up\", \"--\", \"--\", \"--\");\n");
    EXPECT_EQ(result_, 0);
}

TEST_F(WmiTest, QuotesAndBackslashesInNamesAreEscaped) {
    make_port("q\"),x", 1, {1});
    make_port("b\\", 2, {1});
    EXPECT_EQ(run("show wmi loop-detect"),
              "loopInfo( \"b\\\\\", \"No\", \"up\", \"--\", \"--\", \"--\");\n"
              "loopInfo( \"q\\\"),x\", \"No\", \"up\", \"--\", \"--\", \"--\");\n");
    EXPECT_EQ(run("show wmi port loopback infomation"),
              "loopback( \"b\\\\\", \"2\", \"180\", \"10\", \"\");\n"
              "loopback( \"q\\\"),x\", \"2\", \"180\", \"10\", \"\");\n");
}

TEST_F(WmiTest, EnabledBridgeShowsEveryPortEnabled) {
    make_port("ge1", 1, {7});
    make_port("ge2", 2, {7}, false);
    bridge()->vesk_enable = 1;

    EXPECT_EQ(run("show wmi port loopback infomation"),
              "loopback( \"ge1\", \"1\", \"180\", \"10\", \"\");\n"
              "loopback( \"ge2\", \"1\", \"180\", \"10\", \"\");\n");
    EXPECT_EQ(run("show wmi loop-detect"),
              "loopInfo( \"ge1\", \"Yes\", \"up\", \"--\", \"--\", \"--\");\n"
              "loopInfo( \"ge2\", \"Yes\", \"down\", \"--\", \"--\", \"--\");\n");
}

TEST_F(WmiTest, ShutDownPortReportsItsLoopAndRemainingResumeTime) {
    vesk_port *port = make_port("ge1", 1, {10, 11});
    configure({"interface ge1", "loop-detect protect vlan 11", "loop-detect protect vlan 10",
               "loop-detect protect vlan 12", "loop-detect resume time 200"});
    advance(3);
    loop_on(port, 10);
    advance(50);

    EXPECT_EQ(run("show wmi loop-detect"),
              "loopInfo( \"ge1\", \"Yes\", \"shutdown\", \"150s\", \"Yes\", \"11,10,12,\");\n");
    EXPECT_EQ(run("show wmi port loopback infomation"),
              "loopback( \"ge1\", \"2\", \"200\", \"10\", \"11,10,12,\");\n");
}

TEST_F(WmiTest, ReportCommandsNeedOnlyTheLowestPrivilege) {
    make_port("ge1", 1, {1});
    struct cli *user = cli_new(veskm, PRIVILEGE_MIN);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(cli_execute(user, "show wmi loopback switch", false), 0);
    EXPECT_EQ(cli_execute(user, "show wmi port loopback infomation", false), 0);
    EXPECT_EQ(cli_execute(user, "show wmi loop-detect", false), 0);
    EXPECT_EQ(cli_output_take(user),
              "disable"
              "loopback( \"ge1\", \"2\", \"180\", \"10\", \"\");\n"
              "loopInfo( \"ge1\", \"No\", \"up\", \"--\", \"--\", \"--\");\n");
    cli_free(user);
}

} // namespace
