// Transcript files: a command-shell session written down as an operator would read it, with
// what each command must print, give and log. Steps, one after another:
//
//   # text                a comment (blank lines between steps are ignored too)
//   @WORD ARGS            an action on the test's world (the test program defines the words)
//   - LINE                a set-up command: it must give 0; its output and log are not checked
//   PROMPT LINE           a command typed at PROMPT ("veskd# ", "veskd(config-if)# ", ...; the
//                         prompt is checked too); a LINE ending in "?" asks for help instead
//   TEXT ...              what the command printed, line by line, exactly (blank lines too)
//   \ no newline          the line before ends without a line end
//   \ stdout:             the lines after it went to standard output instead of the shell
//   => N                  the command's result; it ends the command
//   log: TEXT             a log line; an action or a command must log exactly the lines
//                         listed after it (none listed: nothing logged)
//
// The run writes the file anew with what each step really gave and compares the two.
// VESK_UPDATE_GOLDEN=1 writes that back, to be reviewed with git diff before it is committed;
// without it a difference fails.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vesk_test {

// What a step gave: the prompt it ran at, its output, standard output, result and log.
struct StepResult {
    std::string prompt, output, out_stdout;
    int result = 0;
    std::vector<std::string> log;
};

// Runs a step of kind '@' (action), '-' (set-up) or '>' (command, at prompt); gives "" or why
// it could not be done.
using TranscriptRunner = std::function<std::string(char kind, const std::string &prompt,
                                                   const std::string &text, StepResult &got)>;

// Runs the transcript at path; gives "" or "PATH:LINE: ..." for the first line that differed.
std::string transcript_run(const std::string &path, const TranscriptRunner &run);

} // namespace vesk_test
