// The shell against the toy commands: each transcript (support/transcript.h) of
// tests/zet/data/cli/ in a fresh shell, "$DIR" its scratch directory and "$SRC" that folder. A
// line runs as the vty runs it ("?" or "\t" at its end ask for help or completion); log lines
// show their priority, and "(closed)" a session that asked to end.
#include "../zet_test.h"

#include "support/transcript.h"
#include "support/typed_line.h"
#include "zet/core/fd.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

using vesk_test::replace_all;

class Transcript : public ::testing::TestWithParam<const char *> {};

TEST_P(Transcript, RunsAsWritten) {
    vesk_test::ToyShell shell;
    ASSERT_TRUE(shell.start());
    vesk_test::LogCapture cap(shell.zg);
    const std::string d = shell.dir, src = zet_test::data_path("cli");
    auto named = [&](const std::string &t) {
        return replace_all(replace_all(t, d, "$DIR"), src, "$SRC");
    };
    vesk_test::run_transcript(
        src + "/" + GetParam(), [&] { return cli_prompt(shell.cli); },
        [&](const std::string &text, bool) {
            vesk_test::TranscriptStep step;
            cap.clear();
            const std::string line = replace_all(replace_all(text, "$DIR", d), "$SRC", src);
            step.result =
                vesk_test::run_typed_line(shell.cli, replace_all(line, "\\t", "\t"), true);
            step.printed = vesk_test::text_lines(named(cli_output_take(shell.cli)));
            if (cli_close_requested(shell.cli))
                step.printed.emplace_back("(closed)");
            // What "toy log" logs is the line typed again: the file shows what became of it.
            const bool logs_itself = text.find("toy log ") != std::string::npos;
            for (size_t i = 0; !logs_itself && i < cap.lines().size(); i++)
                step.logged.push_back(std::to_string(cap.priorities()[i]) + " " +
                                      named(cap.lines()[i]));
            return step;
        });
}

INSTANTIATE_TEST_SUITE_P(Cli, Transcript,
                         ::testing::Values("parse.txt", "host.txt", "config.txt", "log.txt",
                                           "calls.txt"),
                         [](const auto &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

TEST(Cli, ContextsTakeLongOutputLimitLinesAndForgetDeletedInterfaces) {
    vesk_test::ToyShell shell;
    ASSERT_TRUE(shell.start());
    struct cli *cli = shell.cli;
    EXPECT_EQ(cli_out(cli, "%d%% of %s\n", 5, "x"), 8);
    cli->out_func(cli->out_val, "%s-%d\n", "direct", 7);
    cli_out(cli, "%s", std::string(10000, 'b').c_str());
    EXPECT_EQ(cli_output_take(cli), "5% of x\ndirect-7\n" + std::string(10000, 'b'));
    EXPECT_EQ(cli_execute(cli, ("show toy " + std::string(CLI_LINE_MAX, 'x')).c_str(), false),
              CLI_ERR_TOO_LONG);
    EXPECT_EQ(cli_output_take(cli).rfind("% Line too long", 0), 0u);
    struct cli *low = cli_new(shell.zg, 1); // a session that logged in at 1 needs the password
    EXPECT_EQ(std::pair(cli_execute(low, "enable", false), low->privilege), std::pair(1, 1));
    cli_free(low);
    cli_execute(cli, "configure terminal", false);
    ASSERT_EQ(cli_execute(cli, "interface ge2", false), 0);
    if_delete(shell.zg, ifg_lookup_by_name(shell.zg->ifg, "ge2"));
    cli_execute(cli, "toy which", false);
    EXPECT_EQ(std::pair(cli_output_take(cli), cli->mode),
              std::pair(std::string("none\n"), int{INTERFACE_MODE}));
    closezlog(shell.zg, shell.zg->log);
    for (const char *line : {"log file /tmp/never.log", "log syslog"}) {
        EXPECT_EQ(cli_execute(cli, line, true), 1) << line;
        EXPECT_EQ(cli_output_take(cli), "% The log is not open\n");
    }
}

// A file that cannot be replaced (immutable: only root makes one) is reported, not saved.
TEST(Cli, WriteAtomicFailsWhenTheRenameFails) {
    vesk_test::ToyShell shell; // for its directory
    const std::string path = shell.dir + "/locked.conf";
    std::ofstream(path) << "old\n";
    zet::fd_guard fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    int flags = FS_IMMUTABLE_FL;
    if (::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) != 0)
        GTEST_SKIP() << "no immutable files here: " << std::strerror(errno);
    std::string err;
    EXPECT_FALSE(zet::config::write_atomic(path.c_str(), "new\n", err, false));
    EXPECT_EQ(err.rfind("cannot rename", 0), 0u) << err;
    flags = 0;
    ::ioctl(fd.get(), FS_IOC_SETFLAGS, &flags);
}

} // namespace
