// The shell on the daemon's own commands: each transcript (support/transcript.h) of
// tests/zet/data/cli/ in a fresh daemon shell (support/daemon_shell.h), "$DIR" its scratch
// directory and "$SRC" that folder. A line runs as the vty runs it ("?" or "\t" at its end ask
// for help or completion); log lines show their priority, and "(closed)" a session that asked to
// end. The driver's own steps are below.
#include "../zet_test.h"

#include "support/transcript.h"
#include "support/typed_line.h"
#include "zet/core/fd.h"

#include <linux/fs.h>
#include <sys/ioctl.h>

namespace {

using vesk_test::replace_all;

// The driver's steps: "@ports NAMES" (of bridge "1"); "@run SHELL-LINE" (its output); "@read
// FILE" (the failing lines); "@start FILE" (afresh, as the daemon starts: the socket it was given,
// no TCP); "@rotate" (the log); "@number WORDS" (each word as cmd_str2int reads it: value,
// status); "@install MODE SYNTAX" (a command that does nothing); "@complain" (a writer that prints
// an operator message).
int act(vesk_test::DaemonShell &shell, const std::string &text) {
    std::istringstream in(text);
    std::string verb, arg;
    std::getline(in >> verb >> std::ws, arg);
    struct cli *cli = shell.cli;
    if (verb == "run") {
        FILE *p = popen(("export LC_ALL=C; " + arg + " 2>&1").c_str(), "r");
        char buf[4096];
        for (size_t n; p != nullptr && (n = fread(buf, 1, sizeof buf, p)) > 0;)
            cli_out(cli, "%.*s", static_cast<int>(n), buf);
        return p == nullptr || pclose(p) != 0;
    }
    if (verb == "ports") {
        std::istringstream names(arg);
        uint32_t index = 0;
        for (std::string name; names >> name;)
            shell.world.make_port(name.c_str(), ++index);
        return 0;
    }
    if (verb == "read")
        return host_config_read(shell.zg, arg.c_str());
    if (verb == "start") {
        host_free(shell.zg);
        host_vty_set_unix(shell.zg, (shell.dir + "/vty").c_str(), nullptr, nullptr);
        return host_config_start(shell.zg, arg.c_str(), 0) != 0;
    }
    if (verb == "rotate")
        return zlog_rotate(shell.zg, nullptr) != 0;
    if (verb == "number") {
        std::istringstream words(arg);
        for (std::string w, sep; words >> w; sep = ", ") {
            int st = 0, v = cmd_str2int(w.c_str(), &st);
            cli_out(cli, "%s%s %d %d", sep.c_str(), w.c_str(), v, st);
        }
        return cli_out(cli, "\n") < 0;
    }
    if (verb == "install") {
        const int mode = std::stoi(arg);
        const std::string syntax = arg.substr(arg.find(' ') + 1);
        struct cli_element cel = {syntax.c_str(), [](struct cli *, int, char **) { return 0; },
                                  nullptr};
        return cli_install(shell.zg->ctree, mode, &cel);
    }
    EXPECT_EQ(verb, "complain");
    return cli_install_config(shell.zg->ctree, GLOBAL_WRITER_MODE, [](struct cli *c) -> int {
        return cli_out(c, "%% The bridge is not found\n") > 0;
    });
}

class Transcript : public ::testing::TestWithParam<const char *> {};

TEST_P(Transcript, RunsAsWritten) {
    vesk_test::DaemonShell shell;
    ASSERT_TRUE(shell.start());
    vesk_test::LogCapture cap(shell.zg);
    const std::string d = shell.dir, src = zet_test::data_path("cli");
    auto named = [&](const std::string &t) {
        return replace_all(replace_all(t, d, "$DIR"), src, "$SRC");
    };
    vesk_test::run_transcript(
        src + "/" + GetParam(), [&] { return cli_prompt(shell.cli); },
        [&](const std::string &text, bool typed) {
            vesk_test::TranscriptStep step;
            cap.clear();
            const std::string line = replace_all(replace_all(text, "$DIR", d), "$SRC", src);
            step.result =
                typed ? vesk_test::run_typed_line(shell.cli, replace_all(line, "\\t", "\t"), true)
                      : act(shell, line);
            step.printed = vesk_test::text_lines(named(cli_output_take(shell.cli)));
            if (cli_close_requested(shell.cli))
                step.printed.emplace_back("(closed)");
            // What "test log" logs is the line typed again: the file shows what became of it.
            const bool logs_itself = text.find("test log ") != std::string::npos;
            for (size_t i = 0; !logs_itself && i < cap.lines().size(); i++)
                step.logged.push_back(std::to_string(cap.priorities()[i]) + " " +
                                      named(cap.lines()[i]));
            return step;
        });
}

INSTANTIATE_TEST_SUITE_P(Cli, Transcript,
                         ::testing::Values("parse.txt", "host.txt", "config.txt", "write.txt",
                                           "log.txt", "calls.txt"),
                         [](const auto &info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

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
