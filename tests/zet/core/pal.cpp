// The small platform services: the Internet checksum, the version text, daemonizing.
#include "../zet_test.h"

#include <arpa/inet.h>

namespace {

// in_checksum sums in memory order, so its result stored into memory reads as the big-endian
// checksum on any host: this gives it as a number.
uint16_t checksum_be(const uint8_t *b, int len) {
    return ntohs(in_checksum(b, len));
}

TEST(Pal, ChecksumIsTheInternetChecksum) {
    const uint8_t header[] = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                              0xb8, 0x61, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(checksum_be(header, 20), 0) << "an IPv4 header with its checksum";
    const uint8_t raw[] = {0xaa, 0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0xff};
    EXPECT_EQ(checksum_be(raw + 1, 8), 0x220d) << "RFC 1071 section 3, unaligned";
    EXPECT_EQ(checksum_be(raw + 1, 7), 0x2304) << "the padding byte is zero, not what follows";
    EXPECT_EQ(std::tuple(in_checksum(nullptr, 0), in_checksum(raw, -3)),
              std::tuple(0xffff, 0xffff));
    // Carries folded more than once over long input (the values of the textbook sum).
    std::vector<uint8_t> ones(4001, 0xff), big(70000, 0xfe);
    EXPECT_EQ(std::pair(checksum_be(ones.data(), 4001), checksum_be(big.data(), 70000)),
              std::pair(uint16_t{0x00ff}, uint16_t{0x4141}));
}

// The daemon's programs show the rest of the version (name, date, program without its path).
TEST(Pal, VersionTextCarriesTheBuildNumberWhenGiven) {
    compile_info_init("/usr/sbin/veskd", "2026-12-06", "09:00:00", 20261206);
    EXPECT_NE(std::string(zet_version_text()).find("20261206"), std::string::npos);
    compile_info_init(nullptr, nullptr, nullptr, 0); // the library's own build stamp
}

// The daemon's call (its result unread there): the parent side exits with 0; the grandchild
// reports on the pipe, its standard error silenced.
TEST(Pal, DaemonizeDetachesMovesToRootAndSilencesStreams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir("/tmp") != 0 || dup2(fds[1], 2) < 0 || pal_daemonize(0, 0) != 0)
            _exit(2);
        char cwd[PATH_MAX] = "";
        struct stat out {
        }, null{};
        fstat(2, &out);
        stat("/dev/null", &null);
        std::string report = std::string(getsid(0) == getpid() ? "leader " : "member ") +
                             (getcwd(cwd, sizeof cwd) ? cwd : "?") +
                             (out.st_rdev == null.st_rdev ? " devnull" : " other");
        _exit(write(fds[1], report.data(), report.size()) < 0 ? 4 : 0);
    }
    close(fds[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    char buf[256] = {};
    for (ssize_t n, got = 0; (n = read(fds[0], buf + got, sizeof buf - 1 - size_t(got))) > 0;)
        got += n;
    close(fds[0]);
    EXPECT_STREQ(buf, "leader / devnull");
}

} // namespace
