// What the framework's tests share: the framework's headers, the test helpers and the library
// pieces they use, so that each test file begins with this one line.
#pragma once

#include "support/log_capture.h"
#include "support/text.h"
#include "support/toy_commands.h"
#include "support/vty_server.h"
#include "support/wait_until.h"
#include "support/wire_peer.h"
#include "zet/cli/cli.h"
#include "zet/cli/config.h"
#include "zet/cli/host.h"
#include "zet/core/clock.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/log.h"
#include "zet/core/memory.h"
#include "zet/core/pal.h"
#include "zet/core/signal.h"
#include "zet/core/thread.h"
#include "zet/frame/packet.h"
#include "zet/frame/sock.h"
#include "zet/nsm/client.h"
#include "zet/nsm/netlink.h"
#include "zet/nsm/unix.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <regex>

using namespace std::chrono_literals;

namespace zet_test {

// The data files of the framework's tests, by subsystem: data_path("nsm/client.txt").
inline std::string data_path(const std::string &name) {
    return VESK_SOURCE_DIR "/tests/zet/data/" + name;
}

// Calls step with each line of a data file that is neither empty nor a comment, under a trace
// that names the file and line; gives the number of such lines.
template <class Step> int for_each_step(const std::string &name, Step step) {
    std::ifstream in(data_path(name));
    EXPECT_TRUE(in.is_open()) << name;
    int line_no = 0, steps = 0;
    for (std::string line; std::getline(in, line);) {
        SCOPED_TRACE(name + ":" + std::to_string(++line_no) + ": " + line);
        if (!line.empty() && line[0] != '#')
            steps++, step(line);
    }
    return steps;
}

// A child running as user and group 65534 with no groups, which gives its exit status as
// child(); root only. The parent gets the child's pid.
template <class Child> pid_t fork_as_nobody(Child child) {
    pid_t pid = fork();
    if (pid == 0)
        _exit(setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0 ? 99
                                                                                     : child());
    return pid;
}

} // namespace zet_test
