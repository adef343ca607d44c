// What the framework's tests share: the framework's headers, the test helpers and the library
// pieces they use, so that each test file begins with this one line.
#pragma once

#include "support/daemon_process.h"
#include "support/daemon_shell.h"
#include "support/log_capture.h"
#include "support/text.h"
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

// A view as tests/zet/data/nsm/client.txt writes it (see the file).
inline nsm_view view_of(const std::string &text) {
    nsm_view v;
    std::istringstream words(text);
    for (std::string w; words >> w;) {
        size_t at = w.find('@'), eq = w.find('='), colon = w.find(':'), slash = w.find('/');
        std::string list = eq == std::string::npos ? "" : w.substr(eq + 1);
        std::replace(list.begin(), list.end(), ',', ' ');
        std::istringstream items(list);
        std::set<uint16_t> vids, untagged, stp;
        for (std::string vid; items >> vid;)
            (vid.ends_with('u')   ? untagged
             : vid.ends_with('s') ? stp
                                  : vids)
                .insert(uint16_t(std::stoi(vid)));
        vids.insert(untagged.begin(), untagged.end());
        vids.insert(stp.begin(), stp.end());
        if (w.starts_with("br:")) {
            v.bridges[w.substr(3, eq - 3)].vlans = vids;
        } else if (w.starts_with("port@")) {
            v.ports[std::stoul(w.substr(5))] = {vids, untagged, 0, stp};
        } else {
            uint32_t flags = 0;
            for (char f : w.substr(colon + 1, slash - colon - 1))
                flags |= f == 'u' ? IFF_UP : f == 'r' ? IFF_RUNNING : IFF_PROMISC;
            auto mac = uint8_t(slash == std::string::npos ? 1 : std::stoi(w.substr(slash + 1)));
            v.ifs[std::stoul(w.substr(at + 1))] = {w.substr(0, at), flags, {2, 0, 0, 0, 0, mac}, 6};
        }
    }
    return v;
}

// A Unix socket of the type bound at path, listening if a stream: its descriptor, or -1.
inline int bound(const std::string &path, int type) {
    sockaddr_un sun{AF_UNIX, {}};
    path.copy(sun.sun_path, sizeof sun.sun_path - 1);
    const int fd = socket(AF_UNIX, type, 0);
    const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0 &&
                    (type != SOCK_STREAM || listen(fd, 8) == 0);
    return ok ? fd : -1;
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
