// Dump commands: what they print on standard output for a port and a VLAN, with addresses in
// full, and the errors that go to the command shell instead.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "vesk/cli/cli_fixture.h"
#include "vesk/cli/dump.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"

namespace {

using vesk_test::CliFixture;

std::string hex(const void *p) {
    char text[32];
    snprintf(text, sizeof text, "0x%" PRIxPTR, reinterpret_cast<uintptr_t>(p));
    return text;
}

void *first_entry(vesk_port *port) {
    return listgetdata(listhead(port->provlan_info));
}

// The dump lines from pstate on, with the record's own values.
std::string port_tail(vesk_port *port) {
    return "  port pstate:" + std::to_string(port->pstate) + "\n" +
           "  port pstate:" + std::to_string(port->mstate) + "\n" +
           "  port tx_interval_time:" + std::to_string(port->tx_interval_time) + "\n" +
           "  port tx_up_time:" + std::to_string(port->tx_up_time) + "\n" +
           "  port tx_type:" + std::to_string(port->tx_type) + "\n" +
           "  port tx_count:" + std::to_string(port->tx_count) + "\n" +
           "  port resume_time:" + std::to_string(port->resume_time) + "\n" +
           "  port tx_timer:" + hex(port->tx_timer) + "\n" +
           "  port resume_timer:" + hex(port->resume_timer) + "\n";
}

class DumpTest : public CliFixture {
  protected:
    // Runs a dump command in dump mode; its standard output goes to stdout_, what reached the
    // command shell is given back.
    std::string dump(const std::string &line) {
        if (cli_->mode != DUMP_MODE) {
            run("dump-mode");
            EXPECT_EQ(cli_->mode, DUMP_MODE);
        }
        testing::internal::CaptureStdout();
        std::string out = run(line);
        stdout_ = testing::internal::GetCapturedStdout();
        return out;
    }

    std::string stdout_;
};

constexpr char kBridgeLine[] = "\n\n  vesk bridge: vesk_enable= 0 \n";

TEST_F(DumpTest, PortWithProtectVlansAndMembershipsPrintsEveryField) {
    vesk_port *port = make_port("ge1", 1, {10, 11, 12, 20});
    make_port("ge2", 2, {10});
    configure({"interface ge1", "loop-detect protect vlan 30", "loop-detect protect vlan 40",
               "loop-detect resume time 200", "loop-detect loop log"});

    EXPECT_EQ(dump("dump vesk bridage interface ge1"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(stdout_, std::string(kBridgeLine) + "  vesk bridge portlist information:\n" + "\n" +
                           "  port name:ge1 ifindex:1 " + hex(port) + "\n" +
                           "  port vesk_enable:0\n"
                           "  port loop_process:0\n"
                           "  port mac address:0200.0000.0001\n"
                           "  port flags:41\n"
                           "  port provlan_info " +
                           hex(first_entry(port)) + ":30, 40, \n" + "  port vlan_list " +
                           hex(port->vlan_list) + ":10, 11, 12, 20, \n" +
                           "  port pstate:0\n"
                           "  port pstate:0\n"
                           "  port tx_interval_time:10\n"
                           "  port tx_up_time:1\n"
                           "  port tx_type:0\n"
                           "  port tx_count:0\n"
                           "  port resume_time:200\n"
                           "  port tx_timer:0x0\n"
                           "  port resume_timer:0x0\n");
}

TEST_F(DumpTest, RunningPortShowsItsMachineAndTimers) {
    vesk_port *port = make_port("ge1", 1, {1});
    configure({"interface ge1", "loop-detect enable"});
    ASSERT_NE(port->tx_timer, nullptr);

    dump("dump vesk bridage interface ge1");
    EXPECT_EQ(stdout_, std::string(kBridgeLine) + "  vesk bridge portlist information:\n" + "\n" +
                           "  port name:ge1 ifindex:1 " + hex(port) + "\n" +
                           "  port vesk_enable:1\n"
                           "  port loop_process:1\n"
                           "  port mac address:0200.0000.0001\n"
                           "  port flags:41\n"
                           "  port provlan_info " +
                           hex(first_entry(port)) + ":1, \n" + "  port vlan_list " +
                           hex(port->vlan_list) + ":1, \n" + port_tail(port));
    EXPECT_NE(stdout_.find("  port pstate:" + std::to_string(SMS_WAIT_TX) + "\n"),
              std::string::npos);
    EXPECT_NE(stdout_.find("  port tx_timer:" + hex(port->tx_timer) + "\n"), std::string::npos);
}

TEST_F(DumpTest, PortWithoutProtectVlansOrMembershipsSkipsBothLists) {
    vesk_port *port = make_port("xe10", 10, {}, false);
    bridge()->vesk_enable = 1;

    dump("dump vesk bridage interface xe10");
    EXPECT_EQ(stdout_, "\n\n  vesk bridge: vesk_enable= 1 \n"
                       "  vesk bridge portlist information:\n"
                       "\n"
                       "  port name:xe10 ifindex:10 " +
                           hex(port) +
                           "\n"
                           "  port vesk_enable:0\n"
                           "  port loop_process:1\n"
                           "  port mac address:0200.0000.000a\n"
                           "  port flags:00\n" +
                           port_tail(port));
}

TEST_F(DumpTest, AddressesArePrintedInFullLowerCaseWithoutLeadingZeros) {
    vesk_port *port = make_port("ge1", 1, {});
    dump("dump vesk bridage interface ge1");
    std::string address = hex(port);
    EXPECT_NE(stdout_.find("ifindex:1 " + address + "\n"), std::string::npos) << stdout_;
    EXPECT_EQ(address.find_first_of("ABCDEF"), std::string::npos);
    EXPECT_NE(address.substr(0, 3), "0x0");
    if (reinterpret_cast<uintptr_t>(port) > 0xffffffffu) {
        EXPECT_GT(address.size(), 10u);
    }
}

TEST_F(DumpTest, KnownInterfaceThatIsNoPortPrintsOnlyTheBridgeLine) {
    make_port("ge1", 1, {});
    make_interface("lo", 30);
    EXPECT_EQ(dump("dump vesk bridage interface lo"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(stdout_, kBridgeLine);
}

TEST_F(DumpTest, VlanPrintsItsRecordAndMembersInJoiningOrder) {
    vesk_port *ge2 = make_port("ge2", 2, {10});
    vesk_port *ge1 = make_port("ge1", 1, {10, 11});
    vesk_port *mgm0 = make_port("mgm0", 3, {10});
    vesk_vlan *v10 = vlan(10);

    EXPECT_EQ(dump("dump vesk bridage vlan 10"), "");
    EXPECT_EQ(result_, 0);
    EXPECT_EQ(stdout_, "\n  vlan 10 " + hex(v10) + " ,vlan_port_list:" + hex(v10->vlan_port_list) +
                           "\n" + "\n  vesk bridge vlan port list:\n" + "  ge2 ifindex:2  " +
                           hex(ge2) + "\n" + "  ge1 ifindex:1  " + hex(ge1) + "\n" +
                           "  mgm0 ifindex:3  " + hex(mgm0) + "\n");
}

TEST_F(DumpTest, VlanWithoutMembersAndUnknownVlan) {
    make_port("ge1", 1, {});
    EXPECT_EQ(dump("dump vesk bridage vlan 5"), "");
    EXPECT_EQ(stdout_, "\n  vsek bridge has no this vlan!\n");
    EXPECT_EQ(result_, 0);

    vesk_vlan *v7 = vlan(7);
    dump("dump vesk bridage vlan 7");
    EXPECT_EQ(stdout_, "\n  vlan 7 " + hex(v7) + " ,vlan_port_list:" + hex(v7->vlan_port_list) +
                           "\n\n  vesk bridge vlan port list:\n");
    dump("dump vesk bridage vlan 8");
    EXPECT_EQ(stdout_, "\n  vsek bridge has no this vlan!\n");
}

TEST_F(DumpTest, InvalidVlanGoesToTheShellAndNothingToStandardOutput) {
    for (const char *line : {"dump vesk bridage vlan 4095", "dump vesk bridage vlan 0",
                             "dump vesk bridage vlan -3", "dump vesk bridage vlan 99999999999"}) {
        EXPECT_EQ(dump(line), "% Invalid vlan value\n") << line;
        EXPECT_EQ(result_, 1) << line;
        EXPECT_EQ(stdout_, "") << line;
    }
}

TEST_F(DumpTest, UnknownInterfaceGoesToTheShell) {
    EXPECT_EQ(dump("dump vesk bridage interface ge9"), "% Interface does not exist: ge9\n");
    EXPECT_EQ(result_, 1);
    EXPECT_EQ(stdout_, "");
}

TEST_F(DumpTest, MissingArgumentsReturnWithoutOutput) {
    char *none[] = {nullptr};
    testing::internal::CaptureStdout();
    EXPECT_EQ(dump_vesk_global_port_info_cli(cli_, 0, none), 1);
    EXPECT_EQ(dump_vesk_global_vlan_info_cli(cli_, 0, none), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(cli_output_take(cli_), "% Invalid vlan value\n");
    vesk_dump_port(nullptr);
}

TEST_F(DumpTest, WithoutBridgeBothDumpsFailWithMinusOne) {
    make_port("ge1", 1, {1});
    listnode_delete(master()->bridge_list, bridge());
    std::string port_out = dump("dump vesk bridage interface ge1");
    int port_result = result_;
    std::string port_stdout = stdout_;
    std::string vlan_out = dump("dump vesk bridage vlan 1");
    int vlan_result = result_;
    listnode_add(master()->bridge_list, bridge());

    EXPECT_EQ(port_out, "% The bridge is not found\n");
    EXPECT_EQ(port_result, -1);
    EXPECT_EQ(port_stdout, "");
    EXPECT_EQ(vlan_out, "% The bridge is not found\n");
    EXPECT_EQ(vlan_result, -1);
    EXPECT_EQ(stdout_, "");
}

TEST_F(DumpTest, DumpCommandsLiveOnlyInDumpMode) {
    make_port("ge1", 1, {1});
    testing::internal::CaptureStdout();
    std::string out = run("dump vesk bridage vlan 1");
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(result_, CLI_ERR_UNKNOWN) << out;
    EXPECT_EQ(printed, "");
}

} // namespace
