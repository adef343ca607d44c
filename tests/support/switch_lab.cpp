#include "support/switch_lab.h"

#include <gtest/gtest.h>

#include "support/daemon_process.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <mutex>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk_test {

namespace {

// Namespaces to delete from a signal handler: fixed storage, no allocation there.
char g_names[16][64];
std::mutex g_names_mu;

// Puts name in a free slot (or, with name "", empties the slots holding forget).
void remember(const std::string &name, const std::string &forget = "") {
    std::lock_guard lock(g_names_mu);
    for (auto &slot : g_names) {
        if (!forget.empty() && forget == slot)
            slot[0] = '\0';
        if (!name.empty() && slot[0] == '\0')
            return (void)std::snprintf(slot, sizeof slot, "%s", name.c_str());
    }
}

// What "ip netns del" does, with async-signal-safe calls only.
void drop_all() {
    for (auto &slot : g_names) {
        if (slot[0] == '\0')
            continue;
        char path[128] = "/run/netns/";
        for (size_t n = std::strlen(path), i = 0; slot[i] != '\0' && n < sizeof path - 1; i++)
            path[n++] = slot[i];
        umount2(path, MNT_DETACH);
        unlink(path);
        slot[0] = '\0';
    }
}

extern "C" void on_fatal_signal(int signo) {
    drop_all();
    signal(signo, SIG_DFL);
    raise(signo);
}

// Namespaces "dmn<pid>..." of processes that are gone were left by a killed test.
void sweep_stale() {
    DIR *dir = opendir("/run/netns");
    while (dirent *e = dir != nullptr ? readdir(dir) : nullptr) {
        char *end = nullptr;
        long pid =
            std::strncmp(e->d_name, "dmn", 3) == 0 ? std::strtol(e->d_name + 3, &end, 10) : 0;
        if (pid > 0 && (*end == 's' || *end == 'n') && kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            sh(std::string("ip netns del ") + e->d_name);
    }
    if (dir != nullptr)
        closedir(dir);
}

std::string mac(int group, int port) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "02:00:00:00:%02x:%02x", group, port);
    return buf;
}

} // namespace

NetnsEntry::NetnsEntry(const std::string &ns) {
    home_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = home_ >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (target >= 0)
        close(target);
}

NetnsEntry::~NetnsEntry() {
    if (ok_)
        setns(home_, CLONE_NEWNET);
    if (home_ >= 0)
        close(home_);
}

int packet_socket(const std::string &ns, const std::string &ifname) {
    NetnsEntry in(ns);
    sockaddr_ll at{};
    at.sll_family = AF_PACKET;
    at.sll_protocol = htons(ETH_P_ALL);
    at.sll_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
    int fd = in.ok() ? socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL)) : -1;
    if (fd >= 0 &&
        (at.sll_ifindex == 0 || bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at))) {
        close(fd);
        fd = -1;
    }
    return fd;
}

bool sh(const std::string &cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0;
}

SwitchLab::SwitchLab(int ports) {
    static std::once_flag once;
    std::call_once(once, [] {
        std::atexit(drop_all);
        for (int signo : {SIGINT, SIGTERM, SIGHUP})
            signal(signo, on_fatal_signal);
    });
    sweep_stale();
    static int serial = 0;
    const std::string base = "dmn" + std::to_string(getpid());
    ns_[0] = base + "s" + std::to_string(serial);
    ns_[1] = base + "n" + std::to_string(serial++);
    ok_ = build(ports);
}

SwitchLab::~SwitchLab() {
    if (flags_fd_ >= 0)
        close(flags_fd_);
    for (const std::string &ns : ns_) {
        sh("ip netns del " + ns);
        remember("", ns);
    }
}

bool SwitchLab::build(int ports) {
    for (const std::string &ns : ns_) {
        if (!sh("ip netns add " + ns))
            return false;
        remember(ns);
        if (!sh("ip netns exec " + ns +
                " sysctl -qw net.ipv6.conf.all.disable_ipv6=1"
                " net.ipv6.conf.default.disable_ipv6=1") ||
            !sh("ip -n " + ns + " link set lo up"))
            return false;
    }
    if (!ip_switch("link add br0 address " + mac(0, 1) + " type bridge"))
        return false;
    for (ports_ = 1; ports_ <= ports; ports_++)
        if (!add_port(ports_))
            return false;
    ports_ = ports;
    NetnsEntry in(switch_ns());
    flags_fd_ = in.ok() ? socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    return ip_switch("link set br0 up") && flags_fd_ >= 0;
}

bool SwitchLab::add_port(int i) {
    const std::string ge = "ge" + std::to_string(i), n = "n" + std::to_string(i);
    return ip_switch("link add " + ge + " address " + mac(1, i) + " type veth peer name " + n +
                     " address " + mac(2, i) + " netns " + neighbour_ns()) &&
           ip_switch("link set " + ge + " master br0") && ip_switch("link set " + ge + " up") &&
           ip_neighbour("link set " + n + " up");
}

void SwitchLab::start(Veskd &veskd, const std::vector<std::string> &env,
                      const std::vector<std::string> &args, bool wait_ports) const {
    std::vector<std::string> all = {"VESK_NSM=kernel", "VESK_FRAME=packet"};
    all.insert(all.end(), env.begin(), env.end());
    veskd.set_netns(switch_ns());
    ASSERT_NO_FATAL_FAILURE(veskd.start(all, args));
    ASSERT_TRUE(wait_for([&] {
        for (int i = 1; wait_ports && i <= ports_; i++)
            if (veskd.cmd("show loop-detect interface ge" + std::to_string(i)).find('%') !=
                std::string::npos)
                return false;
        return true;
    })) << "veskd did not learn the ports of br0";
}

bool SwitchLab::ip_switch(const std::string &args) const {
    return sh("ip -n " + switch_ns() + " " + args);
}

bool SwitchLab::ip_neighbour(const std::string &args) const {
    return sh("ip -n " + neighbour_ns() + " " + args);
}

bool SwitchLab::hairpin(int port, bool on) {
    const std::string n = "n" + std::to_string(port), br = "hp" + std::to_string(port);
    if (on)
        ip_neighbour("link add " + br + " type bridge");
    return ip_neighbour("link set " + br + " up") &&
           ip_neighbour("link set " + n + " master " + br) &&
           ip_neighbour("link set dev " + n + " type bridge_slave hairpin " + (on ? "on" : "off"));
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

uint64_t SwitchLab::peer_packets(int port, const std::string &dir) const {
    ShellResult r = run_shell("ip netns exec " + neighbour_ns() + " cat /sys/class/net/n" +
                              std::to_string(port) + "/statistics/" + dir + "_packets 2>/dev/null");
    return std::strtoull(r.out.c_str(), nullptr, 10);
}

} // namespace vesk_test
