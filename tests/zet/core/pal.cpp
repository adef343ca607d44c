// The small platform services: the Internet checksum, the version text, daemonizing.
#include "../zet_test.h"

#include <random>

namespace {

// RFC 1071 the textbook way: big-endian 16-bit words, an odd byte as the high half of a last
// word, carries folded, complemented.
uint16_t reference_be(const std::vector<uint8_t> &b) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2)
        sum += (static_cast<uint64_t>(b[i]) << 8) | (i + 1 < b.size() ? b[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

// in_checksum sums in memory order, so its result stored into memory reads as the big-endian
// checksum on any host: this gives those two bytes as a big-endian number.
uint16_t checksum_be(const uint8_t *b, int len) {
    uint16_t sum = in_checksum(b, len);
    uint8_t bytes[2];
    std::memcpy(bytes, &sum, 2);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

TEST(Pal, ChecksumIsTheInternetChecksum) {
    const std::vector<uint8_t> header = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40,
                                         0x00, 0x40, 0x11, 0xb8, 0x61, 0xc0, 0xa8,
                                         0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(checksum_be(header.data(), 20), 0) << "an IPv4 header with its checksum";
    const uint8_t raw[] = {0xaa, 0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7, 0xff};
    EXPECT_EQ(checksum_be(raw + 1, 8), 0x220d) << "RFC 1071 section 3, unaligned";
    EXPECT_EQ(checksum_be(raw + 1, 7), 0x2304) << "the padding byte is zero, not what follows";
    EXPECT_EQ(std::tuple(in_checksum(nullptr, 0), in_checksum(raw, -3)),
              std::tuple(0xffff, 0xffff));
    // Carries over long input, and random data of every length up to 300.
    std::vector<uint8_t> ones(4001, 0xff), big(70000, 0xfe);
    EXPECT_EQ(checksum_be(ones.data(), 4001), reference_be(ones));
    EXPECT_EQ(checksum_be(big.data(), 70000), reference_be(big));
    std::mt19937 rng(12345);
    for (size_t len = 0; len <= 300; len++) {
        std::vector<uint8_t> b(len);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        ASSERT_EQ(checksum_be(b.data(), int(len)), reference_be(b)) << "length " << len;
    }
}

TEST(Pal, VersionShowsTheBuildAndTheProgramWithoutItsPath) {
    EXPECT_STREQ(zet_protocol_name(28), "zet") << "no name until the daemon gives one";
    zet_protocol_set_name(29, "veskd");
    EXPECT_EQ(std::pair(std::string(zet_protocol_name(29)), std::string(zet_protocol_name(0))),
              (std::pair<std::string, std::string>("veskd", "zet")));
    compile_info_init("/usr/sbin/veskd", 29, "2026-12-06", "09:00:00", 20261206);
    for (const char *name : {"veskd", static_cast<const char *>(nullptr)}) {
        testing::internal::CaptureStdout();
        print_version(name);
        std::string out = testing::internal::GetCapturedStdout(), text = zet_version_text();
        EXPECT_TRUE(std::regex_match(
            out, std::regex(R"(veskd version \d+\.\d+\.\d+ \(built 2026-12-06 09:00:00\)\n)")))
            << out;
        EXPECT_TRUE(text.starts_with(out) && text.ends_with("\n") &&
                    text.find("20261206") != std::string::npos)
            << text;
    }
    compile_info_init(nullptr, 29, nullptr, nullptr, 0); // the library's own build stamp
    EXPECT_TRUE(std::string(zet_version_text()).starts_with("veskd version "))
        << zet_version_text();
}

// Daemonizes a child started in /tmp with the pipe as its standard output; the detached
// grandchild reports through the pipe: session leader or not, directory, and whether its
// standard output went to /dev/null. The parent side exits at once, with 0.
std::string daemonized(int nochdir, int noclose) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir("/tmp") != 0 || dup2(fds[1], 1) < 0 || pal_daemonize(nochdir, noclose) != 0)
            _exit(2);
        char cwd[PATH_MAX] = "";
        struct stat out {
        }, null{};
        fstat(1, &out);
        stat("/dev/null", &null);
        std::string report = std::string(getsid(0) == getpid() ? "leader " : "member ") +
                             (getcwd(cwd, sizeof cwd) ? cwd : "?") +
                             (out.st_rdev == null.st_rdev ? " devnull" : " other");
        _exit(write(fds[1], report.data(), report.size()) < 0 ? 4 : 0);
    }
    close(fds[1]);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    std::string report = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "parent failed ";
    char buf[256];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;)
        report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    return report;
}

TEST(Pal, DaemonizeDetachesAndUnlessToldOtherwiseMovesToRootAndSilencesStreams) {
    EXPECT_EQ(daemonized(0, 0), "leader / devnull");
    EXPECT_EQ(daemonized(1, 1), "leader /tmp other");
}

} // namespace
