// Transcripts: files of comments ("#"), typed lines after their prompt ("veskd# show x"),
// actions ("@ WORDS", the driver's own) and transcripts run first ("< FILE", checked in its own
// file). After a typed line or action comes what it printed (a printed line that reads as a step
// after "\", and "\ no newline" after a last line without its end), then "=> RESULT" unless the
// result is the default (0, or 1 after a first line "% ..."), then "log: TEXT" per log line.
// The run writes the transcript anew from what each step gave and compares it with the file;
// VESK_UPDATE_GOLDEN=1 writes it back instead.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace vesk_test {

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
