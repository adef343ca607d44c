// tools/vesk-cli against a real vty server (event loop on its own thread): one-shot commands over
// the Unix socket and TCP (logging in from a password file), exit statuses and commands from
// standard input as a session in vesk-cli.txt, and the interactive mode on a terminal with "?",
// TAB and its history.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "support/daemon_process.h"
#include "support/vty_server.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/lib.h"
#include "zet/core/thread.h"

namespace {

const std::string kCli = std::string(VESK_BINARY_DIR) + "/tools/vesk-cli";

int show_toy(struct cli *cli, int, char **) {
    cli_out(cli, "toy output\n");
    return 0;
}
int toy_fail(struct cli *cli, int, char **) {
    cli_out(cli, "%% The toy failed\n");
    return 1;
}
const char *show_toy_help[] = {"Show running system information", "toy things", nullptr};
const char *toy_fail_help[] = {"toy", "fail", nullptr};
struct cli_element show_toy_cmd = {"show toy", show_toy, show_toy_help};
struct cli_element toy_fail_cmd = {"toy fail", toy_fail, toy_fail_help};

class VeskCli : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = vesk_test::make_temp_dir("vesk-cli-test-");
        zg = vesk_test::vty_globals_start(dir + "/vty");
        ASSERT_NE(zg, nullptr);
        cli_install(zg->ctree, EXEC_MODE, &show_toy_cmd);
        cli_install(zg->ctree, EXEC_MODE, &toy_fail_cmd);
        port = vesk_test::free_tcp_port();
        ASSERT_EQ(host_config_start(zg, nullptr, port), 0);
        loop = std::thread([this] {
            struct thread t {};
            while (thread_fetch(zg, &t) != nullptr)
                thread_call(&t);
        });
    }
    void TearDown() override {
        thread_master_stop(zg->master);
        loop.join();
        lib_stop(zg);
        vesk_test::remove_dir(dir);
        unsetenv("VESK_VTY_SOCKET");
    }
    std::string dir;
    uint16_t port = 0;
    lib_globals *zg = nullptr;
    std::thread loop;
};

// The session in vesk-cli.txt: "$ COMMAND", the lines it prints, "[STATUS]".
TEST_F(VeskCli, OneShotRunsGiveTheRepliesAndExitStatusOfTheSession) {
    host_vty_set_password(zg, HOST_PASSWORD_LOGIN, zet::access::hash_password("login-pw").c_str());
    host_vty_set_password(zg, HOST_PASSWORD_ENABLE,
                          zet::access::hash_password("enable-pw").c_str());
    std::ofstream(dir + "/pw") << "login-pw\nenable-pw\n";
    std::ofstream(dir + "/bad") << "guess\n";
    setenv("CLI", kCli.c_str(), 1);
    setenv("DIR", dir.c_str(), 1);
    setenv("PORT", std::to_string(port).c_str(), 1);
    std::istringstream in(vesk_test::read_file(VESK_SOURCE_DIR "/tests/tools/vesk-cli.txt"));
    std::string command, want;
    int cases = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("#"))
            continue;
        if (line.starts_with("$ "))
            command = line.substr(2), want.clear();
        else
            want += line + "\n";
        if (!line.starts_with("[") || !line.ends_with("]"))
            continue;
        std::string got = vesk_test::run_shell(command + "; echo \"[$?]\"").out;
        for (const auto &[path, name] : {std::pair{kCli, "$CLI"}, std::pair{dir, "$DIR"}})
            for (size_t at; (at = got.find(path)) != std::string::npos;)
                got.replace(at, path.size(), name);
        EXPECT_EQ(got, want) << command;
        cases++;
    }
    EXPECT_EQ(cases, 11) << "a case without its status line runs with the next";
}

// Reads from the terminal's master side until text shows up or ms pass.
bool read_until(int fd, std::string &got, const std::string &text, int ms = 5000) {
    char buf[4096];
    pollfd p = {fd, POLLIN, 0};
    for (ssize_t n; got.find(text) == std::string::npos; got.append(buf, size_t(n)))
        if (poll(&p, 1, ms) <= 0 || (n = read(fd, buf, sizeof buf)) <= 0)
            return false;
    return true;
}

TEST_F(VeskCli, InteractiveOnATerminalWithHelpCompletionAndHistory) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("HOME", dir.c_str(), 1);
        setenv("TERM", "dumb", 1);
        execl(kCli.c_str(), "vesk-cli", "-s", (dir + "/vty").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // "?" lists the next words with their help; ^U clears the line, TAB completes "sh" and "t".
    const std::pair<std::string, std::string> steps[] = {
        {"", "veskd# "},
        {"show ?", "toy things"},
        {"\x15sh\tt\t\r", "toy output"},
        {"", "veskd# "},
        {"configure terminal\r", "veskd(config)# "},
        {"end\rexit\r", ""}};
    std::string got;
    for (const auto &[typed, shown] : steps) {
        if (!typed.empty())
            got.clear();
        ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        EXPECT_TRUE(read_until(master, got, shown)) << got;
    }
    // The terminal is drained while vesk-cli ends: it may wait to write.
    int st = 0;
    const bool ended = vesk_test::wait_for([&] {
        read_until(master, got, "\x01", 10);
        return waitpid(pid, &st, WNOHANG) == pid;
    });
    if (!ended)
        kill(pid, SIGKILL), waitpid(pid, &st, 0);
    EXPECT_TRUE(ended) << got;
    close(master);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(access((dir + "/.vesk-cli_history").c_str(), F_OK), 0);
}

} // namespace
