// What start-up reads and touches around the daemon: its options, the state file, the monitor
// handshake and the console (every integration daemon reads the VESK_* settings). Option and
// state-file cases are data: usage-cases.txt, state-file-cases.txt, usage.golden.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <sstream>
#include <vector>

#include "support/daemon_process.h"
#include "support/transcript.h"
#include "support/wait_until.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/state_file.h"
#include "vesk/daemon/usage.h"
#include "vesk/daemon/veskd.h"
#include "vesk/host/zet.h"

namespace {

using vesk_test::read_file;
const std::string kDir = VESK_SOURCE_DIR "/tests/vesk/daemon/";

// "ACTION DAEMON PORT FILE [PROGNAME]", and " (port named)" when the error stream named the port.
std::string parse(const std::string &line, vesk_options *opts) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w == "\"\"" ? "" : w);
    std::vector<char *> argv;
    for (std::string &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    const int action = vesk_parse_options(static_cast<int>(words.size()), argv.data(), opts);
    const std::string err = testing::internal::GetCapturedStderr();
    const char *names[] = {"start", "help", "version", "bad"};
    return std::string(names[action]) + " " + std::to_string(opts->daemon_mode) + " " +
           std::to_string(opts->vty_port) + " " +
           (opts->config_file != nullptr ? opts->config_file : "-") + " [" + opts->progname + "]" +
           (err.find("invalid vty port") != std::string::npos ? " (port named)" : "");
}

TEST(VeskStart, OptionsInAnyOrderTheLaterWinningAndBadOnesRefused) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(kDir + "usage-cases.txt", cases), "");
    vesk_options opts{};
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.input, &opts), c.expected) << c.where;
    // The usage text goes to the output stream, the hint line to the error stream.
    const std::string want[2] = {read_file(kDir + "usage.golden") + "|",
                                 "|Try `veskd --help' for more information.\n"};
    for (int status : {0, 1}) {
        char *text[2] = {};
        size_t len[2] = {};
        FILE *out = open_memstream(&text[0], &len[0]), *err = open_memstream(&text[1], &len[1]);
        vesk_print_usage(out, err, status, "veskd");
        fclose(out);
        fclose(err);
        EXPECT_EQ(std::string(text[0], len[0]) + "|" + std::string(text[1], len[1]), want[status]);
        free(text[0]);
        free(text[1]);
    }
}

// The state file is read by root at start-up and may have been written by anyone who could
// write there: only what veskd writes itself is accepted, anything else is refused whole.
TEST(VeskStart, StateFileAcceptsOnlyWhatVeskdWrites) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(kDir + "state-file-cases.txt", cases), "");
    for (const auto &c : cases) {
        vesk_state_entry e[4]{};
        int bad_line = 0;
        const int n = vesk_state_parse(c.input.data(), c.input.size(), e, 4, &bad_line);
        std::string got = std::to_string(n) + " " + std::to_string(bad_line);
        for (int i = 0; i < n; i++)
            got += std::string(" | ") + (e[i].blocked ? "block " : "shutdown ") +
                   std::to_string(e[i].ifindex) + " " + e[i].name + " " +
                   std::to_string(e[i].deadline);
        EXPECT_EQ(got, c.expected) << c.where;
    }
}

// Only a parent whose program path (not an argument) names the monitor gets the first real-time
// signal, which ends a sleep that has no handler for it.
TEST(VeskStart, OnlyAMonitorParentGetsTheFirstRealTimeSignal) {
    const struct {
        const char *argv0, *argument;
        int notified;
    } cases[] = {{"/usr/lib/switch/vesk-monitor", nullptr, 1},
                 {"/bin/sleep", nullptr, 0},
                 {"/bin/bash", "monitor", 0}};
    for (const auto &c : cases) {
        pid_t pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            if (c.argument == nullptr)
                execl("/bin/sleep", c.argv0, "30", static_cast<char *>(nullptr));
            else // two commands, so the shell stays with its own command line
                execl("/bin/bash", c.argv0, "-c", "sleep 30; :", c.argument,
                      static_cast<char *>(nullptr));
            _exit(127);
        }
        const std::string path = "/proc/" + std::to_string(pid) + "/cmdline";
        EXPECT_TRUE(vesk_test::run_until(nullptr, [&] {
            return read_file(path).find(c.argument ? c.argument : c.argv0) != std::string::npos;
        }));
        EXPECT_EQ(vesk_monitor_notify(pid), c.notified) << c.argv0;
        if (c.notified == 0)
            kill(-pid, SIGTERM);
        int status = 0;
        waitpid(pid, &status, 0);
        EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, c.notified ? SIGRTMIN : SIGTERM);
    }
}

TEST(VeskStart, ConsoleBecomesStandardInputOutputAndError) {
    char path[] = "/tmp/dmn-console-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    // What the test program printed before must not be written a second time by the child.
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // Without a newline this stays in stdio's buffer whatever the stream is; it was
        // written for the old stream and must not reach the console.
        std::fputs(" ", stdout);
        if (vesk_console_redirect(path) != 0)
            _exit(2);
        std::printf("out\n");
        std::fflush(stdout);
        std::fprintf(stderr, "err\n");
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(read_file(path), "out\nerr\n");
    unlink(path);
    // A console that cannot be opened leaves the streams as they are.
    struct stat before[3]{}, after[3]{};
    for (fd = 0; fd < 3; fd++)
        fstat(fd, &before[fd]);
    EXPECT_EQ(vesk_console_redirect("/nonexistent/dmn/console"), -1);
    for (fd = 0; fd < 3; fd++) {
        ASSERT_EQ(fstat(fd, &after[fd]), 0);
        EXPECT_EQ(after[fd].st_ino, before[fd].st_ino) << fd;
        EXPECT_EQ(after[fd].st_dev, before[fd].st_dev) << fd;
    }
}

} // namespace
