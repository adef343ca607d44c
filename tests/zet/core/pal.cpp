// The small platform services: the Internet checksum, the version text (daemonizing is
// integration/scenarios/daemon_mode.scn's).
#include "../zet_test.h"

namespace {

// in_checksum sums in memory order, so its result stored into memory reads as the big-endian
// checksum on any host: this gives those two bytes as a big-endian number.
uint16_t checksum_be(const uint8_t *b, int len) {
    uint16_t sum = in_checksum(b, len);
    uint8_t bytes[2];
    std::memcpy(bytes, &sum, 2);
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
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

TEST(Pal, VersionShowsTheBuildAndTheProgramWithoutItsPath) {
    zet_set_name(nullptr, nullptr);
    EXPECT_EQ(std::string(zet_name()) + " " + zet_client_name(), "zet the client")
        << "no name until the daemon gives one";
    zet_set_name("veskd", "vesk-cli");
    compile_info_init("/usr/sbin/veskd", "2026-12-06", "09:00:00", 20261206);
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
    compile_info_init(nullptr, nullptr, nullptr, 0); // the library's own build stamp
    EXPECT_TRUE(std::string(zet_version_text()).starts_with("veskd version "))
        << zet_version_text();
}

} // namespace
