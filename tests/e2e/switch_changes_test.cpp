// A switch changing under veskd as an operator's day goes (root only): a real veskd on a real
// Linux bridge keeps cutting loops, and its configuration lands only where it is meant. Each
// case is data: a configuration file, lab steps before and after veskd starts, and what veskd
// must then log and show.
#include "support/daemon_process.h"
#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace std::chrono_literals;
using vesk_test::read_file;
using vesk_test::wait_for;

// One step: 's' and 'n' run "ip" in the switch or neighbour namespace, 'h' puts a hairpin loop
// behind port N, 'c' cables ports "A B" together, 'w' waits for veskd to log the text.
struct Step {
    char kind;
    std::string text;
};

struct Case {
    const char *name;
    std::string config; // after the "log file" line, which is line 1
    std::vector<Step> before;
    std::vector<Step> after;
    std::string logs;       // a text veskd must log ("" for none)
    std::string show;       // a show command whose output, soon,
    std::string shows;      // must contain this
    std::string never = {}; // and never this
};

const Case kCases[] = {
    {"LoopAfterTheBridgeMacChanged",
     "loop-detect enable\n",
     {},
     {{'s', "link set br0 address 02:00:00:00:00:99"},
      {'n', "link set n2 down"},
      {'n', "link set n2 up"},
      {'c', "1 2"}},
     "Detect a loop on the port ge",
     "show loop-detect",
     "shutdown"},
    {"LatePortOfAnEnabledBridge",
     "loop-detect enable\n",
     {{'s', "link set ge4 nomaster"}},
     {{'s', "link set ge4 master br0"}, {'h', "4"}},
     "Detect a loop on the port ge4",
     "show running-config",
     "interface ge4\n",
     "no loop-detect protect vlan 1"},
    {"RecreatedBridgeBesideAnother",
     "loop-detect enable\ninterface ge1\n loop-detect tx-interval time 20\n",
     {{'s', "link add br9 type bridge"}},
     {{'s', "link del br0"},
      {'w', "bridge br0 has gone; waiting for a bridge of that name"},
      {'h', "1"},
      {'s', "link add br0 type bridge"},
      {'s', "link set ge1 master br0"},
      {'s', "link set br0 up"}},
     "Detect a loop on the port ge1",
     "show running-config",
     "interface ge1\n loop-detect tx-interval time 20\n"},
    {"RenamedPortReportedUnderItsNewName",
     "loop-detect enable\n",
     {},
     {{'s', "link set ge1 down"},
      {'s', "link set ge1 name ge9"},
      {'s', "link set ge9 up"},
      {'h', "1"}},
     "Detect a loop on the port ge9",
     "show loop-detect",
     "Interface ge9\n",
     "Interface ge1\n"},
    {"ShutDownPortMovedOutOfTheBridgeComesBackUp",
     "interface ge1\n loop-detect enable\n",
     {},
     {{'h', "1"}, {'w', "Detect a loop on the port ge1"}, {'s', "link set ge1 nomaster"}},
     "ge1, shut down by loop detection, is no longer a port of bridge 1: set admin up",
     "show loop-detect interface ge1",
     "Port state: up"},
    {"MissingInterfaceAfterAHeaderOnlyBlock",
     "interface ge1\ninterface ge7\n loop-detect enable\n",
     {},
     {},
     "veskd.conf:4: No interface selected",
     "show loop-detect interface ge1",
     "isProtected: No"},
    {"NoEnableUnderAPortNamedPort4",
     "loop-detect enable\ninterface port4\n no loop-detect enable\n",
     {{'s', "link set ge4 down"}, {'s', "link set ge4 name port4"}, {'s', "link set port4 up"}},
     {},
     "",
     "show loop-detect",
     "neighbour loop detection protocol: enable"},
};

void PrintTo(const Case &c, std::ostream *os) {
    *os << c.name;
}

class SwitchChanges : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "end-to-end tests need root";
        lab_ = std::make_unique<vesk_test::SwitchLab>(4);
        ASSERT_TRUE(lab_->ok()) << "the namespaces and the bridge could not be built";
        dir_ = vesk_test::make_temp_dir("dmn-e2e-");
        ASSERT_FALSE(dir_.empty());
    }

    void TearDown() override {
        if (HasFailure() && !dir_.empty())
            std::cerr << "---- veskd log ----\n" << log() << "-------------------\n";
        vty_.reset();
        daemon_.reset();
        lab_.reset();
        vesk_test::remove_dir(dir_);
    }

    std::string log() const { return read_file(dir_ + "/veskd.log"); }

    // A veskd on the lab's switch and the vty socket in dir_; its standard output and error go
    // into files_dir.
    std::unique_ptr<vesk_test::DaemonProcess> start(const std::string &config,
                                                    const std::string &files_dir) {
        std::ofstream(dir_ + "/veskd.conf") << "log file " << dir_ << "/veskd.log\n" << config;
        auto daemon = std::make_unique<vesk_test::DaemonProcess>(files_dir);
        daemon->set_netns(lab_->switch_ns());
        EXPECT_TRUE(daemon->start(
            {"-f", dir_ + "/veskd.conf", "-P", "0"},
            {"VESK_NSM=kernel", "VESK_FRAME=packet", "VESK_VTY_SOCKET=" + dir_ + "/vty"}));
        return daemon;
    }

    void run(const Step &step) {
        switch (step.kind) {
        case 's':
            ASSERT_TRUE(lab_->ip_switch(step.text)) << step.text;
            break;
        case 'n':
            ASSERT_TRUE(lab_->ip_neighbour(step.text)) << step.text;
            break;
        case 'h':
            ASSERT_TRUE(lab_->hairpin(std::stoi(step.text)));
            break;
        case 'c':
            ASSERT_TRUE(lab_->cable(step.text[0] - '0', step.text[2] - '0'));
            break;
        default:
            ASSERT_TRUE(wait_for([&] { return log().find(step.text) != std::string::npos; }, 15s))
                << "veskd did not log \"" << step.text << "\"";
        }
    }

    std::unique_ptr<vesk_test::SwitchLab> lab_;
    std::unique_ptr<vesk_test::DaemonProcess> daemon_;
    std::unique_ptr<vesk_test::VtyClient> vty_;
    std::string dir_;
};

TEST_P(SwitchChanges, LoopsAreCutAndConfigurationLandsWhereMeant) {
    const Case &c = GetParam();
    for (const Step &step : c.before)
        ASSERT_NO_FATAL_FAILURE(run(step));
    daemon_ = start(c.config, dir_);
    vty_ = std::make_unique<vesk_test::VtyClient>();
    ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s)) << "the vty of veskd did not answer";
    for (const Step &step : c.after)
        ASSERT_NO_FATAL_FAILURE(run(step));
    if (!c.logs.empty()) {
        ASSERT_NO_FATAL_FAILURE(run({'w', c.logs}));
    }
    std::string out;
    EXPECT_TRUE(wait_for([&] {
        out = vty_->command(c.show);
        return out.find(c.shows) != std::string::npos;
    })) << out;
    if (!c.never.empty()) {
        EXPECT_EQ(out.find(c.never), std::string::npos) << out;
    }
    EXPECT_TRUE(daemon_->running());
}

INSTANTIATE_TEST_SUITE_P(Cases, SwitchChanges, ::testing::ValuesIn(kCases),
                         [](const auto &info) { return std::string(info.param.name); });

// One veskd per place: a second one on the same vty socket goes at once, touching nothing.
TEST_F(SwitchChanges, SecondVeskdOfThePlaceExitsAtOnce) {
    daemon_ = start("interface ge1\n loop-detect enable\n", dir_);
    vty_ = std::make_unique<vesk_test::VtyClient>();
    ASSERT_TRUE(vty_->connect(dir_ + "/vty", 10s));
    const std::string files = vesk_test::make_temp_dir("dmn-e2e-second-");
    auto second = start("loop-detect enable\n", files);
    int status = 0;
    const bool ended = second->wait_exit(&status, 5s);
    const std::string err = second->err();
    vesk_test::remove_dir(files);
    ASSERT_TRUE(ended) << "the second veskd kept running";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "status " << status;
    EXPECT_NE(err.find("another daemon already runs with the vty socket"), std::string::npos)
        << err;
    EXPECT_TRUE(daemon_->running());
    EXPECT_NE(vty_->command("show loop-detect interface ge1").find("isProtected: Yes"),
              std::string::npos);
}

} // namespace
