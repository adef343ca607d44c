// The command shell's parser: keywords and abbreviation, ranges, variables, optional
// alternatives and the argument lists handlers receive, errors naming the word at fault, modes,
// privilege, and cmd_str2int. A toy command set, not the daemon's.
#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/core/lib.h"
#include "zet/core/pal.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The CLI(...) convenience defines NAME_cmd and NAME_cmd_help as the daemon names them.
CLI(macro_toy, macro_toy_cmd, "macro toy <1-9>", "macro", "a digit") {
    return argc;
}

namespace {

// What the last toy handler saw.
struct Call {
    std::string name;
    std::vector<std::string> args;
    int mode = -1;
};
Call last;
int calls = 0;

int record(const char *name, struct cli *cli, int argc, char **argv) {
    last.name = name;
    last.args.assign(argv, argv + argc);
    last.mode = cli->mode;
    calls++;
    EXPECT_EQ(argv[argc], nullptr);
    return 0;
}

#define TOY(fn, syntax, ...)                                                                       \
    int fn(struct cli *cli, int argc, char **argv) {                                               \
        return record(#fn, cli, argc, argv);                                                       \
    }                                                                                              \
    const char *fn##_cmd_help[] = {__VA_ARGS__, nullptr};                                          \
    struct cli_element fn##_cmd = {syntax, fn, fn##_cmd_help};

TOY(show_toy, "show toy", "Show running system information", "toy")
TOY(show_toy_interface, "show toy interface IFNAME", "Show running system information", "toy",
    "interface", "Interface name")
TOY(show_toy_vlan, "show toy vlan", "Show running system information", "toy", "vlan")
TOY(show_tomato, "show tomato", "Show running system information", "tomato")
TOY(debug_packet, "debug toy packet (recv|send|) (detail|)", "Debugging functions", "toy", "packet",
    "receive packets", "send packets", "Detailed information display")
TOY(toy_tx, "toy tx-interval time <10-300>", "toy", "Send interval", "Time interval", "seconds")
TOY(toy_protect, "toy protect vlan <1-4094>", "toy", "Protect", "Vlan", "the vlan")
TOY(toy_protect_all, "toy protect vlan all", "toy", "Protect", "Vlan", "all vlans")
TOY(toy_loop, "toy loop (shutdown|log)", "toy", "loop", "loop shutdown", "loop log")
TOY(toy_description, "description LINE", "Interface description", "Text")
TOY(set_toy_mode, "set toy mode", "Set", "toy", "mode")
TOY(toy_secret, "show secret", "Show running system information", "secret")

int toy_interface(struct cli *cli, int argc, char **argv) {
    record("toy_interface", cli, argc, argv);
    cli->ifp = nullptr; // a toy: no interface records here
    cli->mode = argv[0][0] == 'p' ? PINTERFACE_MODE : INTERFACE_MODE;
    return 0;
}
const char *toy_interface_cmd_help[] = {"Select an interface to configure", "Interface name",
                                        nullptr};
struct cli_element toy_interface_cmd = {"interface IFNAME", toy_interface, toy_interface_cmd_help};

int toy_fails(struct cli *cli, int, char **) {
    cli_out(cli, "%% The toy failed at %d%%\n", 50);
    return 1;
}
const char *toy_fails_cmd_help[] = {"toy", "fail", nullptr};
struct cli_element toy_fails_cmd = {"toy fail", toy_fails, toy_fails_cmd_help};

class CliParse : public ::testing::Test {
  protected:
    void SetUp() override {
        zg = lib_start();
        ASSERT_NE(zg, nullptr);
        zet_protocol_set_name(29, "veskd");
        zg->protocol = 29;
        tree = zg->ctree;
        cli_install(tree, EXEC_MODE, &show_toy_cmd);
        cli_install(tree, EXEC_MODE, &show_toy_interface_cmd);
        cli_install(tree, EXEC_MODE, &show_toy_vlan_cmd);
        cli_install(tree, EXEC_MODE, &show_tomato_cmd);
        cli_install(tree, EXEC_MODE, &set_toy_mode_cmd);
        cli_install_gen(tree, EXEC_MODE, 15, 0, &debug_packet_cmd);
        cli_install_gen(tree, EXEC_MODE, 15, CLI_FLAG_HIDDEN, &toy_secret_cmd);
        cli_install(tree, EXEC_MODE, &toy_fails_cmd);
        cli_install(tree, CONFIG_MODE, &toy_interface_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_interface_cmd);
        cli_install(tree, PINTERFACE_MODE, &toy_interface_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_tx_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_protect_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_protect_all_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_loop_cmd);
        cli_install(tree, INTERFACE_MODE, &toy_description_cmd);
        cli = cli_new(zg, PRIVILEGE_MAX);
        last = Call{};
        calls = 0;
    }
    void TearDown() override {
        cli_free(cli);
        lib_stop(zg);
    }
    // Runs a line; gives the result, and the output in out.
    int run(const std::string &line) {
        int ret = cli_execute(cli, line.c_str(), true);
        out = cli_output_take(cli);
        return ret;
    }
    lib_globals *zg = nullptr;
    cli_tree *tree = nullptr;
    struct cli *cli = nullptr;
    std::string out;
};

TEST_F(CliParse, FullKeywordsRunTheirHandlerWithNoArguments) {
    EXPECT_EQ(run("show toy"), 0);
    EXPECT_EQ(last.name, "show_toy");
    EXPECT_TRUE(last.args.empty());
    EXPECT_EQ(last.mode, EXEC_MODE);
    EXPECT_EQ(out, "");
}

TEST_F(CliParse, UniquePrefixesAbbreviateKeywords) {
    EXPECT_EQ(run("sh toy"), 0);
    EXPECT_EQ(last.name, "show_toy");
    EXPECT_EQ(run("  sh   toy   v  "), 0);
    EXPECT_EQ(last.name, "show_toy_vlan");
    EXPECT_EQ(run("sh toy i ge1"), 0);
    EXPECT_EQ(last.name, "show_toy_interface");
    EXPECT_EQ(last.args, std::vector<std::string>{"ge1"});
}

TEST_F(CliParse, AnExactKeywordBeatsALongerOneItPrefixes) {
    // "toy" is exact for "show toy" although "tomato" does not start so; "to" is ambiguous.
    EXPECT_EQ(run("show to"), CLI_ERR_AMBIGUOUS);
    EXPECT_NE(out.find("% Ambiguous command at word 2: \"to\""), std::string::npos) << out;
    EXPECT_NE(out.find("tomato"), std::string::npos);
    EXPECT_NE(out.find("toy"), std::string::npos);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(run("show tom"), 0);
    EXPECT_EQ(last.name, "show_tomato");
}

TEST_F(CliParse, AmbiguityIsResolvedByTheWordsThatFollow) {
    // "s" prefixes both "show" and "set": the third word decides.
    EXPECT_EQ(run("s toy m"), 0);
    EXPECT_EQ(last.name, "set_toy_mode");
    EXPECT_EQ(run("s toy v"), 0);
    EXPECT_EQ(last.name, "show_toy_vlan");
    EXPECT_EQ(run("s toy"), 0); // only "show toy" ends here
    EXPECT_EQ(last.name, "show_toy");
    run("configure terminal");
    run("interface ge1");
    ASSERT_EQ(cli->mode, INTERFACE_MODE);
    // "toy loop s" is "shutdown"; "toy loop l" is "log".
    EXPECT_EQ(run("toy loop s"), 0);
    EXPECT_EQ(last.args, std::vector<std::string>{"shutdown"});
    EXPECT_EQ(run("t l l"), 0);
    EXPECT_EQ(last.name, "toy_loop");
    EXPECT_EQ(last.args, std::vector<std::string>{"log"});
}

TEST_F(CliParse, UnknownFirstWordIsNamed) {
    EXPECT_EQ(run("frobnicate now"), CLI_ERR_UNKNOWN);
    EXPECT_EQ(out, "% Unknown command: \"frobnicate\"\n");
}

TEST_F(CliParse, InvalidLaterWordIsNamedWithItsPosition) {
    EXPECT_EQ(run("show toy vxlan"), CLI_ERR_UNKNOWN);
    EXPECT_EQ(out, "% Invalid input at word 3: \"vxlan\"\n");
    EXPECT_EQ(run("show toy vlan extra"), CLI_ERR_UNKNOWN);
    EXPECT_EQ(out, "% Invalid input at word 4: \"extra\"\n");
    EXPECT_EQ(calls, 0);
}

TEST_F(CliParse, IncompleteLineIsReported) {
    EXPECT_EQ(run("show toy interface"), CLI_ERR_INCOMPLETE);
    EXPECT_EQ(out, "% Incomplete command: \"show toy interface\" needs more words\n");
    EXPECT_EQ(run("show"), CLI_ERR_INCOMPLETE);
    EXPECT_EQ(calls, 0);
}

TEST_F(CliParse, AmbiguousIncompleteLineNamesTheAmbiguousWord) {
    EXPECT_EQ(run("show t"), CLI_ERR_AMBIGUOUS);
    EXPECT_NE(out.find("at word 2: \"t\""), std::string::npos) << out;
}

TEST_F(CliParse, EmptyAndCommentLinesDoNothing) {
    EXPECT_EQ(run(""), CLI_SUCCESS);
    EXPECT_EQ(run("   "), CLI_SUCCESS);
    EXPECT_EQ(run("! a comment"), CLI_SUCCESS);
    EXPECT_EQ(run("# another"), CLI_SUCCESS);
    EXPECT_EQ(out, "");
    EXPECT_EQ(calls, 0);
}

TEST_F(CliParse, RangeTokenPassesAnyDecimalNumberToTheHandler) {
    run("configure terminal");
    run("interface ge1");
    for (const char *v : {"20", "9", "301", "0", "-5", "99999999999"}) {
        EXPECT_EQ(run(std::string("toy tx-interval time ") + v), 0) << v << ": " << out;
        EXPECT_EQ(last.name, "toy_tx");
        EXPECT_EQ(last.args, std::vector<std::string>{v});
    }
    // Text that is not a number matches no range.
    EXPECT_EQ(run("toy tx-interval time ten"), CLI_ERR_UNKNOWN);
    EXPECT_EQ(out, "% Invalid input at word 4: \"ten\"\n");
}

TEST_F(CliParse, KeywordBeatsRangeAndRangeBeatsNothing) {
    run("configure terminal");
    run("interface ge1");
    EXPECT_EQ(run("toy protect vlan all"), 0);
    EXPECT_EQ(last.name, "toy_protect_all");
    EXPECT_TRUE(last.args.empty());
    EXPECT_EQ(run("toy protect vlan a"), 0);
    EXPECT_EQ(last.name, "toy_protect_all");
    EXPECT_EQ(run("toy protect vlan 4095"), 0);
    EXPECT_EQ(last.name, "toy_protect");
    EXPECT_EQ(last.args, std::vector<std::string>{"4095"});
}

TEST_F(CliParse, OptionalAlternativesGiveTheSpecifiedArgumentLists) {
    struct Case {
        const char *line;
        std::vector<std::string> args;
    } cases[] = {
        {"debug toy packet", {}},
        {"debug toy packet detail", {"detail"}},
        {"debug toy packet send detail", {"send", "detail"}},
        {"debug toy packet recv", {"recv"}},
        {"debug toy packet recv detail", {"recv", "detail"}},
        {"debug toy packet send", {"send"}},
        {"deb toy pa s d", {"send", "detail"}},
        {"debug toy packet det", {"detail"}},
        {"debug toy packet r", {"recv"}},
    };
    for (const auto &c : cases) {
        last = Call{};
        EXPECT_EQ(run(c.line), 0) << c.line << ": " << out;
        EXPECT_EQ(last.name, "debug_packet") << c.line;
        EXPECT_EQ(last.args, c.args) << c.line;
    }
    EXPECT_EQ(run("debug toy packet detail send"), CLI_ERR_UNKNOWN);
    EXPECT_EQ(out, "% Invalid input at word 5: \"send\"\n");
}

TEST_F(CliParse, LineTakesTheRestOfTheLine) {
    run("configure terminal");
    run("interface ge1");
    EXPECT_EQ(run("description uplink to  the core  "), 0);
    EXPECT_EQ(last.args, std::vector<std::string>{"uplink to  the core"});
}

TEST_F(CliParse, HandlerOutputAndResultComeBack) {
    EXPECT_EQ(run("toy fail"), 1);
    EXPECT_EQ(out, "% The toy failed at 50%\n");
}

TEST_F(CliParse, ModesChangeWithConfigureInterfaceExitAndEnd) {
    EXPECT_EQ(cli_prompt(cli), "veskd# ");
    EXPECT_EQ(run("conf t"), 0);
    EXPECT_EQ(cli->mode, CONFIG_MODE);
    EXPECT_EQ(cli_prompt(cli), "veskd(config)# ");
    EXPECT_EQ(run("interface ge1"), 0);
    EXPECT_EQ(cli->mode, INTERFACE_MODE);
    EXPECT_EQ(cli_prompt(cli), "veskd(config-if)# ");
    EXPECT_EQ(run("interface po1"), 0);
    EXPECT_EQ(cli->mode, PINTERFACE_MODE);
    EXPECT_EQ(cli_prompt(cli), "veskd(config-if)# ");
    EXPECT_EQ(run("exit"), 0);
    EXPECT_EQ(cli->mode, CONFIG_MODE);
    run("interface ge2");
    EXPECT_EQ(run("end"), 0);
    EXPECT_EQ(cli->mode, EXEC_MODE);
    EXPECT_FALSE(cli_close_requested(cli));
    EXPECT_EQ(run("exit"), 0);
    EXPECT_TRUE(cli_close_requested(cli));
}

TEST_F(CliParse, ACommandOfTheEnclosingModeRunsThereFromInterfaceMode) {
    run("configure terminal");
    run("interface ge1");
    // "interface" is installed in mode 16 too; "log syslog" is not, so it runs in mode 5.
    host_vty_init(zg);
    EXPECT_EQ(run("no log file"), 1); // the handle has no log: the handler says so
    EXPECT_EQ(cli->mode, CONFIG_MODE);
    EXPECT_EQ(cli->ifp, nullptr);
    // Without fallback the line is unknown in interface mode.
    run("interface ge1");
    EXPECT_EQ(cli_execute(cli, "no log file", false), CLI_ERR_UNKNOWN);
    EXPECT_EQ(cli->mode, INTERFACE_MODE);
    cli_output_take(cli);
}

TEST_F(CliParse, ExecCommandsRunFromConfigurationModesWithDo) {
    run("configure terminal");
    run("interface ge1");
    EXPECT_EQ(run("do show toy vlan"), 0);
    EXPECT_EQ(last.name, "show_toy_vlan");
    EXPECT_EQ(last.mode, EXEC_MODE);
    EXPECT_EQ(cli->mode, INTERFACE_MODE);
}

TEST_F(CliParse, DumpModeIsEnteredByTheHiddenCommandAndLeftByExit) {
    EXPECT_EQ(run("dump-mode"), 0);
    EXPECT_EQ(cli->mode, DUMP_MODE);
    EXPECT_EQ(cli_prompt(cli), "veskd(dump)# ");
    EXPECT_EQ(run("exit"), 0);
    EXPECT_EQ(cli->mode, EXEC_MODE);
    EXPECT_FALSE(cli_close_requested(cli));
}

TEST_F(CliParse, PrivilegeGuardsCommandsAndThePrompt) {
    EXPECT_EQ(run("disable"), 0);
    EXPECT_EQ(cli->privilege, 1);
    EXPECT_EQ(cli_prompt(cli), "veskd> ");
    EXPECT_EQ(run("debug toy packet"), CLI_ERR_PRIVILEGE);
    EXPECT_NE(out.find("% Permission denied"), std::string::npos);
    EXPECT_EQ(run("configure terminal"), CLI_ERR_PRIVILEGE);
    EXPECT_EQ(run("show toy"), 0); // installed with the default privilege 1
    EXPECT_EQ(run("enable"), 0);
    EXPECT_EQ(cli->privilege, 15);
    EXPECT_EQ(run("debug toy packet"), 0);

    struct cli *low = cli_new(zg, 1);
    EXPECT_EQ(cli_execute(low, "enable", false), 1);
    EXPECT_EQ(low->privilege, 1);
    cli_free(low);
}

TEST_F(CliParse, HiddenCommandsRunWhenTyped) {
    EXPECT_EQ(run("show secret"), 0);
    EXPECT_EQ(last.name, "toy_secret");
}

TEST_F(CliParse, ReinstallingASyntaxReplacesTheCommand) {
    cli_install(tree, EXEC_MODE, &show_toy_vlan_cmd);
    struct cli_element other = {"show  toy vlan", show_tomato, show_tomato_cmd_help};
    cli_install(tree, EXEC_MODE, &other);
    EXPECT_EQ(run("show toy vlan"), 0);
    EXPECT_EQ(last.name, "show_tomato");
}

TEST_F(CliParse, MalformedSyntaxIsRefused) {
    struct cli_element bad1 = {"toy (a|b", show_toy, nullptr};
    struct cli_element bad2 = {"toy <5>", show_toy, nullptr};
    struct cli_element bad3 = {"", show_toy, nullptr};
    struct cli_element bad4 = {"toy LINE more", show_toy, nullptr};
    struct cli_element nofunc = {"toy", nullptr, nullptr};
    EXPECT_EQ(cli_install(tree, EXEC_MODE, &bad1), -1);
    EXPECT_EQ(cli_install(tree, EXEC_MODE, &bad2), -1);
    EXPECT_EQ(cli_install(tree, EXEC_MODE, &bad3), -1);
    EXPECT_EQ(cli_install(tree, EXEC_MODE, &bad4), -1);
    EXPECT_EQ(cli_install(tree, EXEC_MODE, &nofunc), -1);
    EXPECT_EQ(cli_install(tree, -1, &show_toy_cmd), -1);
    EXPECT_EQ(cli_install(tree, CLI_MODE_MAX, &show_toy_cmd), -1);
}

TEST_F(CliParse, OverLongLineIsRefused) {
    std::string line = "show toy " + std::string(CLI_LINE_MAX, 'x');
    EXPECT_EQ(run(line), CLI_ERR_TOO_LONG);
    EXPECT_EQ(out.rfind("% Line too long", 0), 0u);
    EXPECT_EQ(calls, 0);
}

TEST_F(CliParse, OutputRoutineIsPrintfLikeAndReplaceable) {
    EXPECT_EQ(cli_out(cli, "%d%% of %s\n", 5, "x"), 8);
    EXPECT_EQ(cli_output_take(cli), "5% of x\n");
    // The routine may be called directly too, as the framework's record allows.
    cli->out_func(cli->out_val, "%s-%d\n", "direct", 7);
    EXPECT_EQ(cli_output_take(cli), "direct-7\n");
    std::string big(10000, 'b');
    cli_out(cli, "%s", big.c_str());
    EXPECT_EQ(cli_output_take(cli), big);
}

TEST(CmdStr2Int, GivesValueAndStatus) {
    int st = 99;
    EXPECT_EQ(cmd_str2int("42", &st), 42);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(cmd_str2int("-17", &st), -17);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(cmd_str2int("+8", &st), 8);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(cmd_str2int("2147483647", &st), 2147483647);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(cmd_str2int("-2147483648", &st), -2147483647 - 1);
    EXPECT_EQ(st, 0);
    for (const char *bad : {"2147483648", "-2147483649", "99999999999999999999", "", "-", "12a",
                            "a12", " 12", "1 2", "0x10"}) {
        st = 0;
        cmd_str2int(bad, &st);
        EXPECT_LT(st, 0) << "\"" << bad << "\"";
    }
    st = 0;
    cmd_str2int(nullptr, &st);
    EXPECT_LT(st, 0);
}

TEST(CliMacro, DefinesRecordAndHelpArray) {
    EXPECT_STREQ(macro_toy_cmd.str, "macro toy <1-9>");
    EXPECT_STREQ(macro_toy_cmd_help[1], "a digit");
    EXPECT_EQ(macro_toy_cmd_help[2], nullptr);
    EXPECT_EQ(macro_toy_cmd.func, macro_toy);
    EXPECT_EQ(macro_toy_cmd.privilege, 0);
}

} // namespace
