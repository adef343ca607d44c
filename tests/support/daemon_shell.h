// The daemon's own command shell for the framework's shell and vty tests: the test world's daemon
// (support/world.h) with bridge "1", its vty socket in a scratch directory, and a context at
// privilege 15.
#pragma once

#include "support/world.h"

#include <string>

struct cli;

namespace vesk_test {

// Hidden commands only a test has: "test log <0-7> LINE" logs a line (each "\n" a line end) at a
// priority, "test output N" prints N bytes and a line end (a reply that fills the vty's queue).
void install_test_commands(struct lib_globals *zg);

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
