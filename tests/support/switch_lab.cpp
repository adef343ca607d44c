#include "support/switch_lab.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vesk_test {

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

bool sh(const std::string &cmd) {
    return std::system(("{ " + cmd + "\n} >/dev/null 2>&1").c_str()) == 0;
}

SwitchLab::SwitchLab(int ports) {
    const std::string base = "dmn" + std::to_string(getpid());
    // A watcher of its own session deletes this process's namespaces once it is gone, however
    // it ended (killed by a timeout, interrupted, crashed).
    static std::once_flag once;
    std::call_once(once, [&] {
        sh("setsid sh -c 'tail --pid=" + std::to_string(getpid()) +
           " -f /dev/null; ip netns list | grep -o \"^" + base +
           "[sn][0-9]*\" | xargs -rn1 ip netns del' </dev/null &");
    });
    static int serial = 0;
    ns_[0] = base + "s" + std::to_string(serial);
    ns_[1] = base + "n" + std::to_string(serial++);
    const std::string s = "ip -n " + ns_[0] + " ", n = "ip -n " + ns_[1] + " ";
    bool built = sh("set -e; for ns in " + ns_[0] + " " + ns_[1] +
                    "; do ip netns add $ns; ip netns exec $ns sysctl -qw "
                    "net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1; "
                    "ip -n $ns link set lo up; done; " +
                    s + "link add br0 address 02:00:00:00:00:01 type bridge; for i in $(seq " +
                    std::to_string(ports) + "); do x=$(printf %02x $i); " + s +
                    "link add ge$i address 02:00:00:00:01:$x type veth peer name n$i address "
                    "02:00:00:00:02:$x netns " +
                    ns_[1] + "; " + s + "link set ge$i master br0; " + s + "link set ge$i up; " +
                    n + "link set n$i up; done; " + s + "link set br0 up");
    NetnsEntry in(switch_ns());
    if (built && in.ok())
        flags_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

SwitchLab::~SwitchLab() {
    if (flags_fd_ >= 0)
        close(flags_fd_);
    sh("ip netns del " + ns_[0] + "; ip netns del " + ns_[1]);
}

unsigned SwitchLab::flags(const std::string &ifname) const {
    ifreq ifr{};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
    if (flags_fd_ < 0 || ioctl(flags_fd_, SIOCGIFFLAGS, &ifr) != 0)
        return 0;
    return static_cast<unsigned short>(ifr.ifr_flags);
}

} // namespace vesk_test
