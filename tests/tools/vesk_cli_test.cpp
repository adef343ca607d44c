// tools/vesk-cli against a real vty server (event loop on its own thread): one-shot commands over
// the Unix socket and TCP (logging in from a password file), exit statuses, commands from
// standard input, and the interactive mode on a terminal with "?", TAB and its history.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <poll.h>
#include <pty.h>
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
        char tmpl[] = "/tmp/vesk-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
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
        vesk_test::run_shell("rm -rf " + dir);
        unsetenv("VESK_VTY_SOCKET");
    }
    std::string dir;
    uint16_t port = 0;
    lib_globals *zg = nullptr;
    std::thread loop;
};

TEST_F(VeskCli, CommandsFromArgumentsAndStandardInputGiveRepliesAndExitStatus) {
    host_vty_set_password(zg, HOST_PASSWORD_LOGIN, zet::access::hash_password("login-pw").c_str());
    host_vty_set_password(zg, HOST_PASSWORD_ENABLE, zet::access::hash_password("enable-pw").c_str());
    std::ofstream(dir + "/pw") << "login-pw\nenable-pw\n";
    std::ofstream(dir + "/bad") << "guess\n";
    const std::string sock = kCli + " -s " + dir + "/vty ";
    const std::string tcp = kCli + " -p " + std::to_string(port) + " --password-file " + dir;
    const struct {
        std::string command;
        int status;
        std::string out;
        bool whole; // else out is a part of the output
    } cases[] = {
        {sock + "-c 'show toy' -c 'configure terminal' -c 'do show toy' -c end", 0,
         "toy output\ntoy output\n", true},
        // An error reply sets the status; the commands after it still run.
        {sock + "-c 'show nothing' -c 'show toy'", 1,
         "% Invalid input at word 2: \"nothing\"\ntoy output\n", true},
        {sock + "-c 'toy fail'", 1, "% The toy failed\n", true},
        {"printf 'show toy\\nconfigure terminal\\nshow bogus\\nexit\\nexit\\nexit\\nshow toy\\n' | " +
             sock, 1, "toy output\n% Invalid input at word 2: \"bogus\"\n", true},
        {kCli + " -c 'show toy'", 0, "toy output\n", true}, // the socket of VESK_VTY_SOCKET
        {tcp + "/pw -c 'show toy' -c enable -c 'show privilege'", 0,
         "toy output\nCurrent privilege level is 15\n", true},
        {tcp + "/bad -c 'show toy' 2>&1", 2, "vesk-cli: login failed: % Wrong password\n", true},
        {kCli + " -s " + dir + "/none -c 'show toy' 2>&1", 2,
         "vesk-cli: cannot connect to " + dir + "/none: ", false},
        {kCli + " -p 0 2>&1", 2, "vesk-cli: invalid port '0'\n", true},
        {kCli + " -h", 0, "Usage: vesk-cli [-s PATH | -p PORT]", false},
        {kCli + " -x 2>&1", 2, "Usage: vesk-cli", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.command);
        vesk_test::ShellResult r = vesk_test::run_shell(c.command);
        EXPECT_EQ(r.status, c.status);
        if (c.whole)
            EXPECT_EQ(r.out, c.out);
        else
            EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    }
}

// Reads from the terminal's master side until text shows up or ms pass.
bool read_until(int fd, std::string &got, const std::string &text, int ms = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.find(text) == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd p = {fd, POLLIN, 0};
        if (left.count() <= 0)
            return false;
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        got.append(buf, static_cast<size_t>(n));
    }
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
        {"", "veskd# "}, {"show ?", "toy things"}, {"\x15sh\tt\t\r", "toy output"},
        {"", "veskd# "}, {"configure terminal\r", "veskd(config)# "}};
    std::string got;
    for (const auto &[typed, shown] : steps) {
        if (!typed.empty())
            got.clear();
        ASSERT_EQ(write(master, typed.data(), typed.size()), static_cast<ssize_t>(typed.size()));
        EXPECT_TRUE(read_until(master, got, shown)) << got;
    }
    ASSERT_EQ(write(master, "end\rexit\r", 9), 9);
    int st = 0;
    pid_t done = 0;
    for (int i = 0; i < 500 && (done = waitpid(pid, &st, WNOHANG)) == 0; i++) {
        read_until(master, got, "\x01", 10); // drains the terminal while vesk-cli ends
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (done == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    close(master);
    EXPECT_EQ(done, pid) << got;
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
    EXPECT_EQ(access((dir + "/.vesk-cli_history").c_str(), F_OK), 0);
}

} // namespace
