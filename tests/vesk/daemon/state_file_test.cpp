// The state file is read by root at start-up and may have been written by anyone who could
// write there: only what veskd writes itself is accepted, anything else is refused whole.
#include "vesk/daemon/state_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Case {
    const char *what;
    std::string text;
    int count; // -1: refused
    int bad_line;
};

class StateFileParse : public ::testing::TestWithParam<Case> {};

TEST_P(StateFileParse, AcceptsOnlyWhatVeskdWrites) {
    const Case &c = GetParam();
    std::vector<vesk_state_entry> entries(4);
    int bad_line = 0;
    EXPECT_EQ(vesk_state_parse(c.text.data(), c.text.size(), entries.data(), 4, &bad_line),
              c.count);
    EXPECT_EQ(bad_line, c.bad_line);
}

const std::string H = "veskd-state 1\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, StateFileParse,
    ::testing::Values(
        Case{"no ports", H, 0, 0},
        Case{"two ports", H + "shutdown 5 ge1 10\nshutdown 6 ge2 0\n", 2, 0},
        Case{"no final newline", H + "shutdown 5 ge1 10", 1, 0}, Case{"empty file", "", -1, 1},
        Case{"other header", "veskd-state 2\n", -1, 1},
        Case{"unknown kind", H + "blocked 5 ge1 10\n", -1, 2},
        Case{"a blocked port", H + "block 5 ge1 10\n", 1, 0},
        Case{"index 0", H + "shutdown 0 ge1 10\n", -1, 2},
        Case{"index beyond 32 bits", H + "shutdown 4294967296 ge1 10\n", -1, 2},
        Case{"negative deadline", H + "shutdown 5 ge1 -1\n", -1, 2},
        Case{"trailing word", H + "shutdown 5 ge1 10 x\n", -1, 2},
        Case{"control byte in name",
             H + "shutdown 5 g\x1b"
                 "1 10\n",
             -1, 2},
        Case{"name too long", H + "shutdown 5 " + std::string(21, 'e') + " 10\n", -1, 2},
        Case{"longest name", H + "shutdown 5 " + std::string(20, 'e') + " 10\n", 1, 0},
        Case{"blank line", H + "\nshutdown 5 ge1 10\n", -1, 2},
        Case{"more ports than room",
             H + "shutdown 1 a 1\nshutdown 2 b 1\nshutdown 3 c 1\n"
                 "shutdown 4 d 1\nshutdown 5 e 1\n",
             -1, 6}),
    [](const auto &info) {
        std::string name = info.param.what;
        for (char &ch : name)
            if (ch == ' ')
                ch = '_';
        return name;
    });

TEST(StateFileParse, KeepsTheFieldsOfEachLine) {
    const std::string text = H + "shutdown 4294967295 xe1/1 1765000000\n";
    vesk_state_entry e{};
    ASSERT_EQ(vesk_state_parse(text.data(), text.size(), &e, 1, nullptr), 1);
    EXPECT_EQ(e.ifindex, 4294967295u);
    EXPECT_STREQ(e.name, "xe1/1");
    EXPECT_EQ(e.deadline, 1765000000);
}

} // namespace
