// Internet checksum, version text and daemonizing.
#include "zet/core/pal.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <random>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// RFC 1071 computed the textbook way: big-endian 16-bit words, odd byte as the high half of a
// last word, carries folded, complemented. Gives the checksum as a big-endian number.
uint16_t reference_be(const std::vector<uint8_t> &b) {
    uint64_t sum = 0;
    for (size_t i = 0; i < b.size(); i += 2)
        sum += (static_cast<uint64_t>(b[i]) << 8) | (i + 1 < b.size() ? b[i + 1] : 0);
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

// in_checksum sums in memory order, so its result, stored into memory, reads as the
// big-endian checksum on any host: this gives those two bytes as a big-endian number.
uint16_t stored_be(uint16_t sum) {
    uint8_t bytes[2];
    std::memcpy(bytes, &sum, 2);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

uint16_t checksum_be(const std::vector<uint8_t> &b) {
    return stored_be(in_checksum(b.data(), static_cast<int>(b.size())));
}

TEST(InChecksum, Rfc1071Example) {
    // RFC 1071 section 3: these bytes sum to ddf2 (big-endian view), checksum 220d.
    std::vector<uint8_t> b = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(checksum_be(b), 0x220d);
    EXPECT_EQ(reference_be(b), 0x220d);
}

TEST(InChecksum, Ipv4HeaderVectorAndVerification) {
    // A well-known IPv4 header whose checksum field holds b861.
    std::vector<uint8_t> h = {0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                              0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(checksum_be(h), 0xb861);
    h[10] = 0xb8;
    h[11] = 0x61;
    EXPECT_EQ(checksum_be(h), 0x0000); // a correct header checks to zero
}

TEST(InChecksum, OddLengthsArePaddedWithOneZeroByte) {
    EXPECT_EQ(checksum_be({0x01}), 0xfeff);             // word 0100
    EXPECT_EQ(checksum_be({0x00, 0x01, 0xf2}), 0x0dfe); // 0001 + f200 = f201
    EXPECT_EQ(checksum_be({0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6}),
              0x2304); // ...f600 folds to dcfb
    // The padding byte is zero, not whatever follows in memory.
    uint8_t buf[4] = {0x12, 0x34, 0x56, 0xff};
    EXPECT_EQ(stored_be(in_checksum(buf, 3)), reference_be({0x12, 0x34, 0x56}));
}

TEST(InChecksum, EmptyInputIsAllOnes) {
    EXPECT_EQ(in_checksum(nullptr, 0), 0xffff);
    uint8_t b = 0;
    EXPECT_EQ(in_checksum(&b, 0), 0xffff);
    EXPECT_EQ(in_checksum(&b, -3), 0xffff);
}

TEST(InChecksum, CarriesAreFoldedOverLongInput) {
    std::vector<uint8_t> ones(4001, 0xff);
    EXPECT_EQ(checksum_be(ones), reference_be(ones));
    std::vector<uint8_t> big(70000, 0xfe);
    EXPECT_EQ(checksum_be(big), reference_be(big));
}

TEST(InChecksum, MatchesTheReferenceOnRandomDataOfEveryLength) {
    std::mt19937 rng(12345);
    for (size_t len = 0; len <= 300; len++) {
        std::vector<uint8_t> b(len);
        for (auto &x : b)
            x = static_cast<uint8_t>(rng());
        ASSERT_EQ(checksum_be(b), reference_be(b)) << "length " << len;
    }
}

TEST(InChecksum, WorksOnUnalignedData) {
    std::vector<uint8_t> raw = {0xaa, 0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    EXPECT_EQ(stored_be(in_checksum(raw.data() + 1, 8)), 0x220d);
}

TEST(ProtocolName, IsTheNameTheDaemonGaveElseZet) {
    EXPECT_STREQ(zet_protocol_name(7), "zet");
    zet_protocol_set_name(7, "toyd");
    EXPECT_STREQ(zet_protocol_name(7), "toyd");
    EXPECT_STREQ(zet_protocol_name(0), "zet");
    zet_protocol_set_name(7, nullptr);
    EXPECT_STREQ(zet_protocol_name(7), "zet");
}

TEST(Version, PrintsTheBuildGivenToCompileInfoInit) {
    compile_info_init("veskd", 29, "2026-12-06", "09:00:00", 20261206);
    testing::internal::CaptureStdout();
    print_version("veskd");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(veskd version \d+\.\d+\.\d+ \(built 2026-12-06 09:00:00\)\n)")))
        << out;
    std::string text = zet_version_text();
    EXPECT_EQ(text.rfind(out, 0), 0u) << text; // first line
    EXPECT_NE(text.find("20261206"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(Version, VersionTextShowsTheProgramWithoutItsPath) {
    zet_protocol_set_name(29, "veskd");
    compile_info_init("/usr/sbin/veskd", 29, "2026-12-06", "09:00:00", 0);
    std::string text = zet_version_text();
    EXPECT_EQ(text.rfind("veskd version 1", 0), 0u) << text;
    EXPECT_NE(text.find("(built 2026-12-06 09:00:00)\n"), std::string::npos) << text;
    testing::internal::CaptureStdout();
    print_version(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("veskd version ", 0), 0u) << out;
    compile_info_init(nullptr, 29, nullptr, nullptr, 0); // the library's own build stamp
    text = zet_version_text();
    EXPECT_EQ(text.rfind("veskd version ", 0), 0u) << text;
}

TEST(Version, NullProgramNameFallsBackToTheRegisteredOne) {
    compile_info_init("veskd", 29, "2026-12-06", "09:00:00", 0);
    testing::internal::CaptureStdout();
    print_version(nullptr);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("veskd version ", 0), 0u) << out;
}

TEST(Daemonize, ChildDetachesChangesDirectoryAndSilencesStreams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (chdir("/tmp") != 0)
            _exit(3);
        if (pal_daemonize(0, 0) != 0)
            _exit(2);
        // The detached grandchild reports its state through the pipe.
        char cwd[PATH_MAX] = "";
        if (getcwd(cwd, sizeof cwd) == nullptr)
            cwd[0] = '\0';
        struct stat out_st {
        }, null_st{};
        fstat(1, &out_st);
        stat("/dev/null", &null_st);
        std::string report = std::string(getsid(0) == getpid() ? "leader" : "member") + " " + cwd +
                             " " + (out_st.st_rdev == null_st.st_rdev ? "devnull" : "other");
        if (write(fds[1], report.data(), report.size()) < 0)
            _exit(4);
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0); // the parent side exits with 0 at once
    std::string report;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(report, "leader / devnull");
}

TEST(Daemonize, NochdirAndNocloseKeepDirectoryAndStreams) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(fds[0]);
        if (chdir("/tmp") != 0)
            _exit(3);
        int dupped = dup(fds[1]);
        if (dup2(dupped, 1) < 0) // standard output is the pipe
            _exit(3);
        if (pal_daemonize(1, 1) != 0)
            _exit(2);
        char cwd[PATH_MAX] = "";
        if (getcwd(cwd, sizeof cwd) == nullptr)
            cwd[0] = '\0';
        std::string report = std::string(cwd) + "\n";
        if (write(1, report.data(), report.size()) < 0)
            _exit(4);
        _exit(0);
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    std::string report;
    char buf[256];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        report.append(buf, static_cast<size_t>(n));
    close(fds[0]);
    EXPECT_EQ(report, "/tmp\n");
}

} // namespace
