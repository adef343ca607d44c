// Debug commands: the flags each command sets and clears, the messages it prints, "show
// debugging", and the configure-mode and other-mode branches.
#include <string>

#include "vesk/cli/cli_fixture.h"
#include "vesk/cli/debug.h"

namespace {

using vesk_test::CliFixture;

class DebugTest : public CliFixture {
  protected:
    // Runs a line and checks that it succeeded; gives what it printed.
    std::string ok(const std::string &line) {
        std::string out = run(line);
        EXPECT_EQ(result_, 0) << line << ": " << out;
        return out;
    }

    uint32_t packet() const { return vesk_global_debug.term_packet; }
};

constexpr char kStatus[] = "Vesk debugging status:\n";

TEST_F(DebugTest, InitClearsEveryWord) {
    vesk_global_debug = {1, 2, 3, 4, 5, 6};
    vesk_debug_init(&vesk_global_debug);
    EXPECT_EQ(vesk_global_debug.conf_event, 0u);
    EXPECT_EQ(vesk_global_debug.conf_nsm, 0u);
    EXPECT_EQ(vesk_global_debug.conf_packet, 0u);
    EXPECT_EQ(vesk_global_debug.term_event, 0u);
    EXPECT_EQ(vesk_global_debug.term_nsm, 0u);
    EXPECT_EQ(vesk_global_debug.term_packet, 0u);
}

TEST_F(DebugTest, PacketWithoutArgumentsSwitchesOnBothDirections) {
    EXPECT_EQ(ok("debug loop-detect packet"), "Vesk packet debugging is on\n");
    EXPECT_EQ(packet(), 0x61u);
    EXPECT_EQ(ok("show debugging"), std::string(kStatus) + "  Vesk packet debugging is on\n\n");
}

TEST_F(DebugTest, PacketDetailAloneSwitchesOnEverything) {
    EXPECT_EQ(ok("debug loop-detect packet detail"), "Vesk packet detail debugging is on\n");
    EXPECT_EQ(packet(), 0xE1u);
    EXPECT_EQ(ok("show debugging"),
              std::string(kStatus) + "  Vesk packet detail debugging is on\n\n");
}

TEST_F(DebugTest, PacketDirectionWithDetail) {
    EXPECT_EQ(ok("debug loop-detect packet send detail"),
              "Vesk send packet detail debugging is on\n");
    EXPECT_EQ(packet(), 0xA1u);
    EXPECT_EQ(ok("show debugging"),
              std::string(kStatus) + "  Vesk packet send detail debugging is on\n\n");
    vesk_debug_init(&vesk_global_debug);

    EXPECT_EQ(ok("debug loop-detect packet recv"), "Vesk packet receive debugging is on\n");
    EXPECT_EQ(packet(), 0x41u);
    EXPECT_EQ(ok("debug loop-detect packet recv detail"),
              "Vesk packet receive detail debugging is on\n");
    EXPECT_EQ(packet(), 0xC1u);
    EXPECT_EQ(ok("debug loop-detect packet send"), "Vesk send packet debugging is on\n");
    EXPECT_EQ(packet(), 0xE1u);
}

TEST_F(DebugTest, SwitchingOffOneOfTwoDirectionsKeepsTheOther) {
    ok("debug loop-detect packet");
    EXPECT_EQ(ok("no debug loop-detect packet send"), "Vesk send packet debugging is off\n");
    EXPECT_EQ(packet(), 0x41u);
    EXPECT_EQ(ok("show debugging"),
              std::string(kStatus) + "  Vesk packet receive debugging is on\n\n");

    ok("debug loop-detect packet");
    EXPECT_EQ(ok("no debug loop-detect packet recv"), "Vesk packet receive debugging is off\n");
    EXPECT_EQ(packet(), 0x21u);
    EXPECT_EQ(ok("show debugging"),
              std::string(kStatus) + "  Vesk packet send debugging is on\n\n");
}

TEST_F(DebugTest, SwitchingOffTheLastDirectionSwitchesPacketDebuggingOff) {
    ok("debug loop-detect packet send");
    EXPECT_EQ(packet(), 0x21u);
    EXPECT_EQ(ok("no debug loop-detect packet send"), "Vesk send packet debugging is off\n");
    EXPECT_EQ(packet(), 0u);
    EXPECT_EQ(ok("show debugging"), std::string(kStatus) + "\n");

    ok("debug loop-detect packet recv detail");
    EXPECT_EQ(ok("no debug loop-detect packet recv"),
              "Vesk packet receive detail debugging is off\n");
    EXPECT_EQ(packet(), 0u);
}

TEST_F(DebugTest, DetailOffAloneAndWhenAlreadyOff) {
    EXPECT_EQ(ok("no debug loop-detect packet detail"), "");
    EXPECT_EQ(packet(), 0u);
    ok("debug loop-detect packet detail");
    EXPECT_EQ(ok("no debug loop-detect packet detail"), "Vesk packet detail debugging is off\n");
    EXPECT_EQ(packet(), 0x61u);
    EXPECT_EQ(ok("no debug loop-detect packet detail"), "");
}

TEST_F(DebugTest, PacketOffWithoutArgumentsClearsEverything) {
    ok("debug loop-detect packet send");
    EXPECT_EQ(ok("no debug loop-detect packet"), "Vesk send packet debugging is off\n");
    EXPECT_EQ(packet(), 0u);
    EXPECT_EQ(ok("no debug loop-detect packet"), "");
}

TEST_F(DebugTest, UnexpectedFirstArgumentSetsThePacketBitAlone) {
    char word[] = "x";
    char *argv[] = {word, nullptr};
    EXPECT_EQ(debug_vesk_packet(cli_, 1, argv), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(packet(), 0x01u);
    EXPECT_EQ(ok("show debugging loop-detect"),
              std::string(kStatus) + "  Vesk packet receive debugging is on\n\n");
    EXPECT_EQ(no_debug_vesk_packet(cli_, 1, argv), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(packet(), 0x01u);
}

TEST_F(DebugTest, SingleFlagsPrintTheirMessageWhateverTheirOldValue) {
    EXPECT_EQ(ok("debug loop-detect events"), "loop-detect events debugging is on\n");
    EXPECT_EQ(ok("debug loop-detect events"), "loop-detect events debugging is on\n");
    EXPECT_EQ(ok("debug loop-detect machine"), "loop-detect machine debugging is on\n");
    EXPECT_EQ(ok("debug loop-detect nsm"), "loop-detect nsm debugging is on\n");
    EXPECT_EQ(vesk_global_debug.term_event, VESK_DEBUG_EVENT | VESK_DEBUG_MACHINE);
    EXPECT_EQ(vesk_global_debug.term_nsm, VESK_DEBUG_NSM);
    EXPECT_EQ(ok("show debugging"), std::string(kStatus) + "  Vesk event debugging is on\n"
                                                           "  Vesk machine debugging is on\n"
                                                           "  Vesk NSM debugging is on\n"
                                                           "\n");

    EXPECT_EQ(ok("no debug loop-detect machine"), "loop-detect machine debugging is off\n");
    EXPECT_EQ(vesk_global_debug.term_event, VESK_DEBUG_EVENT);
    EXPECT_EQ(ok("no debug loop-detect events"), "loop-detect events debugging is off\n");
    EXPECT_EQ(ok("no debug loop-detect events"), "loop-detect events debugging is off\n");
    EXPECT_EQ(ok("no debug loop-detect nsm"), "loop-detect nsm debugging is off\n");
    EXPECT_EQ(vesk_global_debug.term_event, 0u);
    EXPECT_EQ(vesk_global_debug.term_nsm, 0u);
    EXPECT_EQ(vesk_global_debug.conf_event, 0u);
    EXPECT_EQ(vesk_global_debug.conf_nsm, 0u);
}

TEST_F(DebugTest, AllOnAndOff) {
    EXPECT_EQ(ok("debug loop-detect all"), "Vesk packet detail debugging is on\n"
                                           "loop-detect nsm debugging is on\n"
                                           "loop-detect machine debugging is on\n"
                                           "loop-detect events debugging is on\n");
    EXPECT_EQ(packet(), 0xE1u);
    EXPECT_EQ(ok("show debugging"), std::string(kStatus) + "  Vesk event debugging is on\n"
                                                           "  Vesk machine debugging is on\n"
                                                           "  Vesk packet detail debugging is on\n"
                                                           "  Vesk NSM debugging is on\n"
                                                           "\n");
    EXPECT_EQ(ok("no debug loop-detect all"), "Vesk packet detail debugging is off\n"
                                              "loop-detect nsm debugging is off\n"
                                              "loop-detect machine debugging is off\n"
                                              "loop-detect events debugging is off\n");
    EXPECT_EQ(vesk_global_debug.term_event | vesk_global_debug.term_nsm | packet(), 0u);
}

TEST_F(DebugTest, NoDebugAllWithNothingOnPrintsOnlyTheThreeFlagMessages) {
    EXPECT_EQ(ok("no debug all"), "loop-detect nsm debugging is off\n"
                                  "loop-detect machine debugging is off\n"
                                  "loop-detect events debugging is off\n");
}

TEST_F(DebugTest, NoDebugAllNamesThePacketBitsThatWereOn) {
    ok("debug loop-detect packet recv");
    ok("debug loop-detect events");
    EXPECT_EQ(ok("no debug all"), "Vesk packet receive debugging is off\n"
                                  "loop-detect nsm debugging is off\n"
                                  "loop-detect machine debugging is off\n"
                                  "loop-detect events debugging is off\n");
    EXPECT_EQ(packet(), 0u);
    EXPECT_EQ(vesk_global_debug.term_event, 0u);
}

TEST_F(DebugTest, ConfigureModeSetsBothWordsSilently) {
    cli_->mode = CONFIG_MODE;
    char send[] = "send";
    char detail[] = "detail";
    char *argv[] = {send, detail, nullptr};
    EXPECT_EQ(debug_vesk_packet(cli_, 2, argv), 0);
    EXPECT_EQ(debug_vesk_events(cli_, 0, nullptr), 0);
    EXPECT_EQ(debug_vesk_machine(cli_, 0, nullptr), 0);
    EXPECT_EQ(debug_vesk_nsm(cli_, 0, nullptr), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(vesk_global_debug.term_packet, 0xA1u);
    EXPECT_EQ(vesk_global_debug.conf_packet, 0xA1u);
    EXPECT_EQ(vesk_global_debug.term_event, 0x21u);
    EXPECT_EQ(vesk_global_debug.conf_event, 0x21u);
    EXPECT_EQ(vesk_global_debug.term_nsm, 0x01u);
    EXPECT_EQ(vesk_global_debug.conf_nsm, 0x01u);

    EXPECT_EQ(no_debug_vesk_all(cli_, 0, nullptr), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(vesk_global_debug.term_packet | vesk_global_debug.conf_packet, 0u);
    EXPECT_EQ(vesk_global_debug.term_event | vesk_global_debug.conf_event, 0u);
    EXPECT_EQ(vesk_global_debug.term_nsm | vesk_global_debug.conf_nsm, 0u);

    EXPECT_EQ(debug_vesk_all(cli_, 0, nullptr), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(vesk_global_debug.conf_packet, 0xE1u);
    EXPECT_EQ(vesk_global_debug.conf_event, 0x21u);
    EXPECT_EQ(vesk_global_debug.conf_nsm, 0x01u);
}

TEST_F(DebugTest, ExecModeLeavesTheConfigurationWordsAlone) {
    ok("debug loop-detect all");
    EXPECT_EQ(vesk_global_debug.conf_packet | vesk_global_debug.conf_event |
                  vesk_global_debug.conf_nsm,
              0u);
}

TEST_F(DebugTest, OtherModesChangeNothing) {
    cli_->mode = INTERFACE_MODE;
    EXPECT_EQ(debug_vesk_all(cli_, 0, nullptr), 0);
    EXPECT_EQ(debug_vesk_packet(cli_, 0, nullptr), 0);
    EXPECT_EQ(show_debugging_vesk(cli_, 0, nullptr), 0);
    EXPECT_EQ(cli_output_take(cli_), std::string(kStatus) + "\n");
    EXPECT_EQ(vesk_global_debug.term_packet | vesk_global_debug.term_event, 0u);
    vesk_global_debug.term_nsm = VESK_DEBUG_NSM;
    EXPECT_EQ(no_debug_vesk_all(cli_, 0, nullptr), 0);
    EXPECT_EQ(cli_output_take(cli_), "");
    EXPECT_EQ(vesk_global_debug.term_nsm, VESK_DEBUG_NSM);
}

TEST_F(DebugTest, FlagCommandsNeedTheHighestPrivilegeButAllAndShowDoNot) {
    struct cli *user = cli_new(veskm, PRIVILEGE_MIN);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(cli_execute(user, "debug loop-detect events", false), CLI_ERR_PRIVILEGE);
    EXPECT_EQ(cli_execute(user, "show debugging loop-detect", false), CLI_ERR_PRIVILEGE);
    EXPECT_EQ(cli_execute(user, "no debug loop-detect all", false), CLI_ERR_PRIVILEGE);
    cli_output_take(user);
    EXPECT_EQ(vesk_global_debug.term_event, 0u);

    EXPECT_EQ(cli_execute(user, "debug loop-detect all", false), 0);
    EXPECT_EQ(cli_execute(user, "no debug all", false), 0);
    EXPECT_EQ(cli_execute(user, "show debugging", false), 0);
    EXPECT_EQ(cli_output_take(user), "Vesk packet detail debugging is on\n"
                                     "loop-detect nsm debugging is on\n"
                                     "loop-detect machine debugging is on\n"
                                     "loop-detect events debugging is on\n"
                                     "Vesk packet detail debugging is off\n"
                                     "loop-detect nsm debugging is off\n"
                                     "loop-detect machine debugging is off\n"
                                     "loop-detect events debugging is off\n"
                                     "Vesk debugging status:\n"
                                     "\n");
    cli_free(user);
}

TEST_F(DebugTest, HelpNamesEveryPacketChoice) {
    cli_describe(cli_, "debug loop-detect packet ");
    std::string help = cli_output_take(cli_);
    for (const char *text : {"recv", "loop-detect receive packets", "send",
                             "loop-detect send packets", "detail", "Detailed information display"})
        EXPECT_NE(help.find(text), std::string::npos) << text << " in " << help;
    cli_describe(cli_, "debug loop-detect ");
    help = cli_output_take(cli_);
    for (const char *text : {"VESK events information", "VESK machine information",
                             "VESK NSM information", "Enable all debugging", "loop-detect packet"})
        EXPECT_NE(help.find(text), std::string::npos) << text << " in " << help;
}

TEST_F(DebugTest, EventFlagGatesTheDaemonsEventLines) {
    make_port("ge1", 1, {1});
    configure({"interface ge1", "loop-detect enable", "no loop-detect enable"});
    EXPECT_FALSE(log().contains("Port ge1 enable vesk")) << log().text();

    ok("debug loop-detect events");
    configure({"interface ge1", "loop-detect enable"});
    EXPECT_TRUE(log().contains("Port ge1 enable vesk")) << log().text();

    ok("no debug loop-detect events");
    log().clear();
    configure({"interface ge1", "no loop-detect enable", "loop-detect enable"});
    EXPECT_FALSE(log().contains("Port ge1 enable vesk")) << log().text();
}

} // namespace
