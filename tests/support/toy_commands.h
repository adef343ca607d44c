// A toy daemon's commands and running-configuration writers for the framework's shell tests
// (commands without behaviour print what reached them: ran "show toy interface IFNAME" [ge1]
// mode 4; hidden "toy ..." commands are test instruments), and a transcript runner in the
// format of tests/vesk's: "PROMPT LINE" runs LINE as the vty runs it ("?" or "\t" at its end ask
// for help or completion); what it printed follows ("(no line end)" if it lacked one), then
// "=> RESULT" unless the result is the default (0, or 1 after a first line "% ..."),
// "log: PRIORITY TEXT" per log line and "(closed)"; "#" lines are comments.
#pragma once

#include <string>

struct lib_globals;
struct cli;

namespace vesk_test {

// Runs the transcript's lines through cli and gives it back with what really happened.
std::string toy_transcript(struct cli *cli, const std::string &script);

// A scratch directory, and in it the vty socket of a framework handle (log on standard error,
// event loop, the vty commands and the toy with interfaces ge10, ge2, ge1 and po1), with a
// context at privilege 15.
struct ToyShell {
    ToyShell();
    ~ToyShell();
    bool start(); // false when the handle cannot be had
    void stop();  // frees the context and the handle (lib_stop); start may follow
    std::string dir;
    struct lib_globals *zg = nullptr;
    struct cli *cli = nullptr;
};

} // namespace vesk_test
