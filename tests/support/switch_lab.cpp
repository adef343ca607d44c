#include "support/switch_lab.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <net/if.h>
#include <sched.h>
#include <set>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk_test {

namespace {

constexpr char kNetnsDir[] = "/run/netns/";
constexpr int kMaxNamespaces = 16;

// Names to delete from a signal handler: fixed storage, no allocation there.
char g_names[kMaxNamespaces][64];
std::mutex g_names_mu;

void remember(const std::string &name) {
    std::lock_guard lock(g_names_mu);
    for (auto &slot : g_names) {
        if (slot[0] != '\0')
            continue;
        std::snprintf(slot, sizeof slot, "%s", name.c_str());
        return;
    }
}

void forget(const std::string &name) {
    std::lock_guard lock(g_names_mu);
    for (auto &slot : g_names)
        if (name == slot)
            slot[0] = '\0';
}

// What "ip netns del" does, with async-signal-safe calls only.
void drop_namespace(const char *name) {
    char path[128] = "/run/netns/";
    size_t n = std::strlen(path);
    for (size_t i = 0; name[i] != '\0' && n < sizeof path - 1; i++)
        path[n++] = name[i];
    path[n] = '\0';
    umount2(path, MNT_DETACH);
    unlink(path);
}

void drop_all() {
    for (auto &slot : g_names) {
        if (slot[0] != '\0')
            drop_namespace(slot);
        slot[0] = '\0';
    }
}

extern "C" void on_fatal_signal(int signo) {
    drop_all();
    signal(signo, SIG_DFL);
    raise(signo);
}

void install_cleanup() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(drop_all);
        for (int signo : {SIGINT, SIGTERM, SIGHUP})
            signal(signo, on_fatal_signal);
    });
}

// Namespaces "dmn<pid>..." of processes that are gone were left by a killed test.
void sweep_stale() {
    DIR *dir = opendir(kNetnsDir);
    if (dir == nullptr)
        return;
    while (dirent *e = readdir(dir)) {
        const char *name = e->d_name;
        if (std::strncmp(name, "dmn", 3) != 0)
            continue;
        char *end = nullptr;
        long pid = std::strtol(name + 3, &end, 10);
        if (end == name + 3 || (*end != 's' && *end != 'n') || pid <= 0)
            continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        sh(std::string("ip netns del ") + name);
    }
    closedir(dir);
}

std::string mac(int group, int port) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "02:00:00:00:%02x:%02x", group, port);
    return buf;
}

// A socket that belongs to namespace ns, made by entering it for a moment.
int socket_in(const std::string &ns) {
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open((kNetnsDir + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0) {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        setns(home, CLONE_NEWNET);
    }
    if (home >= 0)
        close(home);
    if (target >= 0)
        close(target);
    return fd;
}

} // namespace

bool sh(const std::string &cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

SwitchLab::SwitchLab(int ports) {
    static int serial = 0;
    install_cleanup();
    sweep_stale();
    const std::string base = "dmn" + std::to_string(getpid());
    switch_ns_ = base + "s" + std::to_string(serial);
    neighbour_ns_ = base + "n" + std::to_string(serial);
    serial++;
    ok_ = build(ports);
}

SwitchLab::~SwitchLab() {
    if (flags_fd_ >= 0)
        close(flags_fd_);
    for (const std::string *ns : {&switch_ns_, &neighbour_ns_}) {
        sh("ip netns del " + *ns);
        forget(*ns);
    }
}

bool SwitchLab::build(int ports) {
    for (const std::string *ns : {&switch_ns_, &neighbour_ns_}) {
        if (!sh("ip netns add " + *ns))
            return false;
        remember(*ns);
        if (!sh("ip netns exec " + *ns +
                " sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
                " net.ipv6.conf.default.disable_ipv6=1") ||
            !sh("ip -n " + *ns + " link set lo up"))
            return false;
    }
    if (!ip_switch("link add br0 address " + mac(0, 1) + " type bridge"))
        return false;
    for (int i = 1; i <= ports; i++) {
        const std::string ge = "ge" + std::to_string(i);
        const std::string n = "n" + std::to_string(i);
        if (!ip_switch("link add " + ge + " address " + mac(1, i) + " type veth peer name " + n +
                       " address " + mac(2, i) + " netns " + neighbour_ns_) ||
            !ip_switch("link set " + ge + " master br0") || !ip_switch("link set " + ge + " up") ||
            !ip_neighbour("link set " + n + " up"))
            return false;
    }
    if (!ip_switch("link set br0 up"))
        return false;
    flags_fd_ = socket_in(switch_ns_);
    return flags_fd_ >= 0;
}

bool SwitchLab::ip_switch(const std::string &args) const {
    return sh("ip -n " + switch_ns_ + " " + args);
}

bool SwitchLab::ip_neighbour(const std::string &args) const {
    return sh("ip -n " + neighbour_ns_ + " " + args);
}

bool SwitchLab::hairpin(int port, bool on) {
    const std::string n = "n" + std::to_string(port);
    const std::string br = "hp" + std::to_string(port);
    if (!on)
        return ip_neighbour("link set dev " + n + " type bridge_slave hairpin off");
    ip_neighbour("link add " + br + " type bridge");
    return ip_neighbour("link set " + br + " up") &&
           ip_neighbour("link set " + n + " master " + br) &&
           ip_neighbour("link set dev " + n + " type bridge_slave hairpin on");
}

bool SwitchLab::cable(int a, int b) {
    const std::string br = "cb" + std::to_string(a) + std::to_string(b);
    ip_neighbour("link add " + br + " type bridge");
    return ip_neighbour("link set " + br + " up") &&
           ip_neighbour("link set n" + std::to_string(a) + " master " + br) &&
           ip_neighbour("link set n" + std::to_string(b) + " master " + br);
}

bool SwitchLab::uncable(int port) {
    return ip_neighbour("link set n" + std::to_string(port) + " nomaster");
}

bool SwitchLab::peer_link(int port, bool up) {
    return ip_neighbour("link set n" + std::to_string(port) + (up ? " up" : " down"));
}

bool SwitchLab::set_admin(int port, bool up) {
    return ip_switch("link set ge" + std::to_string(port) + (up ? " up" : " down"));
}

unsigned SwitchLab::flags(const std::string &ifname) const {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
    if (flags_fd_ < 0 || ioctl(flags_fd_, SIOCGIFFLAGS, &ifr) != 0)
        return 0;
    return static_cast<unsigned short>(ifr.ifr_flags);
}

bool SwitchLab::admin_up(int port) const {
    return flags("ge" + std::to_string(port)) & IFF_UP;
}

bool SwitchLab::running(int port) const {
    return flags("ge" + std::to_string(port)) & IFF_RUNNING;
}

uint64_t SwitchLab::peer_rx_packets(int port) const {
    const std::string cmd = "ip netns exec " + neighbour_ns_ + " cat /sys/class/net/n" +
                            std::to_string(port) + "/statistics/rx_packets 2>/dev/null";
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return 0;
    unsigned long long n = 0;
    if (std::fscanf(p, "%llu", &n) != 1)
        n = 0;
    pclose(p);
    return n;
}

} // namespace vesk_test
