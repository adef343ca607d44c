// The command line of veskd: option order, repeated options, and the texts it prints.
#include "vesk/daemon/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/transcript.h"

namespace {

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

TEST(VeskUsage, OptionsInAnyOrderTheLaterWinningAndBadOnesRefused) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(kDir + "usage-cases.txt", cases), "");
    vesk_options opts{};
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.input, &opts), c.expected) << c.where;
}

// The usage text goes to the output stream, the hint line to the error stream.
TEST(VeskUsage, UsageTextAndHintLine) {
    std::ifstream golden(kDir + "usage.golden");
    std::stringstream usage;
    usage << golden.rdbuf();
    const std::string want[2][2] = {{usage.str(), ""},
                                    {"", "Try `veskd --help' for more information.\n"}};
    for (int status : {0, 1}) {
        FILE *streams[2] = {tmpfile(), tmpfile()};
        vesk_print_usage(streams[0], streams[1], status, "veskd");
        for (int i = 0; i < 2; i++) {
            std::string text(4096, '\0');
            rewind(streams[i]);
            text.resize(fread(text.data(), 1, text.size(), streams[i]));
            fclose(streams[i]);
            EXPECT_EQ(text, want[status][i]) << status;
        }
    }
}

} // namespace
