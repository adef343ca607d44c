// The shell's contexts and the configuration file's atomic write. The transcripts of
// tests/zet/data/cli/ run on the daemon's own commands in its unit driver
// (tests/vesk/unit_test.cpp, cases Shell/...): the framework's parser, help, modes, configuration
// file, writes and log.
#include "../zet_test.h"

#include "zet/core/fd.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

TEST(Cli, ContextsTakeLongOutputLimitLinesAndForgetDeletedInterfaces) {
    vesk_test::DaemonShell shell;
    ASSERT_TRUE(shell.start());
    struct cli *cli = shell.cli;
    EXPECT_EQ(cli_out(cli, "%d%% of %s\n", 5, "x"), 8);
    cli->out_func(cli->out_val, "%s-%d\n", "direct", 7);
    cli_out(cli, "%s", std::string(10000, 'b').c_str());
    EXPECT_EQ(cli_output_take(cli), "5% of x\ndirect-7\n" + std::string(10000, 'b'));
    EXPECT_EQ(
        cli_execute(cli, ("show loop-detect " + std::string(CLI_LINE_MAX, 'x')).c_str(), false),
        CLI_ERR_TOO_LONG);
    EXPECT_EQ(cli_output_take(cli).rfind("% Line too long", 0), 0u);
    struct cli *low = cli_new(shell.zg, 1); // a session that logged in at 1 needs the password
    EXPECT_EQ(std::pair(cli_execute(low, "enable", false), low->privilege), std::pair(1, 1));
    cli_free(low);
    cli_execute(cli, "configure terminal", false);
    shell.world.make_interface("ge5", 5); // no port: the daemon keeps no pointer to it
    ASSERT_EQ(cli_execute(cli, "interface ge5", false), 0);
    if_delete(shell.zg, ifg_lookup_by_name(shell.zg->ifg, "ge5"));
    cli_execute(cli, "! any line", false);
    EXPECT_EQ(std::pair(cli->ifp, cli->mode), std::pair((interface *)nullptr, int{INTERFACE_MODE}));
    closezlog(shell.zg, shell.zg->log);
    for (const char *line : {"log file /tmp/never.log", "log syslog"}) {
        EXPECT_EQ(cli_execute(cli, line, true), 1) << line;
        EXPECT_EQ(cli_output_take(cli), "% The log is not open\n");
    }
}

// A file that cannot be replaced (immutable: only root makes one) is reported, not saved.
TEST(Cli, WriteAtomicFailsWhenTheRenameFails) {
    vesk_test::DaemonShell shell; // for its directory
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
