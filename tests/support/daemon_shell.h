// The daemon's own command shell for the framework's shell and vty tests: the test world's daemon
// (support/world.h) with bridge "1", its vty socket in a scratch directory, and a context at
// privilege 15.
#pragma once

#include "support/world.h"

#include <string>

struct cli;

namespace vesk_test {

struct DaemonShell {
    DaemonShell();
    ~DaemonShell();
    bool start(); // false when the daemon cannot be had
    void stop();  // frees the context and the daemon; start may follow
    std::string dir;
    World world;
    struct lib_globals *zg = nullptr;
    struct cli *cli = nullptr;
};

} // namespace vesk_test
