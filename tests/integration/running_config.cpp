// The running configuration survives a restart: a real veskd on the socket backends is configured
// through its vty with the lines of running-config/NAME.conf, writes its configuration with
// "write", is stopped and started again on the same file, and shows before and after exactly what
// NAME.golden holds (VESK_UPDATE_GOLDEN=1 rewrites it, to be reviewed with git diff).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/daemon_process.h"

namespace {

TEST(RunningConfig, WriteAndRestartShowTheSameConfigurationAndPortStates) {
    std::set<std::filesystem::path> files;
    for (const auto &e :
         std::filesystem::directory_iterator(VESK_SOURCE_DIR "/tests/integration/running-config"))
        if (e.path().extension() == ".conf")
            files.insert(e.path());
    ASSERT_FALSE(files.empty());
    for (std::filesystem::path file : files) {
        SCOPED_TRACE(file.string());
        vesk_test::Veskd d;
        ASSERT_NO_FATAL_FAILURE(
            d.start_nsm({"if-add 5 ge1 up", "if-add 6 ge2 up", "if-add 7 ge3 up", "if-add 8 ge4 up",
                         "if-add 9 xe1 up", "if-add 10 lo up", "bridge-add 1", "vlan-add 1 1",
                         "vlan-add 1 5", "vlan-add 1 7", "vlan-add 1 8", "port-add 5 1 5 7",
                         "port-add 6 1 5", "port-add 7 5", "port-add 8 1 8", "port-add 9 1"}));
        ASSERT_NO_FATAL_FAILURE(d.start_on_sockets());
        std::vector<std::string> lines;
        std::istringstream in(vesk_test::read_file(file));
        for (std::string line; std::getline(in, line);)
            if (!line.starts_with("#"))
                lines.push_back(line);
        ASSERT_NO_FATAL_FAILURE(d.configure(lines));
        auto views = [&] {
            std::string all;
            for (const char *view : {"show running-config", "show loop-detect",
                                     "show wmi port loopback infomation", "show wmi loop-detect"})
                all += std::string("== ") + view + "\n" + d.cmd(view);
            for (size_t at; (at = all.find(d.dir())) != std::string::npos;)
                all.replace(at, d.dir().size(), "$DIR");
            return all;
        };
        const std::string golden = file.replace_extension(".golden");
        if (std::getenv("VESK_UPDATE_GOLDEN") != nullptr)
            std::ofstream(golden) << views();
        EXPECT_EQ(views(), vesk_test::read_file(golden));
        d.cmd("write");
        ASSERT_EQ(d.stop(), 0);
        ASSERT_NO_FATAL_FAILURE(d.start_on_sockets());
        EXPECT_EQ(views(), vesk_test::read_file(golden)) << "after the restart";
    }
}

} // namespace
