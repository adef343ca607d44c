// Log: one line per call with time stamp and protocol name; destinations; the capture sink.
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"

#include "support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using vesk_test::LogCapture;

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

// Runs fn with standard error redirected to a file; gives what was written.
template <typename F> std::string capture_stderr(F fn) {
    char path[] = "/tmp/zet_log_stderr_XXXXXX";
    int fd = mkstemp(path);
    fflush(stderr);
    int saved = dup(2);
    dup2(fd, 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    close(fd);
    std::ifstream in(path);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    unlink(path);
    return all;
}

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/zet_log_XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        zg_.protocol = 29;
        zet_protocol_set_name(29, "veskd");
    }
    void TearDown() override {
        closezlog(&zg_, zg_.log);
        for (const char *f : {"/a.log", "/a.log.1", "/b.log"})
            unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    lib_globals zg_{};
    std::string dir_;
};

const std::regex kLine(R"(^\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} veskd: (.*)$)");

TEST_F(LogTest, OpenBecomesTheHandlesLogAndCloseForgetsIt) {
    struct zlog *log = openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(zg_.log, log);
    EXPECT_TRUE(zlog_is_open(log));
    EXPECT_EQ(zlog_destinations(log), ZLOG_DEST_SYSLOG);
    struct zlog *second = openzlog(&zg_, 1, 29, 0); // the handle keeps its first log
    EXPECT_EQ(zg_.log, log);
    EXPECT_EQ(zlog_destinations(second), ZLOG_DEST_SYSLOG); // 0 means syslog
    closezlog(&zg_, second);
    EXPECT_FALSE(zlog_is_open(second));
    closezlog(&zg_, log);
    EXPECT_EQ(zg_.log, nullptr);
}

TEST_F(LogTest, SinkGetsTheMessageTextAndPriorityOfEachCall) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    zlog_set_stderr(zg_.log); // keep the system log clean
    LogCapture cap(&zg_);
    capture_stderr([&] {
        zlog_warn(&zg_, "Detect a loop on the port %s, shut down", "ge1");
        zlog_err(&zg_, "error %d", 5);
        zlog_info(&zg_, "info");
        zlog_debug(&zg_, "debug %s", "x");
        zlog(&zg_, nullptr, ZLOG_NOTICE, "notice");
    });
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{"Detect a loop on the port ge1, shut down",
                                                     "error 5", "info", "debug x", "notice"}));
    EXPECT_EQ(cap.priorities(),
              (std::vector<int>{ZLOG_WARNING, ZLOG_ERR, ZLOG_INFO, ZLOG_DEBUG, ZLOG_NOTICE}));
    EXPECT_TRUE(cap.contains("shut down"));
    EXPECT_EQ(cap.count("shut down"), 1u);
    EXPECT_EQ(cap.count("e"), 4u); // every line but "info"
    cap.clear();
    EXPECT_TRUE(cap.lines().empty());
}

TEST_F(LogTest, EachCallIsOneLineEvenWithLineEndsInside) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_STDERR);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    LogCapture cap(&zg_);
    zlog_info(&zg_, "first\nsecond\n");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    EXPECT_EQ(m[1], "first second");
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{"first second"}));
}

TEST_F(LogTest, LongMessagesAreKeptWhole) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_STDERR);
    LogCapture cap(&zg_);
    std::string big(5000, 'x');
    capture_stderr([&] { zlog_info(&zg_, "%s!", big.c_str()); });
    ASSERT_EQ(cap.lines().size(), 1u);
    EXPECT_EQ(cap.lines()[0], big + "!");
}

TEST_F(LogTest, FileLinesCarryTimeStampAndProtocolName) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    EXPECT_STREQ(zlog_file(zg_.log), path.c_str());
    EXPECT_EQ(zlog_destinations(zg_.log), ZLOG_DEST_FILE);
    zlog_warn(&zg_, "one %d", 1);
    zlog_err(&zg_, "two");
    auto lines = read_lines(path); // line-buffered: readable at once
    ASSERT_EQ(lines.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, kLine)) << lines[0];
    EXPECT_EQ(m[1], "one 1");
    ASSERT_TRUE(std::regex_match(lines[1], m, kLine)) << lines[1];
    EXPECT_EQ(m[1], "two");
}

TEST_F(LogTest, OtherProtocolsAreNamedZet) {
    zg_.protocol = 3;
    openzlog(&zg_, 0, 3, ZLOG_DEST_STDERR);
    std::string out = capture_stderr([&] { zlog_info(&zg_, "hello"); });
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3} zet: hello\n$)")))
        << out;
}

TEST_F(LogTest, FileIsAppendedNotTruncated) {
    std::string path = dir_ + "/a.log";
    {
        std::ofstream pre(path);
        pre << "earlier line\n";
    }
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    zlog_info(&zg_, "later");
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "earlier line");
}

TEST_F(LogTest, UnopenableFileKeepsTheOldDestination) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    EXPECT_EQ(zlog_set_file(zg_.log, (dir_ + "/missing/dir/x.log").c_str()), -1);
    EXPECT_EQ(zlog_set_file(zg_.log, ""), -1);
    EXPECT_STREQ(zlog_file(zg_.log), path.c_str());
    zlog_info(&zg_, "still here");
    EXPECT_EQ(read_lines(path).size(), 1u);
}

TEST_F(LogTest, RotateReopensTheFileByName) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    zlog_info(&zg_, "before");
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0); // logrotate moves it away
    zlog_info(&zg_, "still old");
    EXPECT_EQ(zlog_rotate(&zg_, nullptr), 0);
    zlog_info(&zg_, "after");
    auto old_lines = read_lines(path + ".1");
    auto new_lines = read_lines(path);
    ASSERT_EQ(old_lines.size(), 2u);
    ASSERT_EQ(new_lines.size(), 1u);
    EXPECT_NE(new_lines[0].find("veskd: after"), std::string::npos);
}

TEST_F(LogTest, RotateRefusesALinkPutInTheFilesPlaceAndKeepsTheOldFile) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    ASSERT_EQ(rename(path.c_str(), (path + ".1").c_str()), 0);
    ASSERT_EQ(symlink((dir_ + "/target").c_str(), path.c_str()), 0);
    EXPECT_EQ(zlog_rotate(&zg_, nullptr), -1);
    zlog_info(&zg_, "still old");
    EXPECT_EQ(read_lines(path + ".1").size(), 1u);
    EXPECT_NE(access((dir_ + "/target").c_str(), F_OK), 0) << "nothing created through the link";
}

TEST_F(LogTest, LinesTheFileDoesNotTakeAreCountedNotWaitedFor) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    // A file that may grow no further, as on a full disk.
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 5; i++)
        zlog_info(&zg_, "line %d of a log that has no room", i);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(zlog_lost_lines(zg_.log), 4u) << "only the first line fits in 100 bytes";
    zlog_info(&zg_, "room again");
    auto lines = read_lines(path);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find("room again"), std::string::npos);
}

TEST_F(LogTest, RotateWithoutAFileDoesNothing) {
    EXPECT_EQ(zlog_rotate(&zg_, nullptr), 0);
    openzlog(&zg_, 0, 29, ZLOG_DEST_STDERR);
    EXPECT_EQ(zlog_rotate(&zg_, zg_.log), 0);
}

TEST_F(LogTest, SwitchingDestinationsStopsWritingTheFile) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    ASSERT_EQ(zlog_set_stderr(zg_.log), 0);
    EXPECT_EQ(zlog_file(zg_.log), nullptr);
    EXPECT_EQ(zlog_destinations(zg_.log), ZLOG_DEST_STDERR);
    std::string out = capture_stderr([&] { zlog_info(&zg_, "to stderr"); });
    EXPECT_NE(out.find("veskd: to stderr\n"), std::string::npos);
    EXPECT_TRUE(read_lines(path).empty());
    ASSERT_EQ(zlog_set_syslog(zg_.log), 0);
    EXPECT_EQ(zlog_destinations(zg_.log), ZLOG_DEST_SYSLOG);
}

TEST_F(LogTest, BeforeOpenzlogLinesGoToStandardError) {
    std::string out = capture_stderr([&] {
        zlog_err(&zg_, "early %s", "failure");
        zlog(nullptr, nullptr, ZLOG_ERR, "no handle at all");
    });
    EXPECT_TRUE(
        std::regex_search(out, std::regex(R"(\d{2}:\d{2}:\d{2}\.\d{3} veskd: early failure\n)")))
        << out;
    EXPECT_NE(out.find("zet: no handle at all\n"), std::string::npos) << out;
}

TEST_F(LogTest, ExplicitLogArgumentWinsOverTheHandlesLog) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_STDERR);
    struct zlog *other = openzlog(nullptr, 0, 29, ZLOG_DEST_STDERR);
    LogCapture main_cap(&zg_);
    LogCapture other_cap(other);
    capture_stderr([&] { zlog(&zg_, other, ZLOG_INFO, "to other"); });
    EXPECT_TRUE(main_cap.lines().empty());
    EXPECT_EQ(other_cap.lines(), (std::vector<std::string>{"to other"}));
    closezlog(nullptr, other);
}

TEST_F(LogTest, ConcurrentCallersNeverMixLines) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_SYSLOG);
    std::string path = dir_ + "/a.log";
    ASSERT_EQ(zlog_set_file(zg_.log, path.c_str()), 0);
    LogCapture cap(&zg_);
    constexpr int kThreads = 4, kLines = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; i++)
                zlog_info(&zg_, "thread %d line %d %s", t, i, "padding-padding-padding");
        });
    for (auto &th : threads)
        th.join();
    auto lines = read_lines(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    const std::regex one(R"(^.* veskd: thread \d line \d+ padding-padding-padding$)");
    for (const auto &l : lines)
        ASSERT_TRUE(std::regex_match(l, one)) << l;
    EXPECT_EQ(cap.lines().size(), static_cast<size_t>(kThreads * kLines));
}

TEST_F(LogTest, CaptureOpensAStderrLogWhenTheHandleHasNone) {
    {
        LogCapture cap(&zg_);
        ASSERT_NE(zg_.log, nullptr);
        capture_stderr([&] { zlog_info(&zg_, "captured"); });
        EXPECT_TRUE(cap.contains("captured"));
    }
    EXPECT_EQ(zg_.log, nullptr); // the capture closed the log it opened
}

TEST_F(LogTest, CaptureOutlivingItsLogIsSafe) {
    openzlog(&zg_, 0, 29, ZLOG_DEST_STDERR);
    auto cap = std::make_unique<LogCapture>(&zg_);
    closezlog(&zg_, zg_.log);
    cap.reset(); // must not touch the closed log
    SUCCEED();
}

} // namespace
