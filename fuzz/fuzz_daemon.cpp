#include "fuzz_daemon.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "vesk/model/model.h"
#include "zet/cli/config.h"
#include "zet/nsm/client.h"
#include "zet/nsm/view.h"

namespace vesk_fuzz {

vesk_test::World world(vesk_test::abort_on_fault);

namespace {

// The running configuration of a fresh daemon with the same switch that read text.
std::string read_back(const std::string &text) {
    start({.commands = true});
    add_switch();
    int failed = read_config(text);
    std::string out = cli_running_config(veskm);
    stop();
    if (failed != 0)
        fail("running configuration has %d failing lines:\n%s", failed, text.c_str());
    return out;
}

std::vector<std::string> sorted_lines(const std::string &text) {
    std::vector<std::string> lines;
    for (size_t begin = 0, end; begin < text.size(); begin = end + 1) {
        end = std::min(text.find('\n', begin), text.size());
        lines.push_back(text.substr(begin, end - begin));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

void fail(const char *format, ...) {
    char buf[8192];
    va_list ap;
    va_start(ap, format);
    std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    vesk_test::abort_on_fault(buf);
}

void start(vesk_test::WorldOptions options) {
    options.quiet = true;
    world.start(options);
    world.set_time_of_day(kTimeOfDay);
}

void stop() {
    world.stop(vesk_test::Leaks::ALL);
}

void add_switch() {
    world.make_port("ge1", 1, {1, 10, 20});
    world.make_port("ge2", 2, {1, 10});
    world.make_port("ge10", 3, {30});
    world.make_port("xe1", 4, {1});
    world.make_interface("eth0", 5);
}

int read_config(const std::string &text) {
    // An anonymous in-memory file: nothing reaches the disk.
    int fd = memfd_create("vesk-fuzz-config", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("memfd for the configuration failed");
    int failed = host_config_read(veskm, ("/proc/self/fd/" + std::to_string(fd)).c_str());
    close(fd);
    return failed;
}

void check_round_trip_and_stop() {
    std::string first = cli_running_config(veskm);
    stop();
    std::string second = read_back(first);
    std::string third = read_back(second);
    if (sorted_lines(first) != sorted_lines(second))
        fail("running configuration changes when read back:\n%s\n--- gives ---\n%s",
             first.c_str(), second.c_str());
    if (second != third)
        fail("running configuration read back twice differs:\n%s\n--- then ---\n%s",
             second.c_str(), third.c_str());
}

void apply_view(const nsm_view &view) {
    nsm_client_apply_view(veskm->nc, view);
    world.check_model();
}

void check_all_gone() {
    apply_view(nsm_view{});
    if (world.bridge() != nullptr && listhead(world.bridge()->port_list) != nullptr)
        fail("ports left after every interface went");
}

void enter_scratch() {
    const char *dir = std::getenv("VESK_FUZZ_SCRATCH");
    char made[] = "/tmp/vesk-fuzz-XXXXXX";
    if (dir == nullptr || *dir == '\0')
        dir = mkdtemp(made);
    int null = open("/dev/null", O_WRONLY);
    if (dir == nullptr || chdir(dir) != 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0)
        fail("no scratch directory or /dev/null");
    close(null);
}

} // namespace vesk_fuzz
