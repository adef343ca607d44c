// Log calls the transcripts (tests/zet/data/cli/log.txt) cannot make: lines the file does not
// take, standard error before openzlog.
#include "../zet_test.h"

#include <sys/resource.h>

namespace {

TEST(Log, LinesTheFileDoesNotTakeAreCountedNotWaitedFor) {
    vesk_test::DaemonShell shell; // for its directory
    const std::string path = shell.dir + "/a.log";
    lib_globals zg{};
    zet_set_name("veskd", nullptr);
    ASSERT_EQ(openzlog(&zg, 0, ZLOG_DEST_SYSLOG), zg.log);
    ASSERT_EQ(zlog_set_file(zg.log, path.c_str()), 0);
    struct rlimit saved {};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto old_handler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 100; // as on a full disk
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    for (int i = 0; i < 5; i++)
        zlog_info(&zg, "line %d of a log that has no room", i);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, old_handler);
    EXPECT_EQ(zlog_lost_lines(zg.log), 4u) << "only the first line fits in 100 bytes";
    zlog_info(&zg, "room again");
    // After what fitted of line 1.
    EXPECT_TRUE(vesk_test::read_file(path).ends_with("veskd: room again\n"));
    closezlog(&zg, zg.log);
}

TEST(Log, BeforeOpenzlogLinesGoToStandardError) {
    lib_globals zg{};
    zet_set_name("veskd", nullptr);
    testing::internal::CaptureStderr();
    EXPECT_EQ(zlog_rotate(&zg, nullptr), 0);
    zlog_err(&zg, "early %s", "failure");
    zlog(nullptr, nullptr, ZLOG_ERR, "no handle at all");
    std::istringstream err(testing::internal::GetCapturedStderr());
    std::vector<std::string> got;
    for (std::string l; std::getline(err, l);)
        got.push_back(l.substr(l.find(' ', l.find(' ') + 1) + 1)); // without the time stamp
    EXPECT_EQ(got, (std::vector<std::string>{"veskd: early failure", "veskd: no handle at all"}));
    struct zlog *log = openzlog(&zg, 0, ZLOG_DEST_STDERR);
    EXPECT_TRUE(zlog_is_open(log));
    closezlog(&zg, zg.log);
    EXPECT_TRUE(zg.log == nullptr && !zlog_is_open(log));
}

} // namespace
