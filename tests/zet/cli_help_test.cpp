// "?" help listings and TAB completion: the next words with their help strings, ranges shown as
// ranges, <cr> where a line may end, hidden and privileged commands left out.
#include "zet/cli/cli.h"
#include "zet/core/lib.h"

#include <gtest/gtest.h>

#include <string>

namespace {

int nop(struct cli *, int, char **) {
    return 0;
}

const char *show_toy_cmd_help[] = {"Show running system information", "toy", nullptr};
struct cli_element show_toy_cmd = {"show toy", nop, show_toy_cmd_help};
const char *show_toy_if_cmd_help[] = {"Show running system information", "toy", "interface",
                                      "Interface name(e.g. ge, xe)", nullptr};
struct cli_element show_toy_if_cmd = {"show toy interface IFNAME", nop, show_toy_if_cmd_help};
const char *show_toy_vlan_cmd_help[] = {"Show running system information", "toy", "vlan", nullptr};
struct cli_element show_toy_vlan_cmd = {"show toy vlan", nop, show_toy_vlan_cmd_help};
const char *debug_cmd_help[] = {
    "Debugging functions",          "toy",  "packet", "receive packets", "send packets",
    "Detailed information display", nullptr};
struct cli_element debug_cmd = {"debug toy packet (recv|send|) (detail|)", nop, debug_cmd_help};
const char *tx_cmd_help[] = {"toy", "Send interval", "Time interval", "seconds next send packet",
                             nullptr};
struct cli_element tx_cmd = {"toy tx-interval time <10-300>", nop, tx_cmd_help};
const char *secret_cmd_help[] = {"Show running system information", "secret", nullptr};
struct cli_element secret_cmd = {"show secret", nop, secret_cmd_help};
const char *guarded_cmd_help[] = {"Show running system information", "guarded", nullptr};
struct cli_element guarded_cmd = {"show guarded", nop, guarded_cmd_help};

class CliHelp : public ::testing::Test {
  protected:
    void SetUp() override {
        zg = lib_start();
        ASSERT_NE(zg, nullptr);
        cli_install(zg->ctree, EXEC_MODE, &show_toy_cmd);
        cli_install(zg->ctree, EXEC_MODE, &show_toy_if_cmd);
        cli_install(zg->ctree, EXEC_MODE, &show_toy_vlan_cmd);
        cli_install(zg->ctree, EXEC_MODE, &debug_cmd);
        cli_install(zg->ctree, EXEC_MODE, &tx_cmd);
        cli_install_gen(zg->ctree, EXEC_MODE, 1, CLI_FLAG_HIDDEN, &secret_cmd);
        cli_install_gen(zg->ctree, EXEC_MODE, 15, 0, &guarded_cmd);
        cli = cli_new(zg, PRIVILEGE_MAX);
    }
    void TearDown() override {
        cli_free(cli);
        lib_stop(zg);
    }
    std::string describe(const char *line) {
        cli_describe(cli, line);
        return cli_output_take(cli);
    }
    lib_globals *zg = nullptr;
    struct cli *cli = nullptr;
};

TEST_F(CliHelp, ListsTheNextWordsWithTheirHelp) {
    EXPECT_EQ(describe("show toy "), "  interface  interface\n"
                                     "  vlan       vlan\n"
                                     "  <cr>\n");
}

TEST_F(CliHelp, AbbreviatedWordsBeforeTheQuestionMarkCount) {
    EXPECT_EQ(describe("sh t i "), "  IFNAME  Interface name(e.g. ge, xe)\n");
}

TEST_F(CliHelp, RangeIsShownAsItsRange) {
    EXPECT_EQ(describe("toy tx-interval time "), "  <10-300>  seconds next send packet\n");
    // A number being typed is still described by its range.
    EXPECT_EQ(describe("toy tx-interval time 9"), "  <10-300>  seconds next send packet\n");
}

TEST_F(CliHelp, OptionalAlternativesListEveryWayOnAndTheEnd) {
    EXPECT_EQ(describe("debug toy packet "), "  detail  Detailed information display\n"
                                             "  recv    receive packets\n"
                                             "  send    send packets\n"
                                             "  <cr>\n");
    EXPECT_EQ(describe("debug toy packet send "), "  detail  Detailed information display\n"
                                                  "  <cr>\n");
    EXPECT_EQ(describe("debug toy packet send detail "), "  <cr>\n");
}

TEST_F(CliHelp, PartialWordListsItsCompletions) {
    EXPECT_EQ(describe("show toy v"), "  vlan  vlan\n");
    std::string top = describe("sh");
    EXPECT_NE(top.find("  show  Show running system information\n"), std::string::npos) << top;
}

TEST_F(CliHelp, EmptyLineListsTheModesCommands) {
    std::string all = describe("");
    for (const char *w :
         {"configure", "debug", "disable", "enable", "exit", "help", "quit", "show", "toy"})
        EXPECT_NE(all.find(std::string("  ") + w + " "), std::string::npos) << w << "\n" << all;
    EXPECT_EQ(all.find("dump-mode"), std::string::npos) << "hidden commands are not listed";
}

TEST_F(CliHelp, HiddenAndPrivilegedCommandsAreLeftOut) {
    std::string s = describe("show ");
    EXPECT_NE(s.find("guarded"), std::string::npos);
    EXPECT_EQ(s.find("secret"), std::string::npos);
    cli->privilege = 1;
    s = describe("show ");
    EXPECT_EQ(s.find("guarded"), std::string::npos);
    EXPECT_NE(s.find("toy"), std::string::npos);
}

TEST_F(CliHelp, NothingMatchesSaysSo) {
    EXPECT_EQ(describe("frob "), "% There is no matched command.\n");
    EXPECT_EQ(describe("show toy vlan x"), "% There is no matched command.\n");
}

TEST_F(CliHelp, CompletionGivesTheKeywordsOfTheLastWord) {
    EXPECT_EQ(cli_complete(cli, "sh"), "show");
    EXPECT_EQ(cli_complete(cli, "show toy "), "interface vlan");
    EXPECT_EQ(cli_complete(cli, "show toy i"), "interface");
    EXPECT_EQ(cli_complete(cli, "debug toy packet "), "detail recv send");
    EXPECT_EQ(cli_complete(cli, "toy tx-interval time "), ""); // a range completes to nothing
    EXPECT_EQ(cli_complete(cli, "zzz"), "");
    EXPECT_EQ(cli_complete(cli, "d"), "debug disable");
}

TEST_F(CliHelp, HelpCommandExplainsTheHelp) {
    EXPECT_EQ(cli_execute(cli, "help", false), 0);
    std::string s = cli_output_take(cli);
    EXPECT_NE(s.find("\"?\""), std::string::npos) << s;
}

} // namespace
