#include "zet/nsm/client.h"

#include "zet/core/globals.h"
#include "zet/core/if.h"
#include "zet/core/log.h"
#include "zet/nsm/kernel.h"
#include "zet/nsm/unix.h"
#include "zet/nsm/view.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <linux/if_bridge.h>
#include <memory>
#include <mutex>
#include <net/if.h>
#include <set>
#include <string>
#include <string_view>
#include <vector>

struct nsm_client final : nsm_backend_owner {
    struct lib_globals *zg = nullptr;
    int protocol = 0;
    uint64_t services = 0;
    int rcvbuf = 0;
    nsm_client_events events{};
    nsm_view applied;
    std::unique_ptr<nsm_backend> backend;
    nsm_client_stats stats{};

    struct sent {
        uint16_t flags;
        uint32_t ifindex;
        uint16_t vid;
    };
    mutable std::mutex send_mutex;
    std::deque<sent> sent_log;
    bool start_failed = false;
    nsm_client_applied_func applied_hook = nullptr;

    struct lib_globals *globals() override {
        return zg;
    }
    nsm_client_stats &counters() override { return stats; }
    void apply_view(const nsm_view &next) override { nsm_client_apply_view(this, next); }
    void fdb_move(const struct nsm_msg_fdb_move &move) override { nsm_client_fdb_move(this, move); }
    bool wants_fdb_moves() const override { return events.fdb_move != nullptr; }
    uint16_t protocol_number() const override { return static_cast<uint16_t>(protocol); }
    uint64_t services_wanted() const override { return services; }
};

namespace {

// The record of sent requests keeps the latest ones only, so a long run does not grow it.
constexpr size_t SENT_LOG_MAX = 4096;

// Tells the protocol through member, if it registered one.
template <typename Member, typename... Args>
void tell(nsm_client *nc, Member member, const Args &...args) {
    nc->stats.messages++;
    if (nc->events.*member != nullptr)
        (nc->events.*member)(nc->zg, args...);
}

void set_hw(struct interface *ifp, const nsm_view_if &v) {
    size_t len = std::min<size_t>(v.hw_len, INTERFACE_HWADDR_MAX);
    std::memset(ifp->hw_addr, 0, sizeof ifp->hw_addr);
    std::memcpy(ifp->hw_addr, v.hw.data(), len);
    ifp->hw_addr_len = static_cast<int>(len);
}

struct interface *lookup(nsm_client *nc, uint32_t ifindex) {
    return ifg_lookup_by_index(nc->zg->ifg, ifindex);
}

// Interfaces that went away leave first, so a name can come back under a new index.
void remove_gone_interfaces(nsm_client *nc, const nsm_view &next) {
    std::vector<uint32_t> gone;
    for (const auto &[ifindex, v] : nc->applied.ifs)
        if (!next.ifs.contains(ifindex))
            gone.push_back(ifindex);
    for (uint32_t ifindex : gone) {
        struct interface *ifp = lookup(nc, ifindex);
        if (ifp != nullptr)
            if_delete(nc->zg, ifp);
        nc->applied.ifs.erase(ifindex);
        nc->applied.ports.erase(ifindex);
    }
}

// A link that is up is announced as down first, so that its up state reaches the protocol as
// a change once its port exists.
constexpr uint32_t masked_flags(uint32_t flags) {
    return flags & ~uint32_t{IFF_RUNNING};
}

void add_new_interfaces(nsm_client *nc, const nsm_view &next) {
    for (const auto &[ifindex, v] : next.ifs) {
        if (nc->applied.ifs.contains(ifindex))
            continue;
        struct interface *ifp = if_create(nc->zg, v.name.c_str(), ifindex);
        if (ifp == nullptr) {
            zlog_err(nc->zg, "nsm: cannot create interface %s index %u", v.name.c_str(), ifindex);
            continue;
        }
        nsm_view_if applied = v;
        applied.flags = masked_flags(v.flags);
        applied.stp_state = -1; // logged as the link's state is sent
        ifp->flags = applied.flags;
        set_hw(ifp, v);
        ifp->bridge_ifindex = v.bridge_ifindex;
        nc->applied.ifs[ifindex] = applied;
    }
}

// A name that only an interface renamed in the same view gives up is taken through a free
// temporary name, so that swaps and renames merged by a resynchronisation all come through.
bool park(nsm_client *nc, struct interface *ifp) {
    std::string temp = "renaming." + std::to_string(ifp->ifindex);
    return ifg_lookup_by_name(nc->zg->ifg, temp.c_str()) == nullptr &&
           if_rename(nc->zg, ifp, temp.c_str()) == 0;
}

// Gives the interface the name the view has for it: false while another interface holds it.
bool take_name(nsm_client *nc, const nsm_view &next, uint32_t ifindex) {
    nsm_view_if &cur = nc->applied.ifs.at(ifindex);
    const std::string &name = next.ifs.at(ifindex).name;
    if (if_rename(nc->zg, lookup(nc, ifindex), name.c_str()) != 0)
        return false;
    zlog_info(nc->zg, "nsm: interface %s (index %u) is now %s", cur.name.c_str(), ifindex,
              name.c_str());
    cur.name = name;
    return true;
}

// Renames go before creations, so a new interface can take a name an old one gave up.
void rename_interfaces(nsm_client *nc, const nsm_view &next) {
    std::vector<uint32_t> pending;
    for (const auto &[ifindex, cur] : nc->applied.ifs)
        if (cur.name != next.ifs.at(ifindex).name && lookup(nc, ifindex) != nullptr)
            pending.push_back(ifindex);
    std::set<uint32_t> parked;
    while (!pending.empty()) {
        auto renamed = [&](uint32_t ifindex) { return take_name(nc, next, ifindex); };
        if (std::erase_if(pending, renamed) != 0)
            continue;
        auto unparked = std::find_if(pending.begin(), pending.end(),
                                     [&](uint32_t ifindex) { return !parked.contains(ifindex); });
        if (unparked == pending.end() || !park(nc, lookup(nc, *unparked)))
            break;
        parked.insert(*unparked);
    }
    // A name the view gives twice cannot be had: the interface keeps the name it had.
    for (uint32_t ifindex : pending)
        if (parked.contains(ifindex))
            if_rename(nc->zg, lookup(nc, ifindex), nc->applied.ifs.at(ifindex).name.c_str());
}

// The record takes the link's state (and its address, when the view has one); then the
// protocol is told.
void send_link(nsm_client *nc, uint32_t ifindex, const nsm_view_if &v) {
    struct interface *ifp = lookup(nc, ifindex);
    const bool was_up = ifp != nullptr && if_is_up(ifp);
    if (ifp != nullptr) {
        ifp->flags = v.flags;
        if (v.hw_len > 0)
            set_hw(ifp, v);
    }
    tell(nc, &nsm_client_events::link, ifindex, was_up, v.hw_len > 0);
}

// Changes that do not move the up state need no message: the record just follows. A new
// hardware address is told all the same, as a link message of the state the link is in, since
// the protocol's frames carry it.
void update_interfaces(nsm_client *nc, const nsm_view &next) {
    for (auto &[ifindex, cur] : nc->applied.ifs) {
        const nsm_view_if &v = next.ifs.at(ifindex);
        struct interface *ifp = lookup(nc, ifindex);
        if (ifp == nullptr)
            continue;
        cur.bridge_ifindex = v.bridge_ifindex;
        ifp->bridge_ifindex = v.bridge_ifindex;
        bool up = if_flags_up(v.flags);
        if (if_flags_up(cur.flags) != up)
            continue;
        bool new_hw = cur.hw_len != v.hw_len || cur.hw != v.hw;
        cur.flags = v.flags;
        ifp->flags = v.flags;
        cur.hw = v.hw;
        cur.hw_len = v.hw_len;
        set_hw(ifp, v);
        if (new_hw && v.hw_len > 0)
            send_link(nc, ifindex, v);
    }
}

// A bridge name as the module's messages carry it: at most NSM_BRIDGE_NAMSIZ characters.
std::string bridge_name(const std::string &name) {
    return name.substr(0, NSM_BRIDGE_NAMSIZ);
}

// A bridge whose type changed (vlan_filtering toggled) is announced again with its new type.
void add_bridges(nsm_client *nc, const nsm_view &next) {
    for (const auto &[name, b] : next.bridges) {
        auto known = nc->applied.bridges.find(name);
        if (known != nc->applied.bridges.end() && known->second.type == b.type)
            continue;
        tell(nc, &nsm_client_events::bridge_added, bridge_name(name).c_str(), b.type);
        nc->applied.bridges[name].type = b.type;
    }
}

void remove_bridges(nsm_client *nc, const nsm_view &next) {
    std::vector<std::string> gone;
    for (const auto &[name, b] : nc->applied.bridges)
        if (!next.bridges.contains(name))
            gone.push_back(name);
    for (const auto &name : gone) {
        tell(nc, &nsm_client_events::bridge_deleted, bridge_name(name).c_str(),
             nc->applied.bridges[name].type);
        nc->applied.bridges.erase(name);
    }
}

void leave_vlans(nsm_client *nc, const nsm_view &next) {
    static const nsm_view_port none;
    for (auto it = nc->applied.ports.begin(); it != nc->applied.ports.end();) {
        auto found = next.ports.find(it->first);
        const nsm_view_port &want = found != next.ports.end() ? found->second : none;
        std::vector<uint16_t> leaving;
        for (uint16_t vid : it->second.vlans)
            if (!want.vlans.contains(vid))
                leaving.push_back(vid);
        if (!leaving.empty())
            tell(nc, &nsm_client_events::port_vlans_deleted, it->first, leaving.data(),
                 leaving.size());
        for (uint16_t vid : leaving)
            it->second.vlans.erase(vid);
        it = found == next.ports.end() ? nc->applied.ports.erase(it) : std::next(it);
    }
}

void delete_vlans(nsm_client *nc, const nsm_view &next) {
    for (auto &[name, cur] : nc->applied.bridges) {
        auto found = next.bridges.find(name);
        std::vector<uint16_t> gone;
        for (uint16_t vid : cur.vlans)
            if (found == next.bridges.end() || !found->second.vlans.contains(vid))
                gone.push_back(vid);
        for (uint16_t vid : gone) {
            tell(nc, &nsm_client_events::vlan_deleted, bridge_name(name).c_str(), vid);
            cur.vlans.erase(vid);
        }
    }
}

void add_vlans(nsm_client *nc, const nsm_view &next) {
    for (const auto &[name, b] : next.bridges) {
        auto &cur = nc->applied.bridges[name];
        for (uint16_t vid : b.vlans) {
            if (cur.vlans.contains(vid))
                continue;
            tell(nc, &nsm_client_events::vlan_added, bridge_name(name).c_str(), vid);
            cur.vlans.insert(vid);
        }
    }
}

// A link that joins the bridge while up must still reach the protocol as coming up.
void announce_joining_port_down(nsm_client *nc, uint32_t ifindex) {
    auto it = nc->applied.ifs.find(ifindex);
    if (it == nc->applied.ifs.end() || !if_flags_up(it->second.flags))
        return;
    it->second.flags = masked_flags(it->second.flags);
    struct interface *ifp = lookup(nc, ifindex);
    if (ifp != nullptr)
        ifp->flags = it->second.flags;
}

void join_vlans(nsm_client *nc, const nsm_view &next) {
    for (const auto &[ifindex, want] : next.ports) {
        if (!nc->applied.ifs.contains(ifindex))
            continue;
        bool joins = !nc->applied.ports.contains(ifindex);
        if (joins)
            announce_joining_port_down(nc, ifindex);
        auto &cur = nc->applied.ports[ifindex];
        std::vector<uint16_t> joining;
        for (uint16_t vid : want.vlans)
            if (!cur.vlans.contains(vid))
                joining.push_back(vid);
        // A port joining in no VLAN is still told: it is a port of the bridge, and its
        // configuration applies, before its first VLAN.
        if (!joining.empty() || joins)
            tell(nc, &nsm_client_events::port_vlans_added, ifindex, joining.data(), joining.size());
        cur.vlans = want.vlans;
        cur.untagged = want.untagged;
        cur.tpid = want.tpid;
    }
}

const char *stp_state_name(int state) {
    switch (state) {
    case BR_STATE_LISTENING:
        return "listening";
    case BR_STATE_LEARNING:
        return "learning";
    default:
        return "blocking";
    }
}

void note_stp_state(nsm_client *nc, nsm_view_if &cur, const nsm_view_if &v) {
    if (cur.stp_state == v.stp_state)
        return;
    if (v.stp_state < 0)
        zlog_info(nc->zg, "nsm: %s: the bridge forwards on it again (STP): protected as at link-up",
                  v.name.c_str());
    else if (cur.stp_state < 0)
        zlog_info(nc->zg,
                  "nsm: %s: the bridge does not forward on it (STP %s): neither probed nor "
                  "cut, and frames through it prove nothing",
                  v.name.c_str(), stp_state_name(v.stp_state));
    cur.stp_state = v.stp_state;
}

// Each VLAN of a port the bridge stops or starts forwarding on is told, and logged, once.
void send_vlan_states(nsm_client *nc, const nsm_view &next) {
    for (const auto &[ifindex, want] : next.ports) {
        auto cur = nc->applied.ports.find(ifindex);
        if (cur == nc->applied.ports.end() || cur->second.stp_vlans == want.stp_vlans)
            continue;
        const std::string &name = nc->applied.ifs.at(ifindex).name;
        for (uint16_t vid : want.stp_vlans) {
            if (cur->second.stp_vlans.contains(vid))
                continue;
            zlog_info(nc->zg,
                      "nsm: %s: the bridge does not forward on it in vlan %u (its vlan state): "
                      "neither probed nor cut there, and frames through it prove nothing",
                      name.c_str(), vid);
            tell(nc, &nsm_client_events::port_vlan_forwarding, ifindex, vid, false);
        }
        // A VLAN the port left is no news.
        for (uint16_t vid : cur->second.stp_vlans) {
            if (want.stp_vlans.contains(vid) || !want.vlans.contains(vid))
                continue;
            zlog_info(nc->zg,
                      "nsm: %s: the bridge forwards on it in vlan %u again: protected there as "
                      "at link-up",
                      name.c_str(), vid);
            tell(nc, &nsm_client_events::port_vlan_forwarding, ifindex, vid, true);
        }
        cur->second.stp_vlans = want.stp_vlans;
    }
}

void send_link_changes(nsm_client *nc, const nsm_view &next) {
    for (auto &[ifindex, cur] : nc->applied.ifs) {
        const nsm_view_if &v = next.ifs.at(ifindex);
        note_stp_state(nc, cur, v);
        bool up = if_flags_up(v.flags);
        if (if_flags_up(cur.flags) == up)
            continue;
        send_link(nc, ifindex, v);
        cur.flags = v.flags;
        cur.hw = v.hw;
        cur.hw_len = v.hw_len;
    }
}

void set_untagged(nsm_client *nc) {
    for (const auto &[ifindex, cur] : nc->applied.ifs) {
        struct interface *ifp = lookup(nc, ifindex);
        if (ifp == nullptr)
            continue;
        std::memset(ifp->untagged, 0, sizeof ifp->untagged);
        ifp->vlan_tpid = 0;
        auto port = nc->applied.ports.find(ifindex);
        if (port == nc->applied.ports.end())
            continue;
        ifp->vlan_tpid = port->second.tpid;
        for (uint16_t vid : port->second.untagged)
            if (vid < 4096)
                ifp->untagged[vid / 8] |= static_cast<uint8_t>(1u << (vid % 8));
    }
}

std::unique_ptr<nsm_backend> make_backend(nsm_client *nc) {
    std::string_view spec = nc->zg->platform.nsm;
    if (spec.empty() || spec == "kernel")
        return nsm_kernel_backend_create(nc, nc->rcvbuf);
    if (spec.starts_with("unix:") && spec.size() > 5)
        return nsm_unix_backend_create(nc, std::string(spec.substr(5)));
    zlog_err(nc->zg, "nsm: unknown backend \"%s\" (kernel or unix:PATH)", nc->zg->platform.nsm);
    return nullptr;
}

} // namespace

void nsm_client_apply_view(struct nsm_client *nc, const nsm_view &next) {
    remove_gone_interfaces(nc, next);
    rename_interfaces(nc, next);
    add_new_interfaces(nc, next);
    // Interfaces that could not be made are left out of every later step.
    nsm_view usable = next;
    std::erase_if(usable.ifs, [nc](const auto &e) { return !nc->applied.ifs.contains(e.first); });
    std::erase_if(usable.ports, [nc](const auto &e) { return !nc->applied.ifs.contains(e.first); });
    update_interfaces(nc, usable);
    add_bridges(nc, usable);
    leave_vlans(nc, usable);
    delete_vlans(nc, usable);
    add_vlans(nc, usable);
    join_vlans(nc, usable);
    send_vlan_states(nc, usable);
    send_link_changes(nc, usable);
    remove_bridges(nc, usable);
    set_untagged(nc);
    if (nc->applied_hook != nullptr)
        nc->applied_hook(nc);
}

void nsm_client_fdb_move(struct nsm_client *nc, const struct nsm_msg_fdb_move &move) {
    if (move.ifindex_from == move.ifindex_to || !nc->applied.ifs.contains(move.ifindex_from) ||
        !nc->applied.ifs.contains(move.ifindex_to))
        return;
    tell(nc, &nsm_client_events::fdb_move, move);
}

const nsm_view &nsm_client_view(const struct nsm_client *nc) {
    return nc->applied;
}

struct nsm_client *nsm_client_create(struct lib_globals *zg, int) {
    if (zg == nullptr)
        return nullptr;
    auto nc = std::make_unique<nsm_client>();
    nc->zg = zg;
    zg->nc = nc.get();
    return nc.release();
}

void nsm_client_free(struct nsm_client *nc) {
    if (nc == nullptr)
        return;
    std::unique_ptr<nsm_client> owned(nc);
    owned->backend.reset();
    if (owned->zg != nullptr && owned->zg->nc == nc)
        owned->zg->nc = nullptr;
}

int nsm_client_set_protocol(struct nsm_client *nc, int protocol) {
    if (nc == nullptr)
        return -1;
    nc->protocol = protocol;
    return 0;
}

int nsm_client_set_service(struct nsm_client *nc, int service) {
    if (nc == nullptr || service < 0 || service >= 64)
        return -1;
    nc->services |= uint64_t{1} << service;
    return 0;
}

void nsm_client_set_events(struct nsm_client *nc, const struct nsm_client_events &events) {
    nc->events = events;
}

int nsm_client_start(struct nsm_client *nc) {
    if (nc == nullptr || nc->backend != nullptr)
        return -1;
    nc->backend = make_backend(nc);
    if (nc->backend != nullptr && nc->backend->start() == 0)
        return 0;
    nc->backend.reset();
    nc->start_failed = true;
    return -1;
}

int nsm_client_send_port_state(struct nsm_client *nc, uint16_t flags, uint32_t ifindex) {
    std::lock_guard lock(nc->send_mutex);
    if (nc->sent_log.size() == SENT_LOG_MAX)
        nc->sent_log.pop_front();
    nc->sent_log.push_back({flags, ifindex, 0});
    // A client that was never started has nobody to deliver to: recording is all it does.
    if (nc->backend == nullptr)
        return nc->start_failed ? -1 : 0;
    return nc->backend->send_port_state(flags, ifindex);
}

int nsm_client_send_vlan_state(struct nsm_client *nc, uint16_t flags, uint32_t ifindex,
                               uint16_t vid) {
    std::lock_guard lock(nc->send_mutex);
    if (nc->sent_log.size() == SENT_LOG_MAX)
        nc->sent_log.pop_front();
    nc->sent_log.push_back({flags, ifindex, vid});
    if (nc->backend == nullptr)
        return nc->start_failed ? -1 : 0;
    return nc->backend->send_vlan_state(flags, ifindex, vid);
}

int nsm_client_port_flags(const struct nsm_client *nc, uint32_t ifindex) {
    return nc != nullptr && nc->backend != nullptr ? nc->backend->port_flags(ifindex) : -1;
}

int nsm_client_blocked_flags(const struct nsm_client *nc, uint32_t ifindex) {
    return nc != nullptr && nc->backend != nullptr ? nc->backend->blocked_flags(ifindex) : -1;
}

int nsm_client_keep_blocked_flags(struct nsm_client *nc, uint32_t ifindex, uint8_t flags) {
    return nc != nullptr && nc->backend != nullptr ? nc->backend->keep_blocked_flags(ifindex, flags)
                                                   : -1;
}

void nsm_client_set_applied_hook(struct nsm_client *nc, nsm_client_applied_func hook) {
    if (nc != nullptr)
        nc->applied_hook = hook;
}

const struct nsm_client_events &nsm_client_get_events(const struct nsm_client *nc) {
    return nc->events;
}

uint64_t nsm_client_services(const struct nsm_client *nc) {
    return nc != nullptr ? nc->services : 0;
}

int nsm_client_protocol(const struct nsm_client *nc) {
    return nc != nullptr ? nc->protocol : 0;
}

struct lib_globals *nsm_client_globals(struct nsm_client *nc) {
    return nc != nullptr ? nc->zg : nullptr;
}

size_t nsm_client_sent_count(const struct nsm_client *nc) {
    if (nc == nullptr)
        return 0;
    std::lock_guard lock(nc->send_mutex);
    return nc->sent_log.size();
}

int nsm_client_sent_get(const struct nsm_client *nc, size_t i, uint16_t *flags, uint32_t *ifindex) {
    if (nc == nullptr)
        return -1;
    std::lock_guard lock(nc->send_mutex);
    if (i >= nc->sent_log.size())
        return -1;
    *flags = nc->sent_log[i].flags;
    *ifindex = nc->sent_log[i].ifindex;
    return 0;
}

uint16_t nsm_client_sent_vid(const struct nsm_client *nc, size_t i) {
    if (nc == nullptr)
        return 0;
    std::lock_guard lock(nc->send_mutex);
    return i < nc->sent_log.size() ? nc->sent_log[i].vid : 0;
}

void nsm_client_sent_clear(struct nsm_client *nc) {
    if (nc == nullptr)
        return;
    std::lock_guard lock(nc->send_mutex);
    nc->sent_log.clear();
}

void nsm_client_get_stats(const struct nsm_client *nc, struct nsm_client_stats *stats) {
    if (nc != nullptr && stats != nullptr)
        *stats = nc->stats;
}

struct nsm_client_stats *nsm_client_counters(struct nsm_client *nc) {
    return &nc->stats;
}

int nsm_client_set_rcvbuf(struct nsm_client *nc, int bytes) {
    if (nc == nullptr || bytes < 0)
        return -1;
    nc->rcvbuf = bytes;
    return 0;
}
