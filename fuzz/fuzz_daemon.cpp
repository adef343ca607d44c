#include "fuzz_daemon.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <sys/mman.h>
#include <unistd.h>

#include "vesk/model/model.h"
#include "zet/cli/host.h"
#include "zet/nsm/client.h"
#include "zet/nsm/view.h"

namespace vesk_fuzz {

vesk_test::World world(vesk_test::abort_on_fault);

namespace {

// The running configuration of a fresh daemon with the same switch that read text.
std::string read_back(const std::string &text) {
    int failed = start_switch(text);
    std::string out = cli_running_config(world.handle());
    stop();
    if (failed != 0)
        fail("running configuration has %d failing lines:\n%s", failed, text.c_str());
    return out;
}

std::multiset<std::string> line_set(const std::string &text) {
    std::multiset<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.insert(l);
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
    world.stop();
}

int start_switch(const std::string &config) {
    start();
    world.make_port("ge1", 1, {1, 10, 20});
    world.make_port("ge2", 2, {1, 10});
    world.make_port("ge10", 3, {30});
    world.make_port("xe1", 4, {1});
    world.make_interface("eth0", 5);
    return read_config(config);
}

int read_config(const std::string &text) {
    // An anonymous in-memory file: nothing reaches the disk.
    int fd = memfd_create("vesk-fuzz-config", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("memfd for the configuration failed");
    int failed = host_config_read(world.handle(), ("/proc/self/fd/" + std::to_string(fd)).c_str());
    close(fd);
    return failed;
}

void check_round_trip_and_stop() {
    std::string first = cli_running_config(world.handle());
    stop();
    std::string second = read_back(first);
    std::string third = read_back(second);
    if (line_set(first) != line_set(second))
        fail("running configuration changes when read back:\n%s\n--- gives ---\n%s", first.c_str(),
             second.c_str());
    if (second != third)
        fail("running configuration read back twice differs:\n%s\n--- then ---\n%s", second.c_str(),
             third.c_str());
}

void apply_view(const nsm_view &view) {
    nsm_client_apply_view(world.handle()->nc, view);
    world.check_model();
}

void check_all_gone_and_stop() {
    apply_view(nsm_view{});
    if (world.bridge() != nullptr && !world.bridge()->ports.empty())
        fail("ports left after every interface went");
    stop();
}

} // namespace vesk_fuzz

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    const char *dir = std::getenv("VESK_FUZZ_SCRATCH");
    char made[] = "/tmp/vesk-fuzz-XXXXXX";
    if (dir == nullptr || *dir == '\0')
        dir = mkdtemp(made);
    int null = open("/dev/null", O_WRONLY);
    if (dir == nullptr || chdir(dir) != 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0)
        vesk_fuzz::fail("no scratch directory or /dev/null");
    close(null);
    return 0;
}
