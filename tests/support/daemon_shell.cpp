#include "support/daemon_shell.h"

#include "support/text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>

namespace vesk_test {
namespace {

// Both refuse an argv without its end.
int test_log(struct cli *cli, int argc, char **argv) {
    zlog(cli->zg, nullptr, std::stoi(argv[0]), "%s", replace_all(argv[1], "\\n", "\n").c_str());
    return argv[argc] != nullptr;
}
int test_output(struct cli *cli, int argc, char **argv) {
    cli_out(cli, "%s\n", std::string(std::stoul(argv[0]), 'b').c_str());
    return argv[argc] != nullptr;
}

} // namespace

void install_test_commands(struct lib_globals *zg) {
    for (const cli_element &cel : {cli_element{"test log <0-7> LINE", test_log, nullptr},
                                   cli_element{"test output <1-100000000>", test_output, nullptr}})
        cli_install_gen(zg->ctree, EXEC_MODE, PRIVILEGE_MAX, CLI_FLAG_HIDDEN, &cel);
}

DaemonShell::DaemonShell() : world([](const std::string &fault) { ADD_FAILURE() << fault; }) {
    char tmpl[] = "/tmp/zet-shell-XXXXXX";
    if (mkdtemp(tmpl) != nullptr)
        dir = tmpl;
}

DaemonShell::~DaemonShell() {
    stop();
    if (!dir.empty())
        std::system(("rm -rf " + dir).c_str());
}

bool DaemonShell::start() {
    if (dir.empty() || !world.start({.quiet = true}))
        return false;
    zg = world.handle();
    // The vty's timers keep real time unless a session asks for the virtual clock.
    zet_clock_use_monotonic();
    host_vty_set_unix(zg, (dir + "/vty").c_str(), nullptr, nullptr);
    install_test_commands(zg);
    cli = cli_new(zg, PRIVILEGE_MAX);
    return true;
}

void DaemonShell::stop() {
    cli_free(std::exchange(cli, nullptr));
    if (std::exchange(zg, nullptr) != nullptr)
        world.stop();
}

} // namespace vesk_test
