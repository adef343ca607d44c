// A toy daemon's commands and running-configuration writers for the framework's shell tests:
// commands without behaviour print what reached them (ran "show toy interface IFNAME" [ge1]
// mode 4); hidden "toy ..." commands are test instruments.
#pragma once

#include <string>

struct lib_globals;
struct cli;

namespace vesk_test {

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
