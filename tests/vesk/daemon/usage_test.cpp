// The command line of veskd: option order, repeated options, and the texts it prints.
#include "vesk/daemon/usage.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct argv_builder {
    std::vector<std::string> words;
    std::vector<char *> ptrs;

    explicit argv_builder(std::initializer_list<const char *> list) {
        for (const char *w : list)
            words.emplace_back(w);
        for (auto &w : words)
            ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
    char **argv() { return ptrs.data(); }
};

vesk_opt_action parse(argv_builder &args, vesk_options *opts) {
    // getopt reports bad options on stderr; keep the test output readable.
    testing::internal::CaptureStderr();
    vesk_opt_action action = vesk_parse_options(args.argc(), args.argv(), opts);
    testing::internal::GetCapturedStderr();
    return action;
}

std::string capture(FILE *(*open_stream)(), int status) {
    FILE *out = open_stream();
    FILE *err = open_stream();
    vesk_print_usage(out, err, status, "veskd");
    FILE *which = status == 0 ? out : err;
    std::string text(4096, '\0');
    rewind(which);
    text.resize(fread(text.data(), 1, text.size(), which));
    fclose(out);
    fclose(err);
    return text;
}

TEST(VeskUsage, NoOptionsGiveForegroundNoConfigAndPort2610) {
    argv_builder args{"/usr/sbin/veskd"};
    vesk_options opts{};
    EXPECT_EQ(parse(args, &opts), VESK_OPT_START);
    EXPECT_EQ(opts.daemon_mode, 0);
    EXPECT_EQ(opts.config_file, nullptr);
    EXPECT_EQ(opts.vty_port, 2610);
    EXPECT_STREQ(opts.progname, "veskd");
}

TEST(VeskUsage, ProgramNameIsTextAfterLastSlashOrWholeWord) {
    EXPECT_STREQ(vesk_progname("/opt/a/b/veskd"), "veskd");
    EXPECT_STREQ(vesk_progname("veskd-test"), "veskd-test");
    EXPECT_STREQ(vesk_progname("dir/"), "");
}

TEST(VeskUsage, LongAndShortOptionsFillTheOptions) {
    argv_builder args{"veskd", "--daemon", "--config_file", "/etc/vesk.conf", "--vty_port", "0"};
    vesk_options opts{};
    EXPECT_EQ(parse(args, &opts), VESK_OPT_START);
    EXPECT_EQ(opts.daemon_mode, 1);
    EXPECT_STREQ(opts.config_file, "/etc/vesk.conf");
    EXPECT_EQ(opts.vty_port, 0);
}

TEST(VeskUsage, RepeatedOptionsUseTheLaterValue) {
    argv_builder args{"veskd", "-P", "2700", "-f", "a.conf", "-P", "2800", "-f", "b.conf"};
    vesk_options opts{};
    EXPECT_EQ(parse(args, &opts), VESK_OPT_START);
    EXPECT_EQ(opts.vty_port, 2800);
    EXPECT_STREQ(opts.config_file, "b.conf");
}

TEST(VeskUsage, HelpAndVersionActAtOnce) {
    argv_builder help{"veskd", "-h", "-x"};
    vesk_options opts{};
    EXPECT_EQ(parse(help, &opts), VESK_OPT_HELP);
    argv_builder version{"veskd", "-v", "--no-such-option"};
    EXPECT_EQ(parse(version, &opts), VESK_OPT_VERSION);
    argv_builder later{"veskd", "-P", "1", "--version"};
    EXPECT_EQ(parse(later, &opts), VESK_OPT_VERSION);
}

TEST(VeskUsage, ListedButUnhandledAndUnknownOptionsAreBad) {
    for (auto list : {std::initializer_list<const char *>{"veskd", "-r"},
                      std::initializer_list<const char *>{"veskd", "-p", "x"},
                      std::initializer_list<const char *>{"veskd", "-z"},
                      std::initializer_list<const char *>{"veskd", "--bogus"},
                      std::initializer_list<const char *>{"veskd", "-f"}}) {
        argv_builder args(list);
        vesk_options opts{};
        EXPECT_EQ(parse(args, &opts), VESK_OPT_BAD) << args.words[1];
    }
}

TEST(VeskUsage, PortThatIsNoNumberOrTooLargeIsRefusedAndNamed) {
    for (const char *bad : {"x", "", "70000", "-1", "12ab", "+5"}) {
        argv_builder args{"veskd", "-P", bad};
        vesk_options opts{};
        testing::internal::CaptureStderr();
        EXPECT_EQ(vesk_parse_options(args.argc(), args.argv(), &opts), VESK_OPT_BAD) << bad;
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find("invalid vty port"), std::string::npos) << err;
    }
    argv_builder edge{"veskd", "-P", "65535"};
    vesk_options opts{};
    EXPECT_EQ(parse(edge, &opts), VESK_OPT_START);
    EXPECT_EQ(opts.vty_port, 65535);
}

TEST(VeskUsage, ParsingTwiceStartsFromTheFirstWordAgain) {
    argv_builder first{"veskd", "-d", "-P", "5"};
    vesk_options opts{};
    EXPECT_EQ(parse(first, &opts), VESK_OPT_START);
    argv_builder second{"veskd"};
    EXPECT_EQ(parse(second, &opts), VESK_OPT_START);
    EXPECT_EQ(opts.daemon_mode, 0);
    EXPECT_EQ(opts.vty_port, 2610);
}

TEST(VeskUsage, UsageTextIsExact) {
    EXPECT_EQ(capture(tmpfile, 0),
              "Usage : veskd [OPTION...]\n\n"
              "Daemon which manages kernel routing table management and redistribution between "
              "different routing protocols.\n\n"
              "-d, --daemon       Runs in daemon mode\n"
              "-f, --config_file  Set configuration file name\n"
              "-P, --vty_port     Set vty's port number\n"
              "-v, --version      Print program version\n"
              "-h, --help         Display this help and exit\n\n"
              "Report bugs to <veskd-bugs@example.org>\n");
}

TEST(VeskUsage, HintLineGoesToTheErrorStream) {
    EXPECT_EQ(capture(tmpfile, 1), "Try `veskd --help' for more information.\n");
}

} // namespace
