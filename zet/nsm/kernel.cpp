#include "zet/nsm/kernel.h"

#include "zet/core/fd.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"
#include "zet/core/thread.h"
#include "zet/nsm/netlink.h"
#include "zet/nsm/view.h"

#include <libmnl/libmnl.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

// Large enough that a burst of notifications rarely overruns it.
constexpr int DEFAULT_RCVBUF = 4 * 1024 * 1024;
constexpr size_t RECV_BUFFER_SIZE = 64 * 1024;
// A kernel that keeps overrunning is re-read at most this often.
constexpr auto MIN_RESYNC_INTERVAL = std::chrono::milliseconds(100);
constexpr int DUMP_ATTEMPTS = 5;
constexpr int FDB_READS_PER_WAKE = 16;
constexpr long FDB_PAUSE_MSEC = 20;

struct mnl_closer {
    void operator()(mnl_socket *nl) const { mnl_socket_close(nl); }
};
using mnl_ptr = std::unique_ptr<mnl_socket, mnl_closer>;

using zet::fd_guard;

enum class dump_result { ok, interrupted, failed };

// The requests of a cut and of its release whose answers are read when they come.
enum class cut_step : uint8_t { disable, down, forward };
struct cut_ack {
    uint32_t ifindex;
    cut_step step;
};

class kernel_backend final : public nsm_backend {
  public:
    kernel_backend(nsm_backend_owner *nc, int rcvbuf)
        : nc_(nc), zg_(nc->globals()), rcvbuf_(rcvbuf > 0 ? rcvbuf : DEFAULT_RCVBUF),
          buf_(RECV_BUFFER_SIZE) {
        options_.bridge = zg_->platform.bridge;
        options_.port_mac_bridge = std::string_view(zg_->platform.port_mac) != "own";
    }
    ~kernel_backend() override {
        thread_cancel(event_read_);
        thread_cancel(timer_read_);
        thread_cancel(fdb_read_);
        thread_cancel(cut_read_);
    }

    int start() override;
    int send_port_state(uint16_t flags, uint32_t ifindex) override;
    int send_vlan_state(uint16_t flags, uint32_t ifindex, uint16_t vid) override;
    int port_flags(uint32_t ifindex) const override;
    int blocked_flags(uint32_t ifindex) const override;
    int keep_blocked_flags(uint32_t ifindex, uint8_t flags) override;

  private:
    static int on_event(struct thread *t);
    static int on_timer(struct thread *t);
    static int on_fdb(struct thread *t);
    static int on_cut_ack(struct thread *t);
    int open_sockets();
    void open_fdb_socket();
    bool read_fdb_events();
    void handle_fdb(const nsm_nl_fdb &fdb);
    // member: the port is still one of the bridge (else it is one this backend took down).
    int set_admin(uint32_t ifindex, bool down, bool member);
    int set_admin_down(uint32_t ifindex);
    bool send_cut_request(nlmsghdr *nlh, uint32_t ifindex, cut_step step);
    void send_brport_state(uint32_t ifindex, uint8_t state, cut_step step);
    void read_cut_acks();
    void cut_answered(const cut_ack &ack, int error);
    int set_blocked(uint32_t ifindex, bool block);
    dump_result dump(uint8_t family, uint32_t ext_mask, std::vector<nsm_nl_msg> &out);
    dump_result read_dump(uint32_t seq, std::vector<nsm_nl_msg> &out,
                          std::vector<nsm_nl_vlandb> *vlans = nullptr);
    // A VLAN-database message of type in req, for ifindex (0: every port).
    nlmsghdr *vlan_request(char *req, uint16_t type, uint16_t flags, uint32_t ifindex);
    void dump_vlan_states(std::vector<nsm_nl_vlandb> &out);
    void full_sync();
    void request_resync();
    void drain_events();
    void read_events();
    bool handle_event_buffer(size_t len);
    void apply_view();
    void tell_chosen(uint32_t before) const;
    void warn_unprintable();
    int request_ack(nlmsghdr *nlh);
    ifinfomsg *put_link_request(nlmsghdr *nlh, uint16_t type, uint16_t flags, uint8_t family,
                                uint32_t ifindex);

    nsm_backend_owner *nc_;
    lib_globals *zg_;
    int rcvbuf_;
    mnl_ptr events_;
    mnl_ptr query_;
    fd_guard timer_;
    struct thread *event_read_ = nullptr;
    struct thread *timer_read_ = nullptr;
    // Forwarding-database events on a socket of their own: a storm of them may overrun it, and
    // losing some costs nothing, where an overrun of the link socket means a full re-read.
    mnl_ptr fdb_;
    struct thread *fdb_read_ = nullptr;
    nsm_fdb_tracker fdb_tracker_;
    // Cut requests, whose answers the event loop reads when they come instead of waiting for
    // them: a cut blocked the loop for up to 220 ms under load. cut_acks_ holds the requests not
    // answered yet, by sequence number; disabled_ the ports disabled at their cut and not
    // released since.
    mnl_ptr cut_;
    struct thread *cut_read_ = nullptr;
    std::map<uint32_t, cut_ack> cut_acks_;
    std::set<uint32_t> disabled_;
    // NSM_BRPORT_* of each blocked port before its block.
    std::map<uint32_t, uint8_t> blocked_;
    nsm_kernel_state state_;
    nsm_kernel_options options_;
    // Ports this backend set admin down and has not released yet: they are released even
    // after leaving the bridge, so that none is left down for good.
    std::set<uint32_t> downed_;
    uint32_t seq_ = static_cast<uint32_t>(time(nullptr));
    clock_type::time_point last_sync_{};
    std::vector<char> buf_;
    std::set<uint32_t> unprintable_; // links left unmanaged for their names, logged once each
};

void kernel_backend::warn_unprintable() {
    std::set<uint32_t> now;
    for (const auto &[ifindex, l] : state_.links) {
        if (l.link.name.empty() || nsm_name_printable(l.link.name))
            continue;
        now.insert(ifindex);
        if (unprintable_.count(ifindex) == 0)
            zlog_warn(zg_,
                      "nsm: interface %u not managed: its name \"%s\" holds bytes outside "
                      "printable ASCII",
                      ifindex, nsm_name_escaped(l.link.name).c_str());
    }
    unprintable_.swap(now);
}

int kernel_backend::open_sockets() {
    events_.reset(mnl_socket_open(NETLINK_ROUTE));
    query_.reset(mnl_socket_open(NETLINK_ROUTE));
    cut_.reset(mnl_socket_open(NETLINK_ROUTE));
    timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (events_ == nullptr || query_ == nullptr || cut_ == nullptr || timer_.get() < 0)
        return -1;
    int fd = mnl_socket_get_fd(events_.get());
    // Only a privileged process may force a buffer beyond the system limit.
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf_, sizeof rcvbuf_) < 0 &&
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf_, sizeof rcvbuf_) < 0)
        return -1;
    // Subscribed before the first dump, so no change between the two is missed.
    if (mnl_socket_bind(events_.get(), RTMGRP_LINK, MNL_SOCKET_AUTOPID) < 0 ||
        mnl_socket_bind(query_.get(), 0, MNL_SOCKET_AUTOPID) < 0 ||
        mnl_socket_bind(cut_.get(), 0, MNL_SOCKET_AUTOPID) < 0)
        return -1;
    // Per-VLAN port states; a kernel without the VLAN database has none to tell.
    int group = RTNLGRP_BRVLAN;
    mnl_socket_setsockopt(events_.get(), NETLINK_ADD_MEMBERSHIP, &group, sizeof group);
    return 0;
}

int kernel_backend::start() {
    if (open_sockets() < 0) {
        zlog_err(zg_, "nsm: cannot open rtnetlink: %s", std::strerror(errno));
        return -1;
    }
    full_sync();
    if (nc_->counters().syncs == 0) {
        zlog_err(zg_, "nsm: cannot read the kernel's links: %s", std::strerror(errno));
        return -1;
    }
    event_read_ = thread_add_read(zg_, on_event, this, mnl_socket_get_fd(events_.get()));
    cut_read_ = thread_add_read(zg_, on_cut_ack, this, mnl_socket_get_fd(cut_.get()));
    open_fdb_socket();
    return 0;
}

// Without these events loops are still found, at the next transmission: a failure only warns.
void kernel_backend::open_fdb_socket() {
    if (!nc_->wants_fdb_moves())
        return;
    fdb_.reset(mnl_socket_open(NETLINK_ROUTE));
    if (fdb_ == nullptr || mnl_socket_bind(fdb_.get(), RTMGRP_NEIGH, MNL_SOCKET_AUTOPID) < 0) {
        zlog_warn(zg_, "nsm: no forwarding-database events: %s", std::strerror(errno));
        fdb_.reset();
        return;
    }
    fdb_read_ = thread_add_read(zg_, on_fdb, this, mnl_socket_get_fd(fdb_.get()));
}

void kernel_backend::handle_fdb(const nsm_nl_fdb &fdb) {
    if (fdb.master != 0 && fdb.master != state_.chosen)
        return;
    if (!nsm_kernel_state_is_port(state_, fdb.ifindex))
        return;
    uint32_t from = nsm_fdb_track(fdb_tracker_, fdb);
    if (from == 0 || !nsm_kernel_state_is_port(state_, from))
        return;
    nsm_msg_fdb_move move{};
    move.ifindex_from = from;
    move.ifindex_to = fdb.ifindex;
    move.vid = fdb.vid;
    std::memcpy(move.mac, fdb.mac.data(), sizeof move.mac);
    nc_->fdb_move(move);
}

// A loop storm makes events as fast as the kernel can send them, one message a read. A bounded
// number of reads per wake-up, and a pause after a wake-up that found more waiting, bound what a
// storm costs; what the socket cannot hold meanwhile is dropped, which costs nothing: the first
// moves of a storm have made their ports probe, and probes are rate-limited anyway. Gives true
// when more may be waiting.
bool kernel_backend::read_fdb_events() {
    int fd = mnl_socket_get_fd(fdb_.get());
    for (int reads = 0; reads < FDB_READS_PER_WAKE; reads++) {
        sockaddr_nl from{};
        socklen_t from_len = sizeof from;
        ssize_t n = recvfrom(fd, buf_.data(), buf_.size(), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0 && (errno == EINTR || errno == ENOBUFS))
            continue;
        if (n <= 0)
            return false;
        if (from.nl_pid != 0)
            continue;
        size_t len = static_cast<size_t>(n);
        for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf_.data());
             nsm_netlink_msg_ok(nlh, len); nlh = nsm_netlink_next(nlh, &len)) {
            nsm_nl_fdb fdb;
            int rc = nsm_netlink_parse_fdb(nlh, nlh->nlmsg_len, &fdb);
            if (rc == 0)
                handle_fdb(fdb);
            else if (rc < 0)
                nc_->counters().malformed++;
        }
    }
    return true;
}

// Reading and pausing share one handle: either waits for the next batch.
int kernel_backend::on_fdb(struct thread *t) {
    auto *self = static_cast<kernel_backend *>(THREAD_ARG(t));
    self->fdb_read_ = nullptr;
    if (self->read_fdb_events())
        self->fdb_read_ = thread_add_timer_msec(self->zg_, on_fdb, self, FDB_PAUSE_MSEC);
    if (self->fdb_read_ == nullptr)
        self->fdb_read_ =
            thread_add_read(self->zg_, on_fdb, self, mnl_socket_get_fd(self->fdb_.get()));
    return 0;
}

dump_result kernel_backend::dump(uint8_t family, uint32_t ext_mask, std::vector<nsm_nl_msg> &out) {
    char req[256];
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    put_link_request(nlh, RTM_GETLINK, NLM_F_REQUEST | NLM_F_DUMP, family, 0);
    if (ext_mask != 0)
        mnl_attr_put_u32(nlh, IFLA_EXT_MASK, ext_mask);
    if (mnl_socket_sendto(query_.get(), nlh, nlh->nlmsg_len) < 0)
        return dump_result::failed;
    return read_dump(nlh->nlmsg_seq, out);
}

nlmsghdr *kernel_backend::vlan_request(char *req, uint16_t type, uint16_t flags, uint32_t ifindex) {
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = flags;
    nlh->nlmsg_seq = ++seq_;
    auto *bvm = static_cast<br_vlan_msg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(br_vlan_msg)));
    bvm->family = AF_BRIDGE;
    bvm->ifindex = ifindex;
    return nlh;
}

// The VLAN database's per-VLAN port states; none from a kernel that has no such dump.
void kernel_backend::dump_vlan_states(std::vector<nsm_nl_vlandb> &out) {
    char req[256];
    nlmsghdr *nlh = vlan_request(req, RTM_GETVLAN, NLM_F_REQUEST | NLM_F_DUMP, 0);
    std::vector<nsm_nl_msg> links;
    if (mnl_socket_sendto(query_.get(), nlh, nlh->nlmsg_len) < 0 ||
        read_dump(nlh->nlmsg_seq, links, &out) != dump_result::ok)
        out.clear();
}

// Reads to the end of the dump even when it was interrupted, so the socket is clean for the
// next request.
dump_result kernel_backend::read_dump(uint32_t seq, std::vector<nsm_nl_msg> &out,
                                      std::vector<nsm_nl_vlandb> *vlans) {
    uint32_t portid = mnl_socket_get_portid(query_.get());
    bool interrupted = false;
    for (;;) {
        ssize_t n = mnl_socket_recvfrom(query_.get(), buf_.data(), buf_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return dump_result::failed;
        size_t len = static_cast<size_t>(n);
        for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf_.data());
             nsm_netlink_msg_ok(nlh, len); nlh = nsm_netlink_next(nlh, &len)) {
            if (!mnl_nlmsg_seq_ok(nlh, seq) || !mnl_nlmsg_portid_ok(nlh, portid))
                continue;
            if (nlh->nlmsg_flags & NLM_F_DUMP_INTR)
                interrupted = true;
            if (nlh->nlmsg_type == NLMSG_DONE)
                return interrupted ? dump_result::interrupted : dump_result::ok;
            if (nlh->nlmsg_type == NLMSG_ERROR)
                return dump_result::failed;
            if (vlans != nullptr) {
                nsm_nl_vlandb db;
                int rc = nsm_netlink_parse_vlandb(nlh, nlh->nlmsg_len, &db);
                if (rc == 0)
                    vlans->push_back(std::move(db));
                else if (rc < 0)
                    nc_->counters().malformed++;
                continue;
            }
            nsm_nl_msg msg;
            int rc = nsm_netlink_parse(nlh, nlh->nlmsg_len, &msg);
            if (rc == 0)
                out.push_back(std::move(msg));
            else if (rc < 0)
                nc_->counters().malformed++;
        }
    }
}

void kernel_backend::full_sync() {
    drain_events();
    for (int attempt = 1; attempt <= DUMP_ATTEMPTS; ++attempt) {
        std::vector<nsm_nl_msg> msgs;
        dump_result rc = dump(AF_UNSPEC, 0, msgs);
        if (rc != dump_result::failed) {
            dump_result br = dump(AF_BRIDGE, RTEXT_FILTER_BRVLAN_COMPRESSED, msgs);
            rc = br == dump_result::ok ? rc : br;
        }
        if (rc == dump_result::failed) {
            zlog_err(zg_, "nsm: link dump failed: %s", std::strerror(errno));
            return;
        }
        if (rc == dump_result::interrupted) {
            nc_->counters().dumps_interrupted++;
            if (attempt < DUMP_ATTEMPTS)
                continue;
        }
        std::vector<nsm_nl_vlandb> vlans;
        dump_vlan_states(vlans);
        nsm_kernel_state next;
        next.chosen = state_.chosen;
        next.chosen_name = state_.chosen_name;
        next.own_vlan_blocks = state_.own_vlan_blocks;
        for (const auto &m : msgs)
            nsm_kernel_state_apply(next, m);
        for (const auto &v : vlans)
            nsm_kernel_state_apply_vlandb(next, v);
        state_ = std::move(next);
        last_sync_ = clock_type::now();
        nc_->counters().syncs++;
        apply_view();
        // Still changing: take what there is now and look again soon.
        if (rc == dump_result::interrupted)
            request_resync();
        return;
    }
}

void kernel_backend::request_resync() {
    auto due = last_sync_ + MIN_RESYNC_INTERVAL;
    auto now = clock_type::now();
    if (now >= due && timer_read_ == nullptr) {
        zlog_info(zg_, "nsm: kernel events lost, reading the links again");
        full_sync();
        return;
    }
    if (timer_read_ != nullptr)
        return;
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    spec.it_value.tv_nsec = std::max<long>(1, static_cast<long>(wait.count() % 1000000000));
    timerfd_settime(timer_.get(), 0, &spec, nullptr);
    timer_read_ = thread_add_read(zg_, on_timer, this, timer_.get());
}

int kernel_backend::on_timer(struct thread *t) {
    auto *self = static_cast<kernel_backend *>(THREAD_ARG(t));
    self->timer_read_ = nullptr;
    uint64_t expirations;
    if (read(self->timer_.get(), &expirations, sizeof expirations) < 0 && errno == EAGAIN) {
        self->timer_read_ = thread_add_read(self->zg_, on_timer, self, self->timer_.get());
        return 0;
    }
    zlog_info(self->zg_, "nsm: kernel events lost, reading the links again");
    self->full_sync();
    return 0;
}

void kernel_backend::drain_events() {
    int fd = mnl_socket_get_fd(events_.get());
    for (;;) {
        ssize_t n = recv(fd, buf_.data(), buf_.size(), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == ENOBUFS))
            continue;
        if (n <= 0)
            return;
    }
}

// Gives false when the buffer holds something the kernel did not send.
bool kernel_backend::handle_event_buffer(size_t size) {
    size_t len = size;
    for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf_.data()); nsm_netlink_msg_ok(nlh, len);
         nlh = nsm_netlink_next(nlh, &len)) {
        nsm_nl_msg msg;
        nsm_nl_vlandb db;
        int rc = nsm_netlink_parse(nlh, nlh->nlmsg_len, &msg);
        if (rc == 0)
            nsm_kernel_state_apply(state_, msg);
        if (rc == 1)
            rc = nsm_netlink_parse_vlandb(nlh, nlh->nlmsg_len, &db);
        if (rc == 0 && db.ifindex != 0)
            nsm_kernel_state_apply_vlandb(state_, db);
        if (rc < 0) {
            nc_->counters().malformed++;
            zlog_warn(zg_, "nsm: malformed link message type %u dropped", nlh->nlmsg_type);
        }
    }
    return len == 0;
}

void kernel_backend::read_events() {
    int fd = mnl_socket_get_fd(events_.get());
    bool changed = false;
    for (;;) {
        sockaddr_nl from{};
        iovec iov{buf_.data(), buf_.size()};
        msghdr mh{};
        mh.msg_name = &from;
        mh.msg_namelen = sizeof from;
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = recvmsg(fd, &mh, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == ENOBUFS) {
            nc_->counters().overruns++;
            request_resync();
            continue;
        }
        if (n <= 0)
            break;
        // Only the kernel speaks for the kernel; a lost tail means lost state.
        if (from.nl_pid != 0)
            continue;
        if ((mh.msg_flags & MSG_TRUNC) || !handle_event_buffer(static_cast<size_t>(n))) {
            request_resync();
            continue;
        }
        changed = true;
    }
    if (changed)
        apply_view();
}

void kernel_backend::apply_view() {
    warn_unprintable();
    uint32_t before = state_.chosen;
    nsm_view view = nsm_kernel_state_view(state_, options_);
    if (state_.chosen != before)
        tell_chosen(before);
    auto gone = [this](uint32_t ifindex) { return !state_.links.contains(ifindex); };
    std::erase_if(downed_, gone);
    std::erase_if(disabled_, gone);
    nc_->apply_view(view);
}

void kernel_backend::tell_chosen(uint32_t before) const {
    const char *name = state_.chosen_name.c_str();
    if (state_.chosen != 0)
        zlog_info(zg_, "nsm: bridge %s (index %u) is bridge 1", name, state_.chosen);
    else if (before != 0)
        zlog_warn(zg_, "nsm: bridge %s has gone; waiting for a bridge of that name", name);
}

int kernel_backend::on_event(struct thread *t) {
    auto *self = static_cast<kernel_backend *>(THREAD_ARG(t));
    self->event_read_ = nullptr;
    self->read_events();
    self->event_read_ =
        thread_add_read(self->zg_, on_event, self, mnl_socket_get_fd(self->events_.get()));
    return 0;
}

// The link message header of a request with this socket's next sequence number.
ifinfomsg *kernel_backend::put_link_request(nlmsghdr *nlh, uint16_t type, uint16_t flags,
                                            uint8_t family, uint32_t ifindex) {
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = flags;
    nlh->nlmsg_seq = ++seq_;
    auto *ifi = static_cast<ifinfomsg *>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
    ifi->ifi_family = family;
    ifi->ifi_index = static_cast<int>(ifindex);
    return ifi;
}

int kernel_backend::request_ack(nlmsghdr *nlh) {
    uint32_t portid = mnl_socket_get_portid(query_.get());
    if (mnl_socket_sendto(query_.get(), nlh, nlh->nlmsg_len) < 0)
        return -1;
    for (;;) {
        ssize_t n = mnl_socket_recvfrom(query_.get(), buf_.data(), buf_.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        int rc = mnl_cb_run(buf_.data(), static_cast<size_t>(n), nlh->nlmsg_seq, portid, nullptr,
                            nullptr);
        if (rc <= MNL_CB_STOP)
            return rc;
    }
}

int kernel_backend::send_port_state(uint16_t flags, uint32_t ifindex) {
    auto *stats = &nc_->counters();
    bool known = flags == NSM_PORT_STATE_SHUTDOWN || flags == NSM_PORT_STATE_NOSHUTDOWN ||
                 flags == NSM_PORT_STATE_BLOCK || flags == NSM_PORT_STATE_UNBLOCK;
    if (!known) {
        stats->refused++;
        zlog_warn(zg_, "nsm: port-state request for interface %u with flags 0x%04x refused",
                  ifindex, flags);
        return -1;
    }
    bool member = nsm_kernel_state_is_port(state_, ifindex);
    bool ours = flags == NSM_PORT_STATE_NOSHUTDOWN && downed_.contains(ifindex) &&
                state_.links.contains(ifindex);
    if (!member && !ours) {
        stats->refused++;
        zlog_warn(zg_, "nsm: port-state request for interface %u refused: not a port of bridge 1",
                  ifindex);
        return -1;
    }
    if (flags == NSM_PORT_STATE_BLOCK || flags == NSM_PORT_STATE_UNBLOCK)
        return set_blocked(ifindex, flags == NSM_PORT_STATE_BLOCK);
    return set_admin(ifindex, flags == NSM_PORT_STATE_SHUTDOWN, member);
}

int kernel_backend::set_admin(uint32_t ifindex, bool down, bool member) {
    if (down)
        return set_admin_down(ifindex);
    // A port whose admin down was refused is up but still disabled, and going up changes
    // nothing; one that went down forwards again when its link comes up.
    bool enable = disabled_.erase(ifindex) != 0 && !downed_.contains(ifindex) && member;
    char req[256];
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    ifinfomsg *ifi =
        put_link_request(nlh, RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK, AF_UNSPEC, ifindex);
    ifi->ifi_change = IFF_UP;
    ifi->ifi_flags = IFF_UP;
    const std::string &name = state_.links.at(ifindex).link.name;
    if (request_ack(nlh) < 0) {
        zlog_err(zg_, "nsm: cannot set %s admin up: %s", name.c_str(), std::strerror(errno));
        return -1;
    }
    downed_.erase(ifindex);
    if (enable)
        send_brport_state(ifindex, BR_STATE_FORWARDING, cut_step::forward);
    if (!member)
        return 1;
    zlog_info(zg_, "nsm: %s set admin up", name.c_str());
    return 0;
}

int kernel_backend::port_flags(uint32_t ifindex) const {
    if (!nsm_kernel_state_is_port(state_, ifindex))
        return -1;
    return state_.links.at(ifindex).link.brport;
}

int kernel_backend::blocked_flags(uint32_t ifindex) const {
    auto it = blocked_.find(ifindex);
    return it != blocked_.end() ? it->second : -1;
}

int kernel_backend::keep_blocked_flags(uint32_t ifindex, uint8_t flags) {
    blocked_[ifindex] = flags;
    return 0;
}

// The bridge stops forwarding on a disabled port at once, where the admin down that follows
// first waits for the kernel to quiesce the device. Both requests are done by the kernel
// inside the send; only their answers are left for later.
int kernel_backend::set_admin_down(uint32_t ifindex) {
    send_brport_state(ifindex, BR_STATE_DISABLED, cut_step::disable);
    char req[256];
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    ifinfomsg *ifi =
        put_link_request(nlh, RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK, AF_UNSPEC, ifindex);
    ifi->ifi_change = IFF_UP;
    ifi->ifi_flags = 0;
    if (!send_cut_request(nlh, ifindex, cut_step::down)) {
        zlog_err(zg_, "nsm: cannot set %s admin down: %s",
                 state_.links.at(ifindex).link.name.c_str(), std::strerror(errno));
        return -1;
    }
    downed_.insert(ifindex);
    return 0;
}

bool kernel_backend::send_cut_request(nlmsghdr *nlh, uint32_t ifindex, cut_step step) {
    if (mnl_socket_sendto(cut_.get(), nlh, nlh->nlmsg_len) < 0)
        return false;
    cut_acks_[nlh->nlmsg_seq] = cut_ack{ifindex, step};
    return true;
}

void kernel_backend::send_brport_state(uint32_t ifindex, uint8_t state, cut_step step) {
    char req[256];
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    put_link_request(nlh, RTM_SETLINK, NLM_F_REQUEST | NLM_F_ACK, AF_BRIDGE, ifindex);
    nlattr *protinfo = mnl_attr_nest_start(nlh, IFLA_PROTINFO);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_STATE, state);
    mnl_attr_nest_end(nlh, protinfo);
    if (send_cut_request(nlh, ifindex, step) && step == cut_step::disable)
        disabled_.insert(ifindex);
}

void kernel_backend::read_cut_acks() {
    for (;;) {
        ssize_t n = recv(mnl_socket_get_fd(cut_.get()), buf_.data(), buf_.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        size_t len = static_cast<size_t>(n);
        for (auto *nlh = reinterpret_cast<const nlmsghdr *>(buf_.data());
             nsm_netlink_msg_ok(nlh, len); nlh = nsm_netlink_next(nlh, &len)) {
            auto it = cut_acks_.find(nlh->nlmsg_seq);
            if (nlh->nlmsg_type != NLMSG_ERROR || it == cut_acks_.end() ||
                nlh->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr)))
                continue;
            cut_ack ack = it->second;
            cut_acks_.erase(it);
            cut_answered(ack, static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(nlh))->error);
        }
    }
}

// A refused forward is the kernel's to make once the link comes up.
void kernel_backend::cut_answered(const cut_ack &ack, int error) {
    if (ack.step == cut_step::forward)
        return;
    auto link = state_.links.find(ack.ifindex);
    std::string name = link != state_.links.end() ? link->second.link.name
                                                  : "interface " + std::to_string(ack.ifindex);
    // The kernel's spanning tree keeps its own port states (EBUSY): the admin down still cuts.
    if (ack.step == cut_step::disable) {
        if (error != 0 && error != -EBUSY)
            zlog_info(zg_, "nsm: %s not disabled ahead of its admin down: %s", name.c_str(),
                      std::strerror(-error));
        return;
    }
    if (error == 0) {
        zlog_info(zg_, "nsm: %s set admin down", name.c_str());
        return;
    }
    zlog_err(zg_, "nsm: cannot set %s admin down: %s", name.c_str(), std::strerror(-error));
    downed_.erase(ack.ifindex);
}

int kernel_backend::on_cut_ack(struct thread *t) {
    auto *self = static_cast<kernel_backend *>(THREAD_ARG(t));
    self->cut_read_ = nullptr;
    self->read_cut_acks();
    self->cut_read_ =
        thread_add_read(self->zg_, on_cut_ack, self, mnl_socket_get_fd(self->cut_.get()));
    return 0;
}

// Without the kernel's spanning tree a blocking port state does not hold, so a block is made
// of port flags: locked with learning off drops what arrives before it is forwarded, flooding
// off keeps the other ports' frames from leaving, and the flush forgets the addresses that
// would still be sent there. The packet socket sends and receives on the port all the same.
int kernel_backend::set_blocked(uint32_t ifindex, bool block) {
    auto &link = state_.links.at(ifindex).link;
    uint8_t want = NSM_BRPORT_LOCKED;
    bool saved = false;
    if (block) {
        auto before = static_cast<uint8_t>(link.brport >= 0 ? link.brport : NSM_BRPORT_DEFAULT);
        // A port that left the bridge and came back since its last block has fresh flags.
        if (!(before & NSM_BRPORT_LOCKED))
            blocked_.erase(ifindex);
        saved = blocked_.try_emplace(ifindex, before).second;
    } else {
        auto it = blocked_.find(ifindex);
        want = it != blocked_.end() ? it->second : uint8_t{NSM_BRPORT_DEFAULT};
    }
    char req[512];
    nlmsghdr *nlh = mnl_nlmsg_put_header(req);
    put_link_request(nlh, RTM_SETLINK, NLM_F_REQUEST | NLM_F_ACK, AF_BRIDGE, ifindex);
    nlattr *protinfo = mnl_attr_nest_start(nlh, IFLA_PROTINFO);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_LOCKED, (want & NSM_BRPORT_LOCKED) != 0);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_LEARNING, (want & NSM_BRPORT_LEARNING) != 0);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_UNICAST_FLOOD, (want & NSM_BRPORT_FLOOD) != 0);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_MCAST_FLOOD, (want & NSM_BRPORT_MCAST_FLOOD) != 0);
    mnl_attr_put_u8(nlh, IFLA_BRPORT_BCAST_FLOOD, (want & NSM_BRPORT_BCAST_FLOOD) != 0);
    if (block)
        mnl_attr_put(nlh, IFLA_BRPORT_FLUSH, 0, nullptr);
    mnl_attr_nest_end(nlh, protinfo);
    const char *verb = block ? "block" : "unblock";
    if (request_ack(nlh) < 0) {
        zlog_err(zg_, "nsm: cannot %s %s: %s", verb, link.name.c_str(), std::strerror(errno));
        if (saved)
            blocked_.erase(ifindex);
        return -1;
    }
    if (!block)
        blocked_.erase(ifindex);
    zlog_info(zg_, "nsm: %s %sed", link.name.c_str(), verb);
    return 0;
}

// The bridge's own per-VLAN port state (what `bridge vlan set ... state` sets): blocking drops
// the VLAN's frames both ways on the port, while its other VLANs, its membership and its flags
// stay as they are. The packet socket still sends and receives there, so the VLAN is probed.
int kernel_backend::send_vlan_state(uint16_t flags, uint32_t ifindex, uint16_t vid) {
    const bool block = flags == NSM_PORT_STATE_VLAN_BLOCK;
    if ((!block && flags != NSM_PORT_STATE_VLAN_UNBLOCK) || vid < 1 || vid > 4094 ||
        !nsm_kernel_state_is_port(state_, ifindex)) {
        nc_->counters().refused++;
        zlog_warn(zg_, "nsm: vlan-state request 0x%04x for interface %u vlan %u refused", flags,
                  ifindex, vid);
        return -1;
    }
    char req[256];
    nlmsghdr *nlh = vlan_request(req, RTM_NEWVLAN, NLM_F_REQUEST | NLM_F_ACK, ifindex);
    nlattr *entry = mnl_attr_nest_start(nlh, BRIDGE_VLANDB_ENTRY);
    bridge_vlan_info info{};
    info.vid = vid;
    mnl_attr_put(nlh, BRIDGE_VLANDB_ENTRY_INFO, sizeof info, &info);
    mnl_attr_put_u8(nlh, BRIDGE_VLANDB_ENTRY_STATE,
                    block ? BR_STATE_BLOCKING : BR_STATE_FORWARDING);
    mnl_attr_nest_end(nlh, entry);
    const std::string &name = state_.links.at(ifindex).link.name;
    const char *verb = block ? "block" : "unblock";
    if (request_ack(nlh) < 0) {
        zlog_err(zg_, "nsm: cannot %s %s in vlan %u: %s", verb, name.c_str(), vid,
                 std::strerror(errno));
        return -1;
    }
    // As the kernel has it now, before its notification says so.
    auto &states = state_.links.at(ifindex).vlan_states;
    if (block) {
        state_.own_vlan_blocks.insert(ifindex << 16 | vid);
        states[vid] = BR_STATE_BLOCKING;
    } else {
        state_.own_vlan_blocks.erase(ifindex << 16 | vid);
        states.erase(vid);
    }
    zlog_info(zg_, "nsm: %s %sed in vlan %u", name.c_str(), verb, vid);
    return 0;
}

} // namespace

std::unique_ptr<nsm_backend> nsm_kernel_backend_create(nsm_backend_owner *nc, int rcvbuf) {
    return std::make_unique<kernel_backend>(nc, rcvbuf);
}
