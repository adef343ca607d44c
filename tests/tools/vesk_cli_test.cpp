// tools/vesk-cli against a real veskd: one-shot runs as the scenario files beside this one, and
// the interactive mode on a terminal with "?", TAB and its history.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>

#include "support/daemon_process.h"

namespace {

VESK_SCENARIOS(VeskCli, VESK_SOURCE_DIR "/tests/tools");

TEST(VeskCliTerminal, InteractiveWithHelpCompletionAndHistory) {
    vesk_test::Veskd d;
    ASSERT_NO_FATAL_FAILURE(d.start_on_sockets());
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("HOME", d.dir().c_str(), 1);
        setenv("TERM", "dumb", 1);
        const std::string cli = VESK_BINARY_DIR "/tools/vesk-cli";
        execl(cli.c_str(), "vesk-cli", "-s", d.vty_path().c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Reads from the terminal until text shows up or ms pass.
    std::string got;
    auto shows = [&](const std::string &text, int ms = 5000) {
        char buf[4096];
        pollfd p = {master, POLLIN, 0};
        for (ssize_t n; got.find(text) == std::string::npos; got.append(buf, size_t(n)))
            if (poll(&p, 1, ms) <= 0 || (n = read(master, buf, sizeof buf)) <= 0)
                return false;
        return true;
    };
    // "?" lists the next words with their help; ^U clears the line, TAB completes "sh" and "pri".
    const std::pair<std::string, std::string> steps[] = {
        {"", "veskd# "},
        {"show ?", "Show current privilege level"},
        {"\x15sh\tpri\t\r", "Current privilege level is 15"},
        {"", "veskd# "},
        {"configure terminal\r", "veskd(config)# "},
        {"end\rexit\r", ""}};
    for (const auto &[typed, shown] : steps) {
        if (!typed.empty())
            got.clear();
        ASSERT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
        EXPECT_TRUE(shows(shown)) << got;
    }
    // The terminal is drained while vesk-cli ends: it may wait to write.
    int st = 0;
    const bool ended =
        vesk_test::wait_for([&] { return shows("\x01", 10), waitpid(pid, &st, WNOHANG) == pid; });
    if (!ended)
        kill(pid, SIGKILL), waitpid(pid, &st, 0);
    EXPECT_TRUE(ended) << got;
    close(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(access((d.dir() + "/.vesk-cli_history").c_str(), F_OK), 0);
}

} // namespace
