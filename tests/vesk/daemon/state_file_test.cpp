// The state file is read by root at start-up and may have been written by anyone who could
// write there: only what veskd writes itself is accepted, anything else is refused whole.
#include "vesk/daemon/state_file.h"

#include <gtest/gtest.h>

#include "support/transcript.h"

namespace {

TEST(StateFileParse, AcceptsOnlyWhatVeskdWrites) {
    std::vector<vesk_test::Case> cases;
    ASSERT_EQ(vesk_test::cases_load(VESK_SOURCE_DIR "/tests/vesk/daemon/state-file-cases.txt",
                                    cases),
              "");
    for (const auto &c : cases) {
        vesk_state_entry entries[4]{};
        int bad_line = 0;
        const int n = vesk_state_parse(c.input.data(), c.input.size(), entries, 4, &bad_line);
        EXPECT_EQ(std::to_string(n) + " " + std::to_string(bad_line), c.expected) << c.where;
    }
    const std::string text = "veskd-state 1\nshutdown 4294967295 xe1/1 1765000000\n";
    vesk_state_entry e{};
    ASSERT_EQ(vesk_state_parse(text.data(), text.size(), &e, 1, nullptr), 1);
    EXPECT_EQ(e.ifindex, 4294967295u);
    EXPECT_STREQ(e.name, "xe1/1");
    EXPECT_EQ(e.deadline, 1765000000);
}

} // namespace
