#include "zet/nsm/unix.h"

#include "zet/core/access.h"
#include "zet/core/fd.h"
#include "zet/core/globals.h"
#include "zet/core/if.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/core/thread.h"
#include "zet/nsm/view.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr size_t IF_NAME_FIELD = 21;
constexpr size_t BRIDGE_NAME_FIELD = 17;
constexpr size_t HW_FIELD = 6;
constexpr uint16_t VID_MIN = 1;
constexpr uint16_t VID_MAX = 4094;
constexpr uint16_t VID_MASK = 0x0fff;
constexpr uint16_t ENTRY_UNTAGGED = 0x1000;
constexpr const char *BRIDGE_ONE = "1";

class writer {
  public:
    writer &u8(uint8_t v) {
        b_.push_back(v);
        return *this;
    }
    writer &u16(uint16_t v) { return u8(static_cast<uint8_t>(v >> 8)).u8(static_cast<uint8_t>(v)); }
    writer &u32(uint32_t v) {
        return u16(static_cast<uint16_t>(v >> 16)).u16(static_cast<uint16_t>(v));
    }
    writer &u64(uint64_t v) {
        return u32(static_cast<uint32_t>(v >> 32)).u32(static_cast<uint32_t>(v));
    }
    writer &bytes(const uint8_t *p, size_t n, size_t field) {
        for (size_t i = 0; i < field; i++)
            u8(p != nullptr && i < n ? p[i] : 0);
        return *this;
    }
    writer &name(const std::string &s, size_t field) {
        return bytes(reinterpret_cast<const uint8_t *>(s.data()), std::min(s.size(), field - 1),
                     field);
    }
    std::vector<uint8_t> take() { return std::move(b_); }

  private:
    std::vector<uint8_t> b_;
};

class reader {
  public:
    explicit reader(const std::vector<uint8_t> &b) : b_(b) {}
    uint8_t u8() { return has(1) ? b_[off_++] : fail8(); }
    uint16_t u16() {
        uint16_t hi = u8();
        return static_cast<uint16_t>(hi << 8 | u8());
    }
    uint32_t u32() {
        uint32_t hi = u16();
        return hi << 16 | u16();
    }
    uint64_t u64() {
        uint64_t hi = u32();
        return hi << 32 | u32();
    }
    void bytes(uint8_t *out, size_t field) {
        for (size_t i = 0; i < field; i++)
            out[i] = u8();
    }
    // A NUL-terminated, non-empty name of printable characters in a fixed field.
    bool name(size_t field, std::string *out) {
        if (!has(field))
            return fail();
        const char *p = reinterpret_cast<const char *>(b_.data() + off_);
        off_ += field;
        size_t len = strnlen(p, field);
        if (len == 0 || len == field)
            return false;
        for (size_t i = 0; i < len; i++)
            if (p[i] <= ' ' || p[i] > '~')
                return false;
        out->assign(p, len);
        return true;
    }
    size_t left() const { return b_.size() - off_; }
    bool ok() const { return ok_; }
    bool done() const { return ok_ && off_ == b_.size(); }

  private:
    bool has(size_t n) const { return ok_ && b_.size() - off_ >= n; }
    uint8_t fail8() {
        ok_ = false;
        return 0;
    }
    bool fail() {
        ok_ = false;
        return false;
    }
    const std::vector<uint8_t> &b_;
    size_t off_ = 0;
    bool ok_ = true;
};

bool valid_vid(uint16_t vid) {
    return vid >= VID_MIN && vid <= VID_MAX;
}

// The bytes of the field past the address are whatever the sender's buffer held; kept, they
// would make one address differ from itself.
void read_hw(reader &r, std::array<uint8_t, 6> &hw, uint8_t hw_len) {
    r.bytes(hw.data(), HW_FIELD);
    std::fill(hw.begin() + std::min<size_t>(hw_len, HW_FIELD), hw.end(), 0);
}

int bad(std::string *why, const char *text) {
    if (why != nullptr)
        *why = text;
    return -1;
}

int apply_if_add(nsm_view &view, reader &r, std::string *why) {
    uint32_t ifindex = r.u32();
    nsm_view_if v;
    v.flags = r.u32();
    v.hw_len = r.u8();
    read_hw(r, v.hw, static_cast<uint8_t>(v.hw_len));
    r.u8();
    bool named = r.name(IF_NAME_FIELD, &v.name);
    if (!r.done())
        return bad(why, "interface add of wrong length");
    if (!named || v.name.size() >= IFNAMSIZ)
        return bad(why, "interface name not terminated or not printable");
    if (ifindex == 0 || v.hw_len > HW_FIELD)
        return bad(why, "interface index 0 or hardware address too long");
    for (const auto &[idx, other] : view.ifs)
        if (idx != ifindex && other.name == v.name)
            return bad(why, "interface name already used by another index");
    view.ifs[ifindex] = v;
    return 0;
}

int apply_if_delete(nsm_view &view, reader &r, std::string *why) {
    uint32_t ifindex = r.u32();
    if (!r.done())
        return bad(why, "interface delete of wrong length");
    if (view.ifs.erase(ifindex) == 0)
        return bad(why, "interface delete for an unknown interface");
    view.ports.erase(ifindex);
    return 0;
}

int apply_link(nsm_view &view, uint16_t type, reader &r, std::string *why) {
    uint32_t ifindex = r.u32();
    uint32_t flags = r.u32();
    uint8_t hw_len = r.u8();
    std::array<uint8_t, 6> hw{};
    read_hw(r, hw, hw_len);
    r.u8();
    if (!r.done())
        return bad(why, "link message of wrong length");
    auto it = view.ifs.find(ifindex);
    if (it == view.ifs.end())
        return bad(why, "link message for an unknown interface");
    if (hw_len > HW_FIELD || if_flags_up(flags) != (type == NSM_MSG_LINK_UP))
        return bad(why, "link message whose flags contradict its type");
    it->second.flags = flags;
    if (hw_len > 0) {
        it->second.hw = hw;
        it->second.hw_len = hw_len;
    }
    return 0;
}

int apply_bridge(nsm_view &view, uint16_t type, reader &r, std::string *why) {
    std::string name;
    bool named = r.name(BRIDGE_NAME_FIELD, &name);
    uint8_t bridge_type = r.u8();
    if (!r.done())
        return bad(why, "bridge message of wrong length");
    if (!named)
        return bad(why, "bridge name not terminated or not printable");
    if (type == NSM_MSG_BRIDGE_ADD) {
        view.bridges[name].type = bridge_type;
        return 0;
    }
    if (view.bridges.erase(name) == 0)
        return bad(why, "bridge delete for an unknown bridge");
    if (name == BRIDGE_ONE)
        view.ports.clear();
    return 0;
}

int apply_vlan(nsm_view &view, uint16_t type, reader &r, std::string *why) {
    std::string name;
    bool named = r.name(BRIDGE_NAME_FIELD, &name);
    r.u8();
    uint16_t vid = r.u16();
    if (!r.done())
        return bad(why, "vlan message of wrong length");
    if (!named)
        return bad(why, "bridge name not terminated or not printable");
    if (!valid_vid(vid))
        return bad(why, "vlan id out of range");
    auto it = view.bridges.find(name);
    if (it == view.bridges.end())
        return bad(why, "vlan message for an unknown bridge");
    if (type == NSM_MSG_BRIDGE_ADD_VLAN) {
        it->second.vlans.insert(vid);
        return 0;
    }
    it->second.vlans.erase(vid);
    if (name == BRIDGE_ONE) {
        for (auto &[idx, port] : view.ports) {
            port.vlans.erase(vid);
            port.untagged.erase(vid);
        }
    }
    return 0;
}

int apply_vlan_port(nsm_view &view, uint16_t type, reader &r, std::string *why) {
    uint32_t ifindex = r.u32();
    uint16_t count = r.u16();
    if (!r.ok() || count > NSM_UNIX_VLAN_PORT_MAX || r.left() != size_t{count} * 2)
        return bad(why, "vlan-port count does not match the payload");
    std::vector<uint16_t> entries(count);
    for (auto &e : entries)
        e = r.u16();
    if (!view.ifs.contains(ifindex))
        return bad(why, "vlan-port message for an unknown interface");
    auto bridge = view.bridges.find(BRIDGE_ONE);
    if (bridge == view.bridges.end())
        return bad(why, "vlan-port message without bridge 1");
    for (uint16_t e : entries)
        if (!valid_vid(e & VID_MASK))
            return bad(why, "vlan-port entry out of range");
    if (type == NSM_MSG_BRIDGE_VLAN_DELETE_IF && !view.ports.contains(ifindex))
        return bad(why, "vlan-port delete for an interface that is no port");
    auto &port = view.ports[ifindex];
    for (uint16_t e : entries) {
        uint16_t vid = e & VID_MASK;
        if (type == NSM_MSG_BRIDGE_VLAN_DELETE_IF) {
            port.vlans.erase(vid);
            port.untagged.erase(vid);
            continue;
        }
        port.vlans.insert(vid);
        bridge->second.vlans.insert(vid);
        if (e & ENTRY_UNTAGGED)
            port.untagged.insert(vid);
        else
            port.untagged.erase(vid);
    }
    return 0;
}

} // namespace

std::vector<uint8_t> nsm_unix_encode(uint16_t type, const std::vector<uint8_t> &payload) {
    writer w;
    w.u8(NSM_UNIX_VERSION)
        .u8(0)
        .u16(type)
        .u32(static_cast<uint32_t>(NSM_UNIX_HEADER_SIZE + payload.size()));
    std::vector<uint8_t> frame = w.take();
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::vector<uint8_t> nsm_unix_hello(uint16_t protocol, uint64_t services) {
    return nsm_unix_encode(NSM_UNIX_HELLO, writer().u16(protocol).u16(0).u64(services).take());
}

std::vector<uint8_t> nsm_unix_if_add(uint32_t ifindex, const std::string &name, uint32_t flags,
                                     const uint8_t *hw, uint8_t hw_len) {
    writer w;
    w.u32(ifindex)
        .u32(flags)
        .u8(hw_len)
        .bytes(hw, hw_len, HW_FIELD)
        .u8(0)
        .name(name, IF_NAME_FIELD);
    return nsm_unix_encode(NSM_UNIX_IF_ADD, w.take());
}

std::vector<uint8_t> nsm_unix_if_delete(uint32_t ifindex) {
    return nsm_unix_encode(NSM_UNIX_IF_DELETE, writer().u32(ifindex).take());
}

std::vector<uint8_t> nsm_unix_sync_end() {
    return nsm_unix_encode(NSM_UNIX_SYNC_END, {});
}

std::vector<uint8_t> nsm_unix_link(uint16_t type, uint32_t ifindex, uint32_t flags,
                                   const uint8_t *hw, uint8_t hw_len) {
    writer w;
    w.u32(ifindex).u32(flags).u8(hw_len).bytes(hw, hw_len, HW_FIELD).u8(0);
    return nsm_unix_encode(type, w.take());
}

std::vector<uint8_t> nsm_unix_bridge(uint16_t type, const std::string &name, uint8_t bridge_type) {
    return nsm_unix_encode(type, writer().name(name, BRIDGE_NAME_FIELD).u8(bridge_type).take());
}

std::vector<uint8_t> nsm_unix_vlan(uint16_t type, const std::string &bridge, uint16_t vid) {
    return nsm_unix_encode(type, writer().name(bridge, BRIDGE_NAME_FIELD).u8(0).u16(vid).take());
}

std::vector<uint8_t> nsm_unix_vlan_port(uint16_t type, uint32_t ifindex,
                                        const std::vector<uint16_t> &entries) {
    writer w;
    w.u32(ifindex).u16(static_cast<uint16_t>(entries.size()));
    for (uint16_t e : entries)
        w.u16(e);
    return nsm_unix_encode(type, w.take());
}

std::vector<uint8_t> nsm_unix_port_state(uint16_t flags, uint32_t ifindex, uint16_t vid) {
    return nsm_unix_encode(NSM_MSG_PORT_STATE, writer().u16(flags).u16(vid).u32(ifindex).take());
}

std::vector<uint8_t> nsm_unix_fdb_move(const nsm_msg_fdb_move &move) {
    writer w;
    w.u32(move.ifindex_from).u32(move.ifindex_to).u16(move.vid).bytes(move.mac, HW_FIELD, HW_FIELD);
    return nsm_unix_encode(NSM_MSG_FDB_MOVE, w.take());
}

int nsm_unix_take_frame(std::vector<uint8_t> &buf, nsm_unix_frame *out) {
    if (buf.size() < NSM_UNIX_HEADER_SIZE)
        return 0;
    std::vector<uint8_t> head(buf.begin(), buf.begin() + NSM_UNIX_HEADER_SIZE);
    reader r(head);
    uint8_t version = r.u8();
    r.u8();
    uint16_t type = r.u16();
    uint32_t length = r.u32();
    if (version != NSM_UNIX_VERSION || length < NSM_UNIX_HEADER_SIZE || length > NSM_UNIX_FRAME_MAX)
        return -1;
    if (buf.size() < length)
        return 0;
    out->type = type;
    out->payload.assign(buf.begin() + NSM_UNIX_HEADER_SIZE, buf.begin() + length);
    buf.erase(buf.begin(), buf.begin() + length);
    return 1;
}

// Each step checks the whole message before it changes anything, so a refused one leaves the
// view as it was without a copy of it: a synchronisation of thousands of frames stays linear.
int nsm_unix_apply_frame(nsm_view &view, const nsm_unix_frame &frame, std::string *why) {
    reader r(frame.payload);
    switch (frame.type) {
    case NSM_UNIX_IF_ADD:
        return apply_if_add(view, r, why);
    case NSM_UNIX_IF_DELETE:
        return apply_if_delete(view, r, why);
    case NSM_MSG_LINK_UP:
    case NSM_MSG_LINK_DOWN:
        return apply_link(view, frame.type, r, why);
    case NSM_MSG_BRIDGE_ADD:
    case NSM_MSG_BRIDGE_DELETE:
        return apply_bridge(view, frame.type, r, why);
    case NSM_MSG_BRIDGE_ADD_VLAN:
    case NSM_MSG_BRIDGE_DELETE_VLAN:
        return apply_vlan(view, frame.type, r, why);
    case NSM_MSG_BRIDGE_VLAN_ADD_IF:
    case NSM_MSG_BRIDGE_VLAN_DELETE_IF:
        return apply_vlan_port(view, frame.type, r, why);
    default:
        return bad(why, "unknown message type");
    }
}

std::vector<std::vector<uint8_t>> nsm_unix_view_frames(const nsm_view &view) {
    std::vector<std::vector<uint8_t>> frames;
    for (const auto &[ifindex, v] : view.ifs)
        frames.push_back(
            nsm_unix_if_add(ifindex, v.name, v.flags, v.hw.data(), static_cast<uint8_t>(v.hw_len)));
    for (const auto &[name, b] : view.bridges) {
        frames.push_back(nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, name, b.type));
        for (uint16_t vid : b.vlans)
            frames.push_back(nsm_unix_vlan(NSM_MSG_BRIDGE_ADD_VLAN, name, vid));
    }
    for (const auto &[ifindex, p] : view.ports) {
        std::vector<uint16_t> entries;
        for (uint16_t vid : p.vlans)
            entries.push_back(
                static_cast<uint16_t>(vid | (p.untagged.contains(vid) ? ENTRY_UNTAGGED : 0)));
        frames.push_back(nsm_unix_vlan_port(NSM_MSG_BRIDGE_VLAN_ADD_IF, ifindex, entries));
    }
    frames.push_back(nsm_unix_sync_end());
    return frames;
}

int nsm_unix_read_hello(const nsm_unix_frame &frame, uint16_t *protocol, uint64_t *services) {
    reader r(frame.payload);
    *protocol = r.u16();
    r.u16();
    *services = r.u64();
    return frame.type == NSM_UNIX_HELLO && r.done() ? 0 : -1;
}

int nsm_unix_read_port_state(const nsm_unix_frame &frame, uint16_t *flags, uint32_t *ifindex,
                             uint16_t *vid) {
    reader r(frame.payload);
    *flags = r.u16();
    const uint16_t v = r.u16();
    if (vid != nullptr)
        *vid = v;
    *ifindex = r.u32();
    return frame.type == NSM_MSG_PORT_STATE && r.done() ? 0 : -1;
}

int nsm_unix_read_fdb_move(const nsm_view &view, const nsm_unix_frame &frame,
                           nsm_msg_fdb_move *move, std::string *why) {
    reader r(frame.payload);
    nsm_msg_fdb_move m{};
    m.ifindex_from = r.u32();
    m.ifindex_to = r.u32();
    m.vid = r.u16();
    r.bytes(m.mac, HW_FIELD);
    if (frame.type != NSM_MSG_FDB_MOVE || !r.done())
        return bad(why, "forwarding-database move of wrong length");
    if (m.vid != 0 && !valid_vid(m.vid))
        return bad(why, "vlan id out of range");
    if (m.ifindex_from == m.ifindex_to || !view.ports.contains(m.ifindex_from) ||
        !view.ports.contains(m.ifindex_to))
        return bad(why, "forwarding-database move between interfaces that are no two ports");
    *move = m;
    return 0;
}

namespace {

using clock_type = std::chrono::steady_clock;
constexpr auto BACKOFF_FIRST = std::chrono::milliseconds(100);
constexpr auto BACKOFF_MAX = std::chrono::milliseconds(5000);
// How long start-up tries to reach the peer, and then waits for its state, before carrying
// on and retrying in the background.
constexpr auto START_CONNECT_WAIT = std::chrono::milliseconds(500);
constexpr auto START_SYNC_WAIT = std::chrono::seconds(3);
constexpr size_t READ_CHUNK = 4096;

using zet::fd_guard;

class unix_backend final : public nsm_backend {
  public:
    unix_backend(nsm_backend_owner *nc, std::string path)
        : nc_(nc), zg_(nc->globals()), path_(std::move(path)) {}
    ~unix_backend() override {
        thread_cancel(read_);
        thread_cancel(timer_read_);
    }

    int start() override;
    int send_port_state(uint16_t flags, uint32_t ifindex) override;
    int send_vlan_state(uint16_t flags, uint32_t ifindex, uint16_t vid) override;

  private:
    int send_request(const std::vector<uint8_t> &frame, uint32_t ifindex);
    static int on_readable(struct thread *t);
    static int on_timer(struct thread *t);
    int connect_peer();
    int read_available();
    int process(const nsm_unix_frame &frame);
    int fdb_move(const nsm_unix_frame &frame);
    void disconnect(const char *why);
    void schedule_reconnect();
    void watch() { read_ = thread_add_read(zg_, on_readable, this, sock_.get()); }

    nsm_backend_owner *nc_;
    lib_globals *zg_;
    std::string path_;
    fd_guard sock_;
    fd_guard timer_;
    struct thread *read_ = nullptr;
    struct thread *timer_read_ = nullptr;
    std::vector<uint8_t> inbuf_;
    nsm_view live_;
    nsm_view pending_;
    bool hello_ = false;
    bool synced_ = false;
    bool refusal_logged_ = false; // logged once until a peer is taken again
    std::chrono::milliseconds backoff_ = BACKOFF_FIRST;
};

int unix_backend::connect_peer() {
    sockaddr_un addr{};
    if (path_.size() >= sizeof addr.sun_path)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    sock_.reset(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (sock_.get() < 0 ||
        connect(sock_.get(), reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        sock_.reset(-1);
        return -1;
    }
    // The peer tells the daemon which ports exist and takes its shutdown requests: only root or
    // the daemon's own user may play it.
    zet::access::Peer peer = zet::access::peer_of(sock_.get());
    if (!zet::access::peer_is_root_or_self(peer)) {
        if (!refusal_logged_)
            zlog_err(zg_,
                     "nsm: peer at %s runs as user %d (pid %d), neither root nor %s's own "
                     "user; refused",
                     path_.c_str(), peer.known ? static_cast<int>(peer.uid) : -1,
                     static_cast<int>(peer.pid), zet_name());
        refusal_logged_ = true;
        sock_.reset(-1);
        return -1;
    }
    refusal_logged_ = false;
    auto hello = nsm_unix_hello(nc_->protocol_number(), nc_->services_wanted());
    if (send(sock_.get(), hello.data(), hello.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(hello.size())) {
        sock_.reset(-1);
        return -1;
    }
    nc_->counters().connects++;
    return 0;
}

int unix_backend::start() {
    timer_.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    if (timer_.get() < 0)
        return -1;
    auto connect_deadline = clock_type::now() + START_CONNECT_WAIT;
    while (connect_peer() < 0 && clock_type::now() < connect_deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (sock_.get() < 0) {
        zlog_warn(zg_, "nsm: peer at %s not reachable; retrying in the background", path_.c_str());
        schedule_reconnect();
        return 0;
    }
    auto deadline = clock_type::now() + START_SYNC_WAIT;
    while (sock_.get() >= 0 && !synced_ && clock_type::now() < deadline) {
        pollfd p{sock_.get(), POLLIN, 0};
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (poll(&p, 1, static_cast<int>(std::max<long>(1, left.count()))) > 0)
            read_available();
    }
    if (synced_) {
        watch();
        return 0;
    }
    disconnect("no initial synchronisation");
    schedule_reconnect();
    return 0;
}

// Reads what is there; gives -1 when the connection is gone.
int unix_backend::read_available() {
    uint8_t chunk[READ_CHUNK];
    for (;;) {
        ssize_t n = recv(sock_.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            disconnect("peer closed the connection");
            return -1;
        }
        inbuf_.insert(inbuf_.end(), chunk, chunk + n);
    }
    nsm_unix_frame frame;
    int rc;
    while ((rc = nsm_unix_take_frame(inbuf_, &frame)) == 1) {
        if (process(frame) < 0) {
            disconnect("peer sent garbage");
            return -1;
        }
    }
    if (rc < 0) {
        disconnect("peer sent garbage");
        return -1;
    }
    return 0;
}

int unix_backend::process(const nsm_unix_frame &frame) {
    if (!hello_) {
        uint16_t protocol;
        uint64_t services;
        if (nsm_unix_read_hello(frame, &protocol, &services) < 0)
            return -1;
        hello_ = true;
        return 0;
    }
    if (frame.type == NSM_UNIX_HELLO)
        return -1;
    if (frame.type == NSM_UNIX_SYNC_END) {
        if (synced_)
            return 0;
        synced_ = true;
        live_ = pending_;
        backoff_ = BACKOFF_FIRST;
        nc_->counters().syncs++;
        nc_->apply_view(live_);
        return 0;
    }
    std::string why;
    if (frame.type == NSM_MSG_FDB_MOVE)
        return fdb_move(frame);
    nsm_view &target = synced_ ? live_ : pending_;
    if (nsm_unix_apply_frame(target, frame, &why) < 0) {
        nc_->counters().malformed++;
        zlog_warn(zg_, "nsm: malformed message type %u from peer dropped: %s", frame.type,
                  why.c_str());
        return 0;
    }
    if (synced_)
        nc_->apply_view(live_);
    return 0;
}

// An event, not state: before the synchronisation ends there are no ports it could concern.
int unix_backend::fdb_move(const nsm_unix_frame &frame) {
    if (!synced_)
        return 0;
    nsm_msg_fdb_move move{};
    std::string why;
    if (nsm_unix_read_fdb_move(live_, frame, &move, &why) < 0) {
        nc_->counters().malformed++;
        zlog_warn(zg_, "nsm: malformed message type %u from peer dropped: %s", frame.type,
                  why.c_str());
        return 0;
    }
    nc_->fdb_move(move);
    return 0;
}

void unix_backend::disconnect(const char *why) {
    if (sock_.get() < 0)
        return;
    zlog_warn(zg_, "nsm: disconnected from peer at %s: %s", path_.c_str(), why);
    thread_cancel(read_);
    read_ = nullptr;
    sock_.reset(-1);
    inbuf_.clear();
    pending_ = nsm_view{};
    hello_ = false;
    synced_ = false;
    nc_->counters().disconnects++;
}

void unix_backend::schedule_reconnect() {
    if (timer_read_ != nullptr)
        return;
    itimerspec spec{};
    spec.it_value.tv_sec = static_cast<time_t>(backoff_.count() / 1000);
    spec.it_value.tv_nsec = static_cast<long>(backoff_.count() % 1000) * 1000000;
    timerfd_settime(timer_.get(), 0, &spec, nullptr);
    timer_read_ = thread_add_read(zg_, on_timer, this, timer_.get());
    backoff_ = std::min(backoff_ * 2, BACKOFF_MAX);
}

int unix_backend::on_timer(struct thread *t) {
    auto *self = static_cast<unix_backend *>(THREAD_ARG(t));
    self->timer_read_ = nullptr;
    uint64_t expirations;
    if (read(self->timer_.get(), &expirations, sizeof expirations) < 0) {
        self->timer_read_ = thread_add_read(self->zg_, on_timer, self, self->timer_.get());
        return 0;
    }
    if (self->connect_peer() < 0) {
        self->schedule_reconnect();
        return 0;
    }
    // The fresh state arrives on the connection and is applied at its end marker.
    self->watch();
    return 0;
}

int unix_backend::on_readable(struct thread *t) {
    auto *self = static_cast<unix_backend *>(THREAD_ARG(t));
    self->read_ = nullptr;
    if (self->read_available() < 0) {
        self->schedule_reconnect();
        return 0;
    }
    self->watch();
    return 0;
}

int unix_backend::send_port_state(uint16_t flags, uint32_t ifindex) {
    return send_request(nsm_unix_port_state(flags, ifindex), ifindex);
}

int unix_backend::send_vlan_state(uint16_t flags, uint32_t ifindex, uint16_t vid) {
    return send_request(nsm_unix_port_state(flags, ifindex, vid), ifindex);
}

int unix_backend::send_request(const std::vector<uint8_t> &frame, uint32_t ifindex) {
    if (sock_.get() < 0 || !hello_) {
        zlog_warn(zg_, "nsm: no peer; port-state request for interface %u not delivered", ifindex);
        return -1;
    }
    ssize_t n = send(sock_.get(), frame.data(), frame.size(), MSG_NOSIGNAL);
    if (n == static_cast<ssize_t>(frame.size()))
        return 0;
    zlog_warn(zg_, "nsm: port-state request for interface %u not delivered", ifindex);
    return -1;
}

} // namespace

std::unique_ptr<nsm_backend> nsm_unix_backend_create(nsm_backend_owner *nc,
                                                     const std::string &path) {
    return std::make_unique<unix_backend>(nc, path);
}
