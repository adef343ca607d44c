// rtnetlink link messages built by hand, laid out as the kernel lays them out, so that tests
// can feed the parser what no kernel would send.
#pragma once

#include <cstddef>
#include <cstdint>
#include <linux/if_bridge.h>
#include <linux/netlink.h>
#include <vector>

namespace vesk_test {

class NlMsg {
  public:
    NlMsg(uint16_t type, uint8_t family, int ifindex, uint32_t flags = 0x41); // up, running
    NlMsg &attr(uint16_t type, const void *data, size_t len);
    NlMsg &str(uint16_t type, const char *s);
    NlMsg &u32(uint16_t type, uint32_t v);
    NlMsg &begin(uint16_t type); // a nest, closed by end()
    NlMsg &end();
    // IFLA_AF_SPEC holding one IFLA_BRIDGE_VLAN_INFO per entry, as given.
    NlMsg &vlans(const std::vector<bridge_vlan_info> &entries);
    // Bytes as they are (padded), for attributes no encoder would write.
    NlMsg &raw(const void *p, size_t n);
    const nlmsghdr *hdr() const { return reinterpret_cast<const nlmsghdr *>(buf_.data()); }
    size_t size() const { return buf_.size(); }
    const std::vector<uint8_t> &bytes() const { return buf_; }

  private:
    std::vector<uint8_t> buf_;
    std::vector<size_t> nests_;
};

// A bridge (filtering -1: no IFLA_INFO_DATA) with address 02:00:00:00:00:mac.
NlMsg nl_bridge(int ifindex, const char *name, int filtering, uint8_t mac = 0x10);
// A veth port (master 0: none) with address 02:00:00:00:00:ifindex.
NlMsg nl_port(int ifindex, const char *name, uint32_t master);
// The AF_BRIDGE message of a port, or with master == ifindex of the bridge itself.
NlMsg nl_bridge_family(uint16_t type, int ifindex, const char *name, uint32_t master);

} // namespace vesk_test
