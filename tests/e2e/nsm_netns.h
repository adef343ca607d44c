// A named network namespace that the test process enters for its lifetime, with IPv6 off.
// Commands run through "ip -n" so they act on the namespace whatever the caller's.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace nsm_test {

// Namespaces still to delete when the process ends without running the destructor.
inline std::set<std::string> &pending_namespaces() {
    static std::set<std::string> names;
    return names;
}

inline void delete_pending_namespaces() {
    for (const auto &name : pending_namespaces())
        std::system(("ip netns del " + name + " 2>/dev/null").c_str());
    pending_namespaces().clear();
}

inline int run(const std::string &cmd) {
    return std::system((cmd + " >/dev/null 2>&1").c_str());
}

class NetNs {
  public:
    NetNs() {
        static int serial = 0;
        static bool registered = false;
        if (!registered) {
            std::atexit(delete_pending_namespaces);
            registered = true;
        }
        name_ = "nsm" + std::to_string(getpid()) + "_" + std::to_string(serial++);
        if (run("ip netns add " + name_) != 0)
            return;
        pending_namespaces().insert(name_);
        run("ip netns exec " + name_ +
            " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
        home_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        int fd = open(("/var/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
        entered_ = fd >= 0 && home_ >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
    }
    ~NetNs() {
        if (home_ >= 0) {
            setns(home_, CLONE_NEWNET);
            close(home_);
        }
        run("ip netns del " + name_);
        pending_namespaces().erase(name_);
    }
    NetNs(const NetNs &) = delete;
    NetNs &operator=(const NetNs &) = delete;

    bool ok() const { return entered_; }
    const std::string &name() const { return name_; }
    // Runs "ip -n NAME args"; true on success.
    bool ip(const std::string &args) const { return run("ip -n " + name_ + " " + args) == 0; }

    // Interface flags as the kernel has them now, or 0 when the interface is missing.
    static unsigned flags(const std::string &ifname) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ifreq ifr{};
        std::strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
        int rc = ioctl(fd, SIOCGIFFLAGS, &ifr);
        close(fd);
        return rc == 0 ? static_cast<unsigned short>(ifr.ifr_flags) : 0;
    }
    static uint32_t index(const std::string &ifname) { return if_nametoindex(ifname.c_str()); }

  private:
    std::string name_;
    int home_ = -1;
    bool entered_ = false;
};

} // namespace nsm_test
