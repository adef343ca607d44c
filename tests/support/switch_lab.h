// A switch namespace with bridge br0 (02:00:00:00:00:01), ports geI (02:00:00:00:01:0I) and their
// veth peers nI (02:00:00:00:02:0I) in a neighbour namespace; both go with the lab or the test.
#pragma once

#include <string>

namespace vesk_test {

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

// Runs a shell command with its output discarded; true when it exits 0.
bool sh(const std::string &cmd);

class SwitchLab {
  public:
    explicit SwitchLab(int ports = 4);
    ~SwitchLab();
    SwitchLab(const SwitchLab &) = delete;
    SwitchLab &operator=(const SwitchLab &) = delete;

    bool ok() const { return flags_fd_ >= 0; } // every step of the set-up worked
    const std::string &switch_ns() const { return ns_[0]; }
    const std::string &neighbour_ns() const { return ns_[1]; }
    // IFF_* flags of an interface of the switch namespace; 0 when it is missing.
    unsigned flags(const std::string &ifname) const;

  private:
    std::string ns_[2]; // the switch's and the neighbour's
    int flags_fd_ = -1; // a socket of the switch namespace, for SIOCGIFFLAGS
};

} // namespace vesk_test
