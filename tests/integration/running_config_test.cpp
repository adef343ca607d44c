// The running configuration survives a restart: a real veskd on the socket backends is
// configured through its vty, writes its configuration with "write", is stopped and started
// again on the same file, and shows the same running configuration and the same port states.
#include <gtest/gtest.h>

#include "support/daemon_process.h"

namespace {

struct Case {
    const char *name;
    std::vector<std::string> lines;
    std::string running_has; // in the running configuration and the file written
    std::string ports_has;   // in "show wmi port loopback infomation"
};

const Case kCases[] = {
    {"EveryInterfaceCommand",
     {"interface ge1", "loop-detect tx-interval time 20", "loop-detect resume time 300",
      "loop-detect loop log", "loop-detect enable", "loop-detect protect vlan 5",
      "loop-detect protect vlan 7", "interface ge2", "loop-detect protect vlan 5",
      "loop-detect protect vlan 1", "loop-detect protect vlan 99", "interface ge4",
      "loop-detect enable", "loop-detect protect vlan 8", "no loop-detect protect vlan 1",
      "interface xe1", "loop-detect tx-interval time 300", "loop-detect resume time 600"},
     "interface ge1\n loop-detect tx-interval time 20\n loop-detect resume time 300\n"
     " loop-detect loop log\n loop-detect enable\n loop-detect protect vlan 5\n"
     " loop-detect protect vlan 7\n!\ninterface ge2\n loop-detect protect vlan 5\n"
     " loop-detect protect vlan 1\n loop-detect protect vlan 99\n!\ninterface ge3\n!\n"
     "interface ge4\n loop-detect enable\n no loop-detect protect vlan 1\n"
     " loop-detect protect vlan 8\n!\ninterface lo\n!\ninterface xe1\n"
     " loop-detect tx-interval time 300\n loop-detect resume time 600\n",
     "loopback( \"ge1\", \"1\", \"300\", \"20\", \"1,5,7,\");\n"
     "loopback( \"ge2\", \"2\", \"180\", \"10\", \"5,1,99,\");\n"
     "loopback( \"ge3\", \"2\", \"180\", \"10\", \"\");\n"
     "loopback( \"ge4\", \"1\", \"180\", \"10\", \"8,\");\n"
     "loopback( \"xe1\", \"2\", \"600\", \"300\", \"\");\n"},
    {"EnabledBridge",
     {"loop-detect enable", "interface ge2", "no loop-detect protect vlan 1",
      "loop-detect protect vlan 5"},
     "loop-detect enable\n",
     "loopback( \"ge2\", \"1\", \"180\", \"10\", \"5,\");\n"},
    // The bridge-wide enable is written first and gives every port VLAN 1 on replay, ahead of
    // the port's own protect lines; a port that protected VLAN 1 later in its order keeps that.
    {"ProtectOrderWhenTheBridgeIsEnabledLater",
     {"interface ge1", "loop-detect protect vlan 5", "exit", "loop-detect enable", "interface ge1",
      "loop-detect protect vlan 7"},
     "loop-detect enable\n",
     "loopback( \"ge1\", \"1\", \"180\", \"10\", \"5,1,7,\");\n"},
};

class RunningConfig : public ::testing::TestWithParam<Case> {};

TEST_P(RunningConfig, WriteRestartAndShowGiveTheSameConfigurationAndPortStates) {
    const Case &c = GetParam();
    vesk_test::Veskd d;
    ASSERT_NO_FATAL_FAILURE(
        d.start_nsm({"if-add 5 ge1 up", "if-add 6 ge2 up", "if-add 7 ge3 up", "if-add 8 ge4 up",
                     "if-add 9 xe1 up", "if-add 10 lo up", "bridge-add 1", "vlan-add 1 1",
                     "vlan-add 1 5", "vlan-add 1 7", "vlan-add 1 8", "port-add 5 1 5 7",
                     "port-add 6 1 5", "port-add 7 5", "port-add 8 1 8", "port-add 9 1"}));
    ASSERT_NO_FATAL_FAILURE(d.start_on_sockets());
    ASSERT_NO_FATAL_FAILURE(d.configure(c.lines));
    auto views = [&] {
        return std::vector<std::string>{d.cmd("show running-config"), d.cmd("show loop-detect"),
                                        d.cmd("show wmi port loopback infomation"),
                                        d.cmd("show wmi loop-detect")};
    };
    const std::vector<std::string> before = views();
    EXPECT_NE(before[0].find(c.running_has), std::string::npos) << before[0];
    EXPECT_NE(before[2].find(c.ports_has), std::string::npos) << before[2];
    d.cmd("write");
    EXPECT_NE(vesk_test::read_file(d.config_path()).find(c.running_has), std::string::npos);
    ASSERT_EQ(d.stop(), 0);
    ASSERT_NO_FATAL_FAILURE(d.start_on_sockets());
    EXPECT_EQ(views(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, RunningConfig, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
