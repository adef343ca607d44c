#include "fuzz_daemon.h"
#include "model_check.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "vesk/cli/cli.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/start.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/host/zet.h"
#include "vesk/model/model.h"
#include "vesk/nsm/nsm.h"

namespace vesk_fuzz {

namespace {

constexpr uint32_t kUpRunning = 0x1 | 0x40;
long time_of_day = kTimeOfDay;

int fuzz_time(struct timeval *tv, void *) {
    tv->tv_sec = time_of_day;
    tv->tv_usec = 0;
    return 0;
}

void remove_ports(vesk_bridge *b) {
    while (listhead(b->port_list) != nullptr) {
        auto *port = static_cast<vesk_port *>(listgetdata(listhead(b->port_list)));
        vesk_remove_port_from_bridge(port->ifp, b->name);
        if (listhead(b->port_list) != nullptr && listgetdata(listhead(b->port_list)) == port)
            fail("port %s cannot be removed", port->name);
    }
}

// Port removal finds the bridge through the master, so the bridge is unlinked last.
void free_bridge(vesk_master *master, vesk_bridge *b) {
    remove_ports(b);
    for (uint16_t vid : vesk_check::bridge_vlan_ids(b))
        vesk_bridge_del_vlan(b, vid);
    listnode_delete(master->bridge_list, b);
    list_free(b->port_list);
    route_table_finish(b->vlan_table);
    pal_mem_free(MTYPE_VESK_BRIDGE, b);
}

void free_model() {
    vesk_master *master = vesk_get_master(veskm);
    if (master == nullptr)
        return;
    while (listhead(master->bridge_list) != nullptr)
        free_bridge(master, static_cast<vesk_bridge *>(listgetdata(listhead(master->bridge_list))));
    list_free(master->bridge_list);
    if (master->vr != nullptr)
        master->vr->proto = nullptr;
    pal_mem_free(MTYPE_VESK_MASTER, master);
}

void report_live(void *, int type, long live) {
    std::fprintf(stderr, "live records of allocation type %d: %ld\n", type, live);
}

// The running configuration of a fresh daemon with the same switch that read text.
std::string read_back(const std::string &text) {
    StartOptions options;
    options.commands = true;
    start(options);
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
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(begin, end - begin));
        begin = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

} // namespace

void fail(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    std::fprintf(stderr, "model fault: ");
    std::vfprintf(stderr, format, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
    std::abort();
}

void start(const StartOptions &options) {
    vesk_global_debug = {};
    record_vesk = {};
    sockfd = -1;
    time_of_day = kTimeOfDay;
    vesk_frame_set_time_source(fuzz_time);
    zet_clock_use_virtual(kClockStart);
    veskm = lib_start();
    if (veskm == nullptr)
        fail("lib_start failed");
    veskm->protocol = VESK_PROTOCOL;
    zet_protocol_set_name(VESK_PROTOCOL, VESK_NAME);
    veskm->master = thread_master_create();
    if (veskm->master == nullptr || openzlog(veskm, 0, VESK_PROTOCOL, ZLOG_DEST_SYSLOG) == nullptr)
        fail("framework start failed");
    // Debug lines are formatted (their code paths count) but written nowhere.
    if (zlog_set_discard(veskm->log) != 0)
        fail("log discarding failed");
    if (veskm->nc == nullptr && nsm_client_create(veskm, 0) == nullptr)
        fail("nsm client failed");
    if (options.commands) {
        vesk_lib_cli_init(veskm);
        vesk_cli_init(veskm);
    }
    if (options.nsm_handlers)
        vesk_nsm_client_setup(veskm, veskm->nc);
    if (vesk_master_init(ovx_vr_get_privileged(veskm)) != 0)
        fail("master failed");
    if (options.bridge &&
        vesk_add_bridge(vesk_get_master(veskm)->bridge_list, VESK_BRIDGE_NAME) == nullptr)
        fail("bridge failed");
}

void stop() {
    for (int type = 0; type < MTYPE_MAX; type++)
        memory_fail_next(type, 0);
    vesk_global_debug = {};
    free_model();
    lib_stop(veskm);
    veskm = nullptr;
    zet_clock_use_monotonic();
    vesk_frame_set_time_source(nullptr);
    if (memory_live_total() == 0)
        return;
    memory_foreach_live(report_live, nullptr);
    fail("records leaked");
}

vesk_bridge *bridge() {
    vesk_master *master = vesk_get_master(veskm);
    return master != nullptr ? vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master) : nullptr;
}

vesk_port *add_port(const char *name, uint32_t ifindex, std::initializer_list<uint16_t> vlans) {
    interface *ifp = if_create(veskm, name, ifindex);
    if (ifp == nullptr)
        fail("interface %s failed", name);
    ifp->flags = kUpRunning;
    const uint8_t mac[INTERFACE_HWADDR_MAX] = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(ifindex)};
    std::memcpy(ifp->hw_addr, mac, sizeof mac);
    ifp->hw_addr_len = INTERFACE_HWADDR_MAX;
    vesk_port *port = vesk_bridge_add_port(bridge(), ifp);
    if (port == nullptr)
        fail("port %s failed", name);
    for (uint16_t vid : vlans)
        join(port, vid);
    return port;
}

void join(vesk_port *port, uint16_t vid) {
    vesk_vlan *v = vesk_bridge_add_vlan(bridge(), vid);
    if (v == nullptr || vesk_bridge_vlan_add_port(v, port) != port)
        fail("port %s cannot join VLAN %u", port->name, vid);
}

void add_switch() {
    add_port("ge1", 1, {1, 10, 20});
    add_port("ge2", 2, {1, 10});
    add_port("ge10", 3, {30});
    add_port("xe1", 4, {1});
    if (if_create(veskm, "eth0", 5) == nullptr)
        fail("interface eth0 failed");
}

int read_config(const std::string &text) {
    // An anonymous in-memory file: nothing reaches the disk.
    int fd = memfd_create("vesk-fuzz-config", 0);
    if (fd < 0 || write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        fail("memfd for the configuration failed");
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    int failed = host_config_read(veskm, path.c_str());
    close(fd);
    return failed;
}

void check_round_trip_and_stop() {
    std::string first = cli_running_config(veskm);
    stop();
    std::string second = read_back(first);
    std::string third = read_back(second);
    if (sorted_lines(first) != sorted_lines(second))
        fail("running configuration loses or gains lines when read back:\n%s\n--- read back "
             "gives ---\n%s",
             first.c_str(), second.c_str());
    if (second != third)
        fail("running configuration read back twice differs:\n%s\n--- then ---\n%s", second.c_str(),
             third.c_str());
}

void enter_scratch() {
    const char *dir = std::getenv("VESK_FUZZ_SCRATCH");
    char made[] = "/tmp/vesk-fuzz-XXXXXX";
    if (dir == nullptr || *dir == '\0')
        dir = mkdtemp(made);
    if (dir == nullptr || chdir(dir) != 0)
        fail("no scratch directory");
    int null = open("/dev/null", O_WRONLY);
    if (null < 0 || dup2(null, STDOUT_FILENO) < 0)
        fail("standard output to /dev/null failed");
    close(null);
}

void check_model() {
    std::string fault = vesk_check::model_fault(veskm);
    if (!fault.empty())
        fail("%s", fault.c_str());
}

void set_time_of_day(long seconds) {
    time_of_day = seconds;
}

void advance(long seconds) {
    thread_advance(veskm, seconds);
}

void clear_requests() {
    nsm_client_sent_clear(veskm->nc);
}

} // namespace vesk_fuzz
