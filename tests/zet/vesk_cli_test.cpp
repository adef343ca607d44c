// tools/vesk-cli against a real vty server (event loop on its own thread): one-shot commands
// with -c over the Unix socket and TCP (logging in from a password file), the exit status on error
// replies and on no server, commands from standard input, and the interactive mode on a terminal
// with "?" and TAB.
#include "support/daemon_process.h"
#include "support/vty_server.h"
#include "zet/cli/cli.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/lib.h"
#include "zet/core/thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string CLI_BIN = std::string(VESK_BINARY_DIR) + "/tools/vesk-cli";

int show_toy(struct cli *cli, int, char **) {
    cli_out(cli, "toy output\n");
    return 0;
}
const char *show_toy_cmd_help[] = {"Show running system information", "toy things", nullptr};
struct cli_element show_toy_cmd = {"show toy", show_toy, show_toy_cmd_help};

int toy_fail(struct cli *cli, int, char **) {
    cli_out(cli, "%% The toy failed\n");
    return 1;
}
const char *toy_fail_cmd_help[] = {"toy", "fail", nullptr};
struct cli_element toy_fail_cmd = {"toy fail", toy_fail, toy_fail_cmd_help};

using Result = vesk_test::ShellResult;
using vesk_test::run_shell;

class VeskCli : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zet-vesk-cli-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/vty";
        zg = vesk_test::vty_globals_start(path);
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
        std::system(("rm -rf " + dir).c_str());
        unsetenv("VESK_VTY_SOCKET");
    }
    std::string cli(const std::string &args) { return CLI_BIN + " -s " + path + " " + args; }
    std::string dir, path;
    uint16_t port = 0;
    lib_globals *zg = nullptr;
    std::thread loop;
};

TEST_F(VeskCli, OneShotCommandsPrintTheirRepliesInOrder) {
    Result r = run_shell(cli("-c 'show toy' -c 'configure terminal' -c 'do show toy' -c end"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "toy output\ntoy output\n");
}

TEST_F(VeskCli, AnErrorReplyGivesExitStatusOneAndTheRestStillRuns) {
    Result r = run_shell(cli("-c 'show nothing' -c 'show toy'"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "% Invalid input at word 2: \"nothing\"\ntoy output\n");
    r = run_shell(cli("-c 'toy fail'"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "% The toy failed\n");
}

TEST_F(VeskCli, TcpPortWithAPasswordFileAndTheEnvironmentsSocket) {
    host_vty_set_password(zg, HOST_PASSWORD_LOGIN, zet::access::hash_password("login-pw").c_str());
    host_vty_set_password(zg, HOST_PASSWORD_ENABLE,
                          zet::access::hash_password("enable-pw").c_str());
    std::ofstream(dir + "/pw") << "login-pw\nenable-pw\n";
    std::ofstream(dir + "/bad") << "guess\n";
    const std::string tcp = CLI_BIN + " -p " + std::to_string(port) + " --password-file ";
    Result r = run_shell(tcp + dir + "/pw -c 'show toy' -c enable -c 'show privilege'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "toy output\nCurrent privilege level is 15\n");
    r = run_shell(tcp + dir + "/bad -c 'show toy' 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "vesk-cli: login failed: % Wrong password\n");
    r = run_shell(CLI_BIN + " -c 'show toy'"); // VESK_VTY_SOCKET
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "toy output\n");
}

TEST_F(VeskCli, NoServerGivesExitStatusTwo) {
    Result r = run_shell(CLI_BIN + " -s " + dir + "/none -c 'show toy' 2>&1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.out.find("cannot connect to " + dir + "/none"), std::string::npos) << r.out;
    r = run_shell(CLI_BIN + " -p 0 2>&1");
    EXPECT_EQ(r.status, 2);
}

TEST_F(VeskCli, LinesFromStandardInput) {
    Result r =
        run_shell("printf 'show toy\\nconfigure terminal\\nshow bogus\\nexit\\nexit\\nexit\\n"
                  "show toy\\n' | " +
                  cli(""));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "toy output\n% Invalid input at word 2: \"bogus\"\n");
}

TEST_F(VeskCli, HelpAndUsage) {
    Result r = run_shell(CLI_BIN + " -h");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: vesk-cli"), std::string::npos);
    r = run_shell(CLI_BIN + " -x 2>&1");
    EXPECT_EQ(r.status, 2);
}

// Reads from the terminal's master side until text shows up or the limit passes.
bool read_until(int fd, std::string &got, const std::string &text, int ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

TEST_F(VeskCli, InteractiveOnATerminalWithHelpAndCompletion) {
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        setenv("HOME", dir.c_str(), 1);
        setenv("TERM", "dumb", 1);
        execl(CLI_BIN.c_str(), "vesk-cli", "-s", path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string got;
    EXPECT_TRUE(read_until(master, got, "veskd# ")) << got;
    // "?" after "show " lists the next words with their help.
    ASSERT_EQ(write(master, "show ?", 6), 6);
    EXPECT_TRUE(read_until(master, got, "toy things")) << got;
    got.clear();
    // TAB completes "t" to "toy"; Enter runs it.
    ASSERT_EQ(write(master, "\x15sh\tt\t\r", 7), 7); // ^U clears the line first
    EXPECT_TRUE(read_until(master, got, "toy output")) << got;
    EXPECT_TRUE(read_until(master, got, "veskd# ")) << got;
    got.clear();
    ASSERT_EQ(write(master, "configure terminal\r", 19), 19);
    EXPECT_TRUE(read_until(master, got, "veskd(config)# ")) << got;
    ASSERT_EQ(write(master, "end\rexit\r", 9), 9);
    int st = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    pid_t done = 0;
    while ((done = waitpid(pid, &st, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        read_until(master, got, "\x01", 50);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    EXPECT_EQ(done, pid) << got;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    close(master);
    // The history was kept.
    EXPECT_EQ(access((dir + "/.vesk-cli_history").c_str(), F_OK), 0);
}

} // namespace
