// A line as a vty session runs it: "?" at its end asks for help, a TAB for completions, anything
// else runs (fallback: the configuration file's retry in the enclosing mode). Header-only for fuzz.
#pragma once

#include <string>

#include "zet/cli/cli.h"

namespace vesk_test {

// The command's result; 0 for help and completions.
inline int run_typed_line(struct cli *cli, std::string line, bool fallback) {
    const char last = line.empty() ? '\0' : line.back();
    if (last == '?' || last == '\t')
        line.pop_back();
    if (last == '?')
        cli_describe(cli, line.c_str());
    else if (last == '\t')
        cli_out(cli, "%s\n", cli_complete(cli, line.c_str()).c_str());
    else
        return cli_execute(cli, line.c_str(), fallback);
    return 0;
}

} // namespace vesk_test
