// A switch on a real Linux bridge for end-to-end tests (root only): a namespace with bridge
// br0 and ports ge1..geN, each a veth whose peer n1..nN sits in a second namespace where the
// test builds loops: a peer on a bridge with hairpin on reflects a port's frames back to it,
// and two peers on one bridge cable two ports of br0 together.
//
// Namespaces are named "dmn<pid>s<serial>" and "dmn<pid>n<serial>", have IPv6 off, and are
// deleted by the destructor, at exit, on SIGINT/SIGTERM/SIGHUP, and (for a test process that
// was killed outright) by the next lab, which removes those of processes no longer alive.
// MAC addresses are fixed: br0 02:00:00:00:00:01, geI 02:00:00:00:01:0I, nI 02:00:00:00:02:0I.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesk_test {

class Veskd;

// Moves the calling thread into network namespace ns until destroyed.
class NetnsEntry {
  public:
    explicit NetnsEntry(const std::string &ns);
    ~NetnsEntry();
    NetnsEntry(const NetnsEntry &) = delete;
    NetnsEntry &operator=(const NetnsEntry &) = delete;
    bool ok() const { return ok_; }

  private:
    int home_ = -1;
    bool ok_ = false;
};

// A raw packet socket of namespace ns bound to ifname for every protocol; -1 when it cannot be.
int packet_socket(const std::string &ns, const std::string &ifname);

class SwitchLab {
  public:
    explicit SwitchLab(int ports = 4);
    ~SwitchLab();
    SwitchLab(const SwitchLab &) = delete;
    SwitchLab &operator=(const SwitchLab &) = delete;

    // Every step of the set-up worked.
    bool ok() const { return ok_; }
    const std::string &switch_ns() const { return ns_[0]; }
    const std::string &neighbour_ns() const { return ns_[1]; }

    // Adds port geI (up, on br0) with its peer nI (up).
    bool add_port(int port);
    // Puts peer nI on a bridge of its own with hairpin on (off): a one-port loop behind geI.
    bool hairpin(int port, bool on = true);
    // Puts peers nA and nB on one bridge: a loop through geA and geB.
    bool cable(int a, int b);
    // Takes peer nI off whatever bridge it is on.
    bool uncable(int port);

    // IFF_* flags of an interface of the switch namespace; 0 when it is missing.
    unsigned flags(const std::string &ifname) const;
    bool admin_up(int port) const;
    bool running(int port) const;
    // Packets that peer nI has received ("rx") or sent ("tx").
    uint64_t peer_packets(int port, const std::string &dir = "rx") const;

    // Runs "ip -n NS args" in the switch or neighbour namespace; true on success.
    bool ip_switch(const std::string &args) const;
    bool ip_neighbour(const std::string &args) const;

    // Starts veskd on the kernel backends in the switch namespace and, with wait_ports, waits
    // until it knows ge1..geN.
    void start(Veskd &veskd, const std::vector<std::string> &env = {},
               const std::vector<std::string> &args = {}, bool wait_ports = true) const;

  private:
    bool build(int ports);
    int ports_ = 0;
    std::string ns_[2]; // the switch's and the neighbour's
    int flags_fd_ = -1; // a socket of the switch namespace, for SIOCGIFFLAGS
    bool ok_ = false;
};

// Runs a shell command with its output discarded; true when it exits 0.
bool sh(const std::string &cmd);

} // namespace vesk_test
