// rtnetlink buffers through the kernel backend (first byte: its options) and the client to the
// daemon, forwarding entries through the move tracker: parsed records in bounds, the model holds.
#include <linux/netlink.h>
#include <net/if.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_daemon.h"
#include "zet/nsm/client.h"
#include "zet/nsm/netlink.h"
#include "zet/nsm/view.h"

namespace {

void check_parsed(const nsm_nl_msg &msg) {
    if (msg.link.ifindex == 0)
        vesk_fuzz::fail("parsed message of interface 0");
    if (msg.has_name && (msg.link.name.empty() || msg.link.name.size() >= IFNAMSIZ))
        vesk_fuzz::fail("parsed name of %zu bytes", msg.link.name.size());
    if (msg.link.hw_len > msg.link.hw.size())
        vesk_fuzz::fail("parsed hardware address of %u bytes", msg.link.hw_len);
    for (const nsm_nl_vlan &v : msg.vlans)
        if (v.vid < 1 || v.vid > 4094)
            vesk_fuzz::fail("parsed VLAN %u", v.vid);
}

void fdb(nsm_fdb_tracker &tracker, const nsm_nl_fdb &entry) {
    if (entry.ifindex == 0 || entry.vid > 4094)
        vesk_fuzz::fail("parsed forwarding entry of interface %u, VLAN %u", entry.ifindex,
                        entry.vid);
    uint32_t from = nsm_fdb_track(tracker, entry);
    if (tracker.last_port.size() > NSM_FDB_TRACK_MAX)
        vesk_fuzz::fail("move tracker holds %zu addresses", tracker.last_port.size());
    if (from == 0)
        return;
    nsm_msg_fdb_move move{from, entry.ifindex, entry.vid, {}};
    std::memcpy(move.mac, entry.mac.data(), sizeof move.mac);
    nsm_client_fdb_move(vesk_fuzz::world.handle()->nc, move);
    vesk_fuzz::world.check_model();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1 + sizeof(nlmsghdr))
        return 0;
    nsm_kernel_options options;
    if (data[0] & 0x01)
        options.bridge = "br0";
    options.port_mac_bridge = (data[0] & 0x02) == 0;
    // The backend reads into an aligned buffer; so does this.
    std::vector<uint64_t> aligned((size - 1 + 7) / 8);
    std::memcpy(aligned.data(), data + 1, size - 1);
    vesk_fuzz::start({.bridge = false});
    nsm_kernel_state state;
    nsm_fdb_tracker tracker;
    // The parser gets what is left of the buffer and must find the message's end itself.
    const auto *bytes = reinterpret_cast<const uint8_t *>(aligned.data());
    for (size_t left = size - 1, step; left >= sizeof(nlmsghdr); bytes += step, left -= step) {
        const auto *nlh = reinterpret_cast<const nlmsghdr *>(bytes);
        nsm_nl_msg msg;
        if (nsm_netlink_parse(nlh, left, &msg) == 0) {
            check_parsed(msg);
            nsm_kernel_state_apply(state, msg);
            vesk_fuzz::apply_view(nsm_kernel_state_view(state, options));
        }
        nsm_nl_fdb entry;
        if (nsm_netlink_parse_fdb(nlh, left, &entry) == 0)
            fdb(tracker, entry);
        nsm_nl_vlandb db;
        if (nsm_netlink_parse_vlandb(nlh, left, &db) == 0) {
            for (const nsm_nl_vlan_state &e : db.entries)
                if (e.vid < 1 || e.vid > 4094 || db.entries.size() > 4094)
                    std::abort();
            nsm_kernel_state_apply_vlandb(state, db);
            vesk_fuzz::apply_view(nsm_kernel_state_view(state, options));
        }
        step = (static_cast<size_t>(nlh->nlmsg_len) + 3) & ~size_t{3};
        if (nlh->nlmsg_len < sizeof(nlmsghdr) || step > left)
            break;
    }
    vesk_fuzz::check_all_gone_and_stop();
    return 0;
}
