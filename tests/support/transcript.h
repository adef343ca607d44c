// Transcripts: files of comments ("#"), typed lines after their prompt ("veskd# show x"),
// actions ("@ WORDS", the driver's own) and transcripts run first ("< FILE", checked in its own
// file). After a typed line or action comes what it printed (a printed line that reads as a step
// after "\", and "\ no newline" after a last line without its end), then "=> RESULT" unless the
// result is the default (0, or 1 after a first line "% ..."), then "log: TEXT" per log line.
// The run writes the transcript anew from what each step gave and compares it with the file;
// VESK_UPDATE_GOLDEN=1 writes it back instead.
#pragma once

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace vesk_test {

// A step of a scenario file (.scn) or vty session (.vty): a line, after an optional "<MS ",
// "MIN..MAX " or "Nx ", and the check lines ("= ", "~ ", "! ", "% ") after it.
struct Step {
    int line = 0, times = 1;
    long min = -1, max = -1; // ms: not before, and within (polled); -1: none
    std::string verb, arg;
    std::vector<std::string> checks;
};
struct Case {
    std::string name, path;
    std::vector<Step> steps; // none for a transcript (.txt)
};
// Its file in the source tree: else ctest's list and a failure show the case as its raw bytes.
void PrintTo(const Case &c, std::ostream *os);

// The cases of the files under dir whose names (without extension) match the regular expression
// names, by path: a transcript is one, a scenario file one, or one a "test NAME" block, which the
// steps before its first block begin.
std::vector<Case> read_cases(const std::string &dir, const std::string &names);
// TEST_P(SUITE, NAME) over the cases of DIR whose names match NAMES, PREFIX/SUITE.NAME/<case>;
// its body follows.
#define VESK_CASES(PREFIX, SUITE, NAME, DIR, NAMES)                                                \
    INSTANTIATE_TEST_SUITE_P(PREFIX, SUITE,                                                        \
                             ::testing::ValuesIn(vesk_test::read_cases(DIR, NAMES)),               \
                             [](const auto &i) { return i.param.name; });                          \
    TEST_P(SUITE, NAME)

struct TranscriptStep {
    std::vector<std::string> printed, logged; // logged: the log lines, without "log: "
    int result = 0;
};

// prompt gives the prompt of the next typed line; run runs a typed line or an action's words.
void run_transcript(const std::string &path, const std::function<std::string()> &prompt,
                    const std::function<TranscriptStep(const std::string &text, bool typed)> &run);

// The lines of text, "\ no newline" after a last one without its end.
std::vector<std::string> text_lines(const std::string &text);

} // namespace vesk_test
