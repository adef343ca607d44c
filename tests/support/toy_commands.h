// A toy daemon's commands and running-configuration writers for the framework's shell tests,
// and a transcript runner. Commands without behaviour of their own print what reached them:
//   ran "show toy interface IFNAME" [ge1] mode 4
// Hidden exec commands are test instruments: "toy run LINE" (a shell command and its output),
// "toy log PRIORITY TEXT", "toy read FILE" (host_config_read), "toy start FILE" (host_config_start
// without TCP), "toy rotate" (zlog_rotate), "toy reset" (forgets the toy's settings) and "toy
// complain" (the toy's global writer then prints an operator message).
// A transcript holds "> LINE" (run as the vty runs it: "?" at its end asks for help, "\t" for
// completion), then "| TEXT" per output line, "~ PRIORITY TEXT" per log line and "= RESULT
// PROMPT" (RESULT a number or the CLI_ERR_* name in lower case; "closed" after the prompt once
// the session asked to close). Other lines are comments.
#pragma once

#include <string>

struct lib_globals;
struct cli;

namespace vesk_test {

// Installs the toy commands and writers in zg (forgetting earlier toy settings) and creates
// the interfaces ge10, ge2, ge1 and po1. Gives false when any of it fails.
bool toy_install(struct lib_globals *zg);

// Runs the transcript's lines through cli and gives it back with what really happened.
std::string toy_transcript(struct cli *cli, const std::string &script);

// A scratch directory, and in it the vty socket of a framework handle (log on standard error,
// event loop, the vty commands and the toy), with a context at privilege 15.
struct ToyShell {
    ToyShell();
    ~ToyShell();
    bool start(); // false when the handle cannot be had
    void stop();  // frees the context and the handle (lib_stop); start may follow
    std::string dir;
    struct lib_globals *zg = nullptr;
    struct cli *cli = nullptr;
};

// A file's bytes ("" when it cannot be read), and text with every from replaced by to.
std::string read_text(const std::string &path);
std::string replace_all(std::string text, const std::string &from, const std::string &to);

} // namespace vesk_test
