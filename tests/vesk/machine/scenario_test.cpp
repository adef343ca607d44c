// Runs the scenario files tests/vesk/*/*.scn (the language is described at the top of
// tests/vesk/machine/machine.scn): each "test NAME" block is one test on a fresh ModelFixture.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/model_fixture.h"
#include "vesk/cli/debug.h"
#include "vesk/daemon/veskd.h"
#include "vesk/frame/encode.h"
#include "vesk/frame/receive.h"
#include "vesk/frame/transmit.h"
#include "vesk/host/zet.h"
#include "vesk/machine/api.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/model/rlist.h"
#include "vesk/nsm/nsm.h"
#include "vesk/nsm/port_state.h"

namespace {

using Words = std::vector<std::string>;
struct Case {
    std::string name, file;
    std::vector<std::pair<int, Words>> steps;
};

Words split(const std::string &line) {
    Words out;
    std::istringstream in(line);
    for (std::string w; in >> std::ws && !in.eof(); out.push_back(w))
        in.peek() == '"' ? in >> std::quoted(w) : in >> w;
    return out;
}

std::vector<Case> load() {
    std::vector<std::filesystem::path> files;
    for (const char *dir : {"frame", "machine", "model", "nsm"})
        for (const auto &e : std::filesystem::directory_iterator(
                 std::filesystem::path(VESK_SOURCE_DIR) / "tests/vesk" / dir))
            if (e.path().extension() == ".scn")
                files.push_back(e.path());
    std::sort(files.begin(), files.end());
    std::vector<Case> cases;
    for (const auto &path : files) {
        std::ifstream in(path);
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            const Words w = split(line);
            if (++n, w.empty() || w[0][0] == '#')
                continue;
            if (w[0] == "test")
                cases.push_back({path.stem().string() + "_" + w.at(1), path.string(), {}});
            else if (!cases.empty())
                cases.back().steps.emplace_back(n, w);
        }
    }
    return cases;
}

#define NAMED(X)                                                                                   \
    X(SMS_INITIALIZE)                                                                              \
    X(SMS_SENDING)                                                                                 \
    X(SMS_WAIT_TX) X(SMS_SHUTDOWN) X(SMS_RESUME) X(SMS_NOSHUTDOWN) X(VESK_PORT_DOWN)               \
        X(VESK_PORT_UP) X(VESK_PORT_SHUTDOWN) X(VESK_PORT_NOSHUTDOWN) X(VESK_PORT_BLOCKED)         \
            X(VESK_PORT_STATE_MAX) X(VESK_LOOP_LOG) X(VESK_LOOP_SHUTDOWN) X(VESK_LOOP_BLOCK)       \
                X(VESK_ERR_PORT_NOT_FOUND) X(VESK_ERR_PROVLAN_LIMIT) X(VESK_ERR_PROVLAN_NOMEM)     \
                    X(VESK_ERR_HANDLER) X(MTYPE_VESK_BRIDGE) X(MTYPE_VESK_VLAN) X(MTYPE_VESK_PORT) \
                        X(MTYPE_VESK_RLIST) X(MTYPE_VESK_PROVLAN) X(MTYPE_ZET_LIST)                \
                            X(MTYPE_ZET_LISTNODE) X(MTYPE_ZET_ROUTE_TABLE) X(MTYPE_ZET_ROUTE_NODE) \
                                X(MTYPE_ZET_THREAD) X(ZLOG_WARNING) X(NSM_MSG_LINK_UP)             \
                                    X(NSM_MSG_LINK_DOWN) X(NSM_MSG_BRIDGE_ADD)
#define ENTRY(x) {#x, x},
const std::map<std::string, long long> kNames = {NAMED(ENTRY)};

#define FIELDS(X)                                                                                  \
    X(vesk_enable)                                                                                 \
    X(cfg_enable)                                                                                  \
    X(loop_process) X(uplink) X(flags) X(provlan_count) X(active_provlan_count) X(loop_vlan_count) \
        X(pstate) X(mstate) X(tx_interval_time) X(tx_up_time) X(tx_type) X(tx_count)               \
            X(resume_time) X(ifindex) X(tx_usec) X(cut_usec)
#define FIELD_NAME(f) #f,
const Words kFields = {FIELDS(FIELD_NAME) "tx_timer",
                       "resume_timer",
                       "probe_timer",
                       "tx_left",
                       "resume_left",
                       "info",
                       "mac5"};

// The frames' time of day: kWall, moved by "wall".
constexpr long kWall = 1700000000;
long wall_seconds = kWall;
int fake_time(struct timeval *tv, void *) {
    *tv = {wall_seconds, 0};
    return 0;
}

long long seconds_left(const thread *timer) {
    timeval now{};
    pal_time_tzcurrent(&now, nullptr);
    return timer == nullptr ? -1 : timer->sands.tv_sec - now.tv_sec;
}

long long get(vesk_port *p, const std::string &name) {
#define GET(f)                                                                                     \
    if (name == #f)                                                                                \
        return p->f;
    FIELDS(GET)
    if (name.size() > 6 && name.substr(name.size() - 6) == "_timer")
        return (name == "tx_timer"       ? p->tx_timer
                : name == "resume_timer" ? p->resume_timer
                                         : p->probe_timer) != nullptr;
    if (name == "tx_left" || name == "resume_left")
        return seconds_left(name == "tx_left" ? p->tx_timer : p->resume_timer);
    if (name == "info")
        return p->ifp->info == p;
    if (name == "mac5")
        return p->mac_address[5];
    throw std::runtime_error("no field " + name);
}

void set(vesk_port *p, const std::string &name, long long v) {
#define SET(f)                                                                                     \
    if (name == #f)                                                                                \
        p->f = static_cast<decltype(p->f)>(v);
    FIELDS(SET)
}

template <typename T> std::vector<T *> items(list *l) {
    std::vector<T *> out;
    for (listnode *n = l == nullptr ? nullptr : listhead(l); n != nullptr; n = listnextnode(n))
        out.push_back(static_cast<T *>(listgetdata(n)));
    return out;
}

template <typename T, typename F> Words strings(const std::vector<T *> &records, F text) {
    Words out;
    for (T *r : records)
        out.push_back(text(r));
    return out;
}

Words vlan_ids(vesk_bridge *b) {
    Words out;
    for (route_node *rn = b->vlan_table == nullptr ? nullptr : route_top(b->vlan_table);
         rn != nullptr; rn = route_next(rn))
        if (rn->info != nullptr)
            out.push_back(std::to_string(static_cast<vesk_vlan *>(rn->info)->vid));
    return out;
}

std::string ranges(const vesk_rlist *r) {
    std::string out;
    for (; r != nullptr; r = r->next)
        out += "[" + std::to_string(r->low) + "," + std::to_string(r->high) + "]";
    return out;
}

using Handler = int (*)(nsm_msg_header *, void *, void *);

class Scenario : public vesk_test::ModelFixture, public ::testing::WithParamInterface<Case> {
  protected:
    void SetUp() override {
        ModelFixture::SetUp();
        wall_seconds = kWall;
        vesk_frame_set_time_source(fake_time);
        record_vesk = {};
        sockfd = -1;
    }
    void TearDown() override {
        vesk_free_rlist(&list_);
        ModelFixture::TearDown();
        vesk_frame_set_time_source(nullptr);
        vesk_fast_detect = 1;
    }

    // Word i of the current step as text, number, interface, port, protect entry or bridge.
    const std::string &s(size_t i) const { return w_->at(i); }
    long long n(size_t i) const {
        if (auto it = kNames.find(s(i)); it != kNames.end())
            return it->second;
        char *end = nullptr;
        const long long v = std::strtoll(s(i).c_str(), &end, 0);
        if (*end != '\0' || s(i).empty())
            throw std::runtime_error("not a number: " + s(i));
        return v;
    }
    uint16_t vid(size_t i) const { return static_cast<uint16_t>(n(i)); }
    interface *ifp(size_t i) {
        if (interface *f = ifg_lookup_by_name(veskm->ifg, s(i).c_str()))
            return f;
        throw std::runtime_error("no interface " + s(i));
    }
    vesk_port *p(size_t i) {
        if (auto *port = static_cast<vesk_port *>(ifp(i)->info))
            return port;
        throw std::runtime_error("no port " + s(i));
    }
    vesk_provlan *entry(size_t i, size_t vid_at) {
        if (vesk_provlan *e = vesk_find_provlan_from_port(vid(vid_at), p(i)))
            return e;
        throw std::runtime_error(s(i) + " does not protect " + s(vid_at));
    }
    vesk_bridge *b(size_t i) { return vesk_find_bridge_from_master(s(i).c_str(), master()); }
    std::vector<uint16_t> vids(size_t from) const {
        std::vector<uint16_t> out;
        for (size_t i = from; i < w_->size() && s(i) != "down"; i++)
            out.push_back(vid(i));
        return out;
    }
    Words rest(size_t from) const { return Words(w_->begin() + from, w_->end()); }
    Words numbers(size_t from) const {
        Words out;
        for (size_t i = from; i < w_->size(); i++)
            out.push_back(std::to_string(n(i)));
        return out;
    }
    std::vector<uint8_t> &frame(size_t i) { return frames_.at(s(i)); }

    // The seconds since the start at which the port sends during the next n seconds.
    Words sends(long seconds) {
        Words at;
        const std::string line = "Port " + s(1) + " mstate change to SMS_SENDING";
        for (long i = 0;; i++) {
            for (const size_t now = log_count_exact(line); seen_[s(1)] < now; seen_[s(1)]++)
                at.push_back(std::to_string(elapsed()));
            if (i == seconds)
                return at;
            advance(1);
        }
    }
    void set_debug_words() {
        uint32_t words[3] = {};
        const std::map<std::string, std::pair<int, uint32_t>> flags = {
            {"event", {0, VESK_DEBUG_EVENT}},   {"machine", {0, VESK_DEBUG_MACHINE}},
            {"nsm", {1, VESK_DEBUG_NSM}},       {"packet", {2, VESK_DEBUG_PACKET}},
            {"send", {2, VESK_DEBUG_SEND}},     {"recv", {2, VESK_DEBUG_RECV}},
            {"detail", {2, VESK_DEBUG_DETAIL}}, {"all", {0, 0xff}}};
        for (size_t i = 1; i < w_->size(); i++)
            words[flags.at(s(i)).first] |= flags.at(s(i)).second;
        set_debug(words[0], words[1], words[2]);
    }
    long long nsm(int type, void *msg, size_t size, Handler handler) {
        nsm_msg_header header = {static_cast<uint16_t>(type), static_cast<uint16_t>(size), 1};
        return handler(&header, veskm->nc, msg);
    }
    long long link() {
        nsm_msg_link msg = {};
        msg.cindex = NSM_LINK_CTYPE_FLAGS;
        msg.ifindex = static_cast<uint32_t>(n(2));
        msg.flags = static_cast<uint32_t>(n(3));
        if (w_->size() > 4) {
            msg.cindex |= NSM_LINK_CTYPE_HW_ADDRESS;
            msg.hw_len = 6;
            for (int i = 0; i < 6; i++)
                msg.hw_addr[i] = static_cast<uint8_t>(std::stoi(s(4).substr(i * 3, 2), 0, 16));
        }
        return nsm(static_cast<int>(n(1)), &msg, sizeof msg, vesk_nsm_recv_interface_state);
    }
    long long bridge_msg() {
        nsm_msg_bridge msg = {};
        std::strncpy(msg.bridge_name, s(2).c_str(), sizeof msg.bridge_name - 1);
        msg.type = 1;
        const bool add = s(1) == "add";
        return nsm(add ? NSM_MSG_BRIDGE_ADD : NSM_MSG_BRIDGE_DELETE, &msg, sizeof msg,
                   add ? vesk_nsm_recv_bridge_add : vesk_nsm_recv_bridge_delete);
    }
    long long vlan_msg() {
        nsm_msg_vlan msg = {};
        std::strncpy(msg.bridge_name, s(2).c_str(), sizeof msg.bridge_name - 1);
        msg.vid = vid(3);
        const bool add = s(1) == "add";
        return nsm(add ? NSM_MSG_BRIDGE_ADD_VLAN : NSM_MSG_BRIDGE_DELETE_VLAN, &msg, sizeof msg,
                   add ? vesk_nsm_recv_bridge_add_vlan : vesk_nsm_recv_bridge_delete_vlan);
    }
    long long vlan_port() {
        std::vector<uint16_t> entries = vids(3);
        nsm_msg_vlan_port msg = {};
        msg.ifindex = static_cast<uint32_t>(n(2));
        msg.num = static_cast<uint16_t>(entries.size());
        msg.vid_info = entries.data();
        const bool add = s(1) == "add";
        return nsm(add ? NSM_MSG_BRIDGE_VLAN_ADD_IF : NSM_MSG_BRIDGE_VLAN_DELETE_IF, &msg,
                   sizeof msg,
                   add ? vesk_nsm_recv_bridge_vlan_add_if : vesk_nsm_recv_bridge_vlan_delete_if);
    }
    // The 46 bytes the port last sent on a VLAN (the same second encodes the same frame), or
    // with a scratch entry ("foreign") a frame that leaves the port's entry as it is.
    std::vector<uint8_t> build() {
        vesk_provlan scratch{};
        scratch = w_->size() > 4 ? scratch : *entry(2, 3);
        scratch.vid = vid(3);
        uint8_t image[VESK_FRAME_BUF_LEN] = {};
        vesk_encode_pkt(p(2), &scratch, image + 22, image, image);
        return std::vector<uint8_t>(image + 14, image + 60);
    }
    std::vector<uint8_t> address() const {
        std::vector<uint8_t> a(VESK_RECV_ADDR_LEN, 0xff);
        const auto rx = static_cast<uint32_t>(n(2));
        std::memcpy(a.data() + 12, &rx, 4);
        return a;
    }
    void remove_all(vesk_port *port) {
        for (vesk_provlan *e : items<vesk_provlan>(port->provlan_info)) {
            vesk_remove_allprovlan_from_port(e->vid, port, 1);
            listnode_delete(port->provlan_info, e);
            port->provlan_count--;
            vesk_free_protect_vlan(e);
        }
    }
    // Posts beyond the queue's bound are dropped and counted.
    void storm() {
        const uint64_t dropped = thread_post_dropped(veskm->master);
        const uint8_t address[VESK_RECV_ADDR_LEN] = {};
        for (size_t i = 0; i < THREAD_POST_QUEUE_MAX + 100; i++)
            vesk_recv(veskm, address, frame(1).data(), VESK_PDU_LEN);
        EXPECT_EQ(thread_post_pending(veskm->master), size_t{THREAD_POST_QUEUE_MAX});
        EXPECT_EQ(thread_post_dropped(veskm->master) - dropped, 100u);
        thread_run_due(veskm);
    }
    void null_messages() {
        for (Handler h : {vesk_nsm_recv_bridge_add, vesk_nsm_recv_bridge_delete,
                          vesk_nsm_recv_bridge_add_vlan, vesk_nsm_recv_bridge_delete_vlan,
                          vesk_nsm_recv_bridge_vlan_add_if, vesk_nsm_recv_bridge_vlan_delete_if})
            EXPECT_EQ(nsm(NSM_MSG_BRIDGE_ADD, nullptr, 0, h), VESK_ERR_HANDLER);
        EXPECT_EQ(nsm(NSM_MSG_LINK_UP, nullptr, 0, vesk_nsm_recv_interface_state), 0);
    }

    long long act();
    void expect();

    const Words *w_ = nullptr;
    std::map<std::string, size_t> seen_;
    std::map<std::string, std::vector<uint8_t>> frames_;
    std::map<std::string, long long> kept_;
    uint32_t decoded_[2] = {};
    vesk_rlist *list_ = nullptr;
    nsm_client *nc_ = nullptr;
};

// The commands that change something; "=> N" checks the result of those that give one (1 or 0
// for those that give a record or none).
long long Scenario::act() {
    const std::string &c = s(0);
    if (c == "port") {
        vesk_port *port = make_port(s(1).c_str(), n(2), {}, w_->back() != "down");
        for (uint16_t v : vids(3))
            join(port, v);
    } else if (c == "iface") {
        make_interface(s(1).c_str(), n(2), w_->back() != "down");
    } else if (c == "vlan") {
        vlan(vid(1));
    } else if (c == "join" || c == "leave") {
        c == "join" ? join(p(1), vid(2)) : leave(p(1), vid(2));
    } else if (c == "running") {
        set_running(p(1), n(2) != 0);
    } else if (c == "debug") {
        set_debug_words();
    } else if (c == "advance") {
        advance(n(1));
    } else if (c == "clear") {
        clear_requests();
        log().clear();
    } else if (c == "set") {
        set(p(1), s(2), n(3));
    } else if (c == "fail") {
        memory_fail_next(static_cast<int>(n(1)), static_cast<int>(n(2)));
    } else if (c == "nsm-off" || c == "nsm-on") {
        std::swap(nc_, veskm->nc);
    } else if (c == "state") {
        vesk_set_port_state(p(1), static_cast<uint32_t>(n(2)));
    } else if (c == "loop") {
        vesk_update_state_machine(p(1));
    } else if (c == "enable" || c == "disable") {
        c == "enable" ? vesk_enable_port(p(1)) : vesk_disable_port(p(1));
    } else if (c == "resume-soon" || c == "force-up") {
        c == "force-up" ? vesk_port_force_up(p(1)) : vesk_port_resume_soon(p(1));
    } else if (c == "linkup") { // what a link-up message does
        set_running(p(1), true);
        p(1)->tx_type = p(1)->tx_count = 0;
        vesk_port_clear_all_provlan_loopflag(p(1));
        vesk_set_port_state(p(1), VESK_PORT_UP);
    } else if (c == "protect") {
        return vesk_add_provlan_to_port(nullptr, vid(2), p(1), static_cast<int>(n(3)));
    } else if (c == "reprotect") {
        return vesk_add_provlan_to_port(entry(1, 2), vid(2), p(1), 1);
    } else if (c == "unprotect") {
        return vesk_remove_provlan_from_port(vid(2), p(1), static_cast<int>(n(3)));
    } else if (c == "unprotect-forced") {
        return vesk_remove_allprovlan_from_port(vid(2), p(1), 1);
    } else if (c == "unprotect-all") {
        remove_all(p(1));
    } else if (c == "mark-loop" || c == "unloop") {
        entry(1, 2)->is_loop = c == "mark-loop";
        p(1)->loop_vlan_count = c == "unloop" ? 0 : p(1)->loop_vlan_count + 1;
    } else if (c == "entry-off") {
        entry(1, 2)->in_vlan = 0;
        p(1)->active_provlan_count = 0;
    } else if (c == "clear-loops") {
        vesk_port_clear_all_provlan_loopflag(p(1));
    } else if (c == "send-state") {
        return vesk_send_port_state_to_nsm(static_cast<uint32_t>(n(1)), static_cast<int>(n(2)));
    } else if (c == "api-loop") {
        return vesk_api_loop_handle(static_cast<uint8_t>(n(2)), ifp(1), bridge());
    } else if (c == "api-resume" || c == "api-interval") {
        return (c == "api-resume" ? vesk_api_set_resume : vesk_api_set_tx_interval)(
            static_cast<uint32_t>(n(2)), ifp(1), bridge());
    } else if (c == "api-force-up") {
        return vesk_api_force_up(ifp(1), w_->size() > 2 ? nullptr : bridge());
    } else if (c == "api-add" || c == "api-del") {
        return (c == "api-add" ? vesk_api_add_protect_vlan
                               : vesk_api_remove_protect_vlan)(vid(2), ifp(1), bridge());
    } else if (c == "api-enable" || c == "api-disable") {
        (c == "api-enable" ? vesk_api_enable_bridge : vesk_api_disable_bridge)(bridge());
    } else if (c == "bridge-add") {
        return vesk_add_bridge(master()->bridge_list, s(1).c_str()) != nullptr;
    } else if (c == "bridge-del") {
        return vesk_del_bridge(master()->bridge_list, s(1).c_str());
    } else if (c == "find-bridge") {
        return b(1) != nullptr;
    } else if (c == "bridge-first") {
        for (vesk_bridge *x : {b(1), bridge()}) {
            listnode_delete(master()->bridge_list, x);
            listnode_add(master()->bridge_list, x);
        }
    } else if (c == "rename-bridge") {
        std::snprintf(b(1)->name, sizeof bridge()->name, "%s", s(2).c_str());
    } else if (c == "enable-bridge") {
        bridge()->vesk_enable = 1;
    } else if (c == "set-bridge") {
        p(1)->bridge = b(2);
    } else if (c == "vlan-add") {
        return vesk_bridge_add_vlan(bridge(), vid(1)) != nullptr;
    } else if (c == "vlan-del") {
        vesk_bridge_del_vlan(bridge(), vid(1));
    } else if (c == "drop-vlan-table") {
        route_table_finish(bridge()->vlan_table);
        bridge()->vlan_table = nullptr;
    } else if (c == "member-add") {
        return vesk_bridge_vlan_add_port(vlan(vid(2)), p(1)) != nullptr;
    } else if (c == "member-del") {
        vesk_bridge_vlan_del_port(vlan(vid(2)), p(1));
    } else if (c == "add-port") {
        return vesk_bridge_add_port(bridge(), ifp(1)) != nullptr;
    } else if (c == "remove-port") {
        return vesk_remove_port_from_bridge(ifp(1), s(2).c_str());
    } else if (c == "set-ifbridge") {
        std::snprintf(ifp(1)->bridge_name, sizeof ifp(1)->bridge_name, "%s", s(2).c_str());
    } else if (c == "same-mac") {
        std::memcpy(p(1)->mac_address, p(2)->mac_address, 6);
    } else if (c == "cut-rel") {
        p(1)->cut_usec = p(2)->tx_usec + n(3);
    } else if (c == "rlist-add") {
        vesk_rlist_add(&p(1)->vlan_list, vid(2));
    } else if (c == "rl-add") {
        for (uint16_t v : vids(1))
            vesk_rlist_add(&list_, v);
    } else if (c == "rl-range") {
        for (long long v = n(1); v <= n(2); v++)
            vesk_rlist_add(&list_, static_cast<uint16_t>(v));
    } else if (c == "rl-del") {
        return vesk_rlist_delete(&list_, vid(1));
    } else if (c == "rl-has") {
        return vesk_find_vlan_from_rlist(vid(1), &list_);
    } else if (c == "rl-free") {
        vesk_free_rlist(&list_);
    } else if (c == "rl-join") {
        vesk_join_rlist(list_, list_->next);
    } else if (c == "rl-low2") {
        list_->next->low = vid(1);
    } else if (c == "link") {
        return link();
    } else if (c == "bridge-msg") {
        return bridge_msg();
    } else if (c == "vlan-msg") {
        return vlan_msg();
    } else if (c == "bridge-msg-x") { // a bridge name without its terminating zero
        nsm_msg_bridge msg;
        std::memset(&msg, 'x', sizeof msg);
        return nsm(NSM_MSG_BRIDGE_ADD, &msg, sizeof msg, vesk_nsm_recv_bridge_add);
    } else if (c == "vlan-port") {
        return vlan_port();
    } else if (c == "null-msgs") {
        null_messages();
    } else if (c == "hooks") {
        if_add_hook(veskm->ifg, IF_HOOK_RENAME, vesk_nsm_if_rename);
        if_add_hook(veskm->ifg, IF_HOOK_VR_UNBIND, vesk_nsm_if_vr_unbind);
    } else if (c == "rename") {
        return if_rename(veskm, ifp(1), s(2).c_str());
    } else if (c == "if-delete") {
        if_delete(veskm, ifp(1));
    } else if (c == "unbind-stranger") {
        interface copy = *ifp(1);
        copy.ifindex = 4242;
        return vesk_nsm_if_vr_unbind(&copy);
    } else if (c == "frame") {
        frames_[s(1)] = build();
    } else if (c == "flip" || c == "poke") {
        uint8_t &byte = frame(1).at(n(2));
        byte = static_cast<uint8_t>(c == "flip" ? byte ^ n(3) : n(3));
    } else if (c == "arrive" || c == "post") {
        (c == "arrive" ? vesk_recv_verdict : vesk_recv)(veskm, address().data(), frame(1).data(),
                                                        VESK_PDU_LEN);
    } else if (c == "bad-posts") {
        uint8_t a[VESK_RECV_ADDR_LEN] = {};
        vesk_recv(veskm, nullptr, frame(1).data(), VESK_PDU_LEN);
        vesk_recv(veskm, a, frame(1).data(), VESK_PDU_LEN - 1);
        vesk_recv(veskm, a, nullptr, VESK_PDU_LEN);
    } else if (c == "storm") {
        storm();
    } else if (c == "decode") {
        return karsto_vesk_decode_pkt(veskm, p(2), frame(1).data(), VESK_PDU_LEN, &decoded_[0],
                                      &decoded_[1]);
    } else if (c == "set-check") {
        std::memcpy(entry(1, 2)->tx_check, frame(3).data() + 38, VESK_CHECK_LEN);
    } else if (c == "run-due") {
        thread_run_due(veskm);
    } else if (c == "posts") {
        return static_cast<long long>(thread_post_pending(veskm->master));
    } else if (c == "wall") {
        wall_seconds = kWall + n(1);
    } else if (c == "usec" || c == "msec") {
        zet_clock_advance_usec(c == "usec" ? n(1) : n(1) * 1000);
        if (c == "msec")
            thread_run_due(veskm);
    } else if (c == "reset-stale") {
        record_vesk = {};
    } else if (c == "send") {
        return vesk_send_pkt(p(1));
    } else if (c == "recv-loop") {
        return vesk_recv_pkt_karsto(veskm);
    } else if (c == "fdb-move") {
        nsm_msg_fdb_move move{static_cast<uint32_t>(n(1)),
                              static_cast<uint32_t>(n(2)),
                              vid(3),
                              {2, 0, 0, 0, 0x0a, 1}};
        nsm(NSM_MSG_FDB_MOVE, &move, sizeof move, vesk_nsm_recv_fdb_move);
    } else if (c == "probe") {
        return vesk_port_probe(p(1));
    } else if (c == "fast-detect") {
        vesk_fast_detect = static_cast<uint8_t>(n(1));
    } else if (c == "keep") {
        for (const std::string &f : kFields)
            kept_[f] = get(p(1), f);
    } else if (c == "mark") {
        seen_[s(1)] = log_count_exact("Port " + s(1) + " mstate change to SMS_SENDING");
    } else {
        expect();
    }
    return 0;
}

// The commands that check.
void Scenario::expect() {
    const std::string &c = s(0);
    const size_t fixed = c == "expect" ? 2 : 3;
    if ((c == "expect" || c == "entry") && (w_->size() - fixed) % 2 != 0 && w_->back() != "none")
        throw std::runtime_error(c + " needs a value for each field");
    if (c == "expect") {
        for (size_t i = 2; i + 1 < w_->size(); i += 2)
            EXPECT_EQ(get(p(1), s(i)), n(i + 1)) << s(1) << " " << s(i);
    } else if (c == "entry" && w_->size() == 4 && s(3) == "none") {
        EXPECT_EQ(vesk_find_provlan_from_port(vid(2), p(1)), nullptr);
    } else if (c == "entry") {
        for (size_t i = 3; i + 1 < w_->size(); i += 2)
            EXPECT_EQ(s(i) == "in_vlan"   ? entry(1, 2)->in_vlan
                      : s(i) == "is_loop" ? entry(1, 2)->is_loop
                                          : entry(1, 2)->tx_time,
                      n(i + 1))
                << s(i);
    } else if (c == "same") {
        for (const std::string &f : kFields) {
            if (std::find(w_->begin(), w_->end(), f) == w_->end()) {
                EXPECT_EQ(get(p(1), f), kept_.at(f)) << s(1) << " " << f;
            }
        }
    } else if (c == "grew") {
        EXPECT_GT(get(p(1), s(2)), kept_.at(s(2))) << s(2);
    } else if (c == "requests") {
        Words got;
        for (const auto &r : requests())
            got.push_back(std::to_string(r.ifindex) + ":" + std::to_string(r.flags) +
                          (r.type == NSM_MSG_VESK_PORT_STATE && r.reserved == 0 ? "" : "?"));
        EXPECT_EQ(got, rest(1));
    } else if (c == "log") {
        EXPECT_EQ(log().lines(), rest(1)) << log().text();
    } else if (c == "has") {
        EXPECT_TRUE(log().contains(s(1))) << s(1) << " in:\n" << log().text();
    } else if (c == "count") {
        EXPECT_EQ(log_count_exact(s(1)), static_cast<size_t>(n(2))) << s(1) << "\n" << log().text();
    } else if (c == "prios") {
        Words got;
        for (int prio : log().priorities())
            got.push_back(std::to_string(prio));
        EXPECT_EQ(got, numbers(1));
    } else if (c == "sends") {
        EXPECT_EQ(sends(n(2)), rest(3));
    } else if (c == "protects") {
        EXPECT_EQ(strings(items<vesk_provlan>(p(1)->provlan_info),
                          [](vesk_provlan *e) { return std::to_string(e->vid); }),
                  rest(2));
    } else if (c == "live" || c == "pending") {
        const int type = static_cast<int>(n(1));
        EXPECT_EQ(c == "live" ? memory_live(type) : memory_fail_pending(type), n(2)) << s(1);
    } else if (c == "ranges" || c == "rl") {
        const std::string want = w_->size() > 2 ? s(2) : w_->size() > 1 && c == "rl" ? s(1) : "";
        EXPECT_EQ(ranges(c == "rl" ? list_ : p(1)->vlan_list), want);
    } else if (c == "members") {
        vesk_vlan *v = vesk_find_vlan_from_bridge(vid(1), bridge());
        EXPECT_EQ(v == nullptr ? Words{"none"}
                               : strings(items<vesk_port>(v->vlan_port_list),
                                         [](vesk_port *x) { return std::string(x->name); }),
                  rest(2));
    } else if (c == "ports") {
        EXPECT_EQ(strings(items<vesk_port>(bridge()->port_list),
                          [](vesk_port *x) { return std::string(x->name); }),
                  rest(1));
    } else if (c == "bridges") {
        EXPECT_EQ(strings(items<vesk_bridge>(master()->bridge_list),
                          [](vesk_bridge *x) { return std::string(x->name); }),
                  rest(1));
    } else if (c == "vlans" || c == "vlans-of") {
        EXPECT_EQ(vlan_ids(c == "vlans" ? bridge() : b(1)), rest(c == "vlans" ? 1 : 2));
    } else if (c == "nodes") {
        EXPECT_EQ(route_table_count(bridge()->vlan_table), static_cast<size_t>(n(1)));
    } else if (c == "ifflags") {
        EXPECT_EQ(ifp(1)->flags, static_cast<uint32_t>(n(2)));
    } else if (c == "ifbridge") {
        EXPECT_STREQ(ifp(1)->bridge_name, s(2).c_str());
    } else if (c == "unbound") {
        EXPECT_EQ(ifp(1)->info, nullptr);
    } else if (c == "decoded") {
        for (int i = 0; i < 2; i++) {
            if (s(i + 1) != "-") {
                EXPECT_EQ(decoded_[i], n(i + 1)) << (i == 0 ? "vid" : "ifindex");
            }
        }
    } else if (c == "stale") {
        EXPECT_EQ(record_vesk.stale_count, n(1));
        EXPECT_EQ(record_vesk.stale_time, static_cast<uint32_t>(n(2)));
    } else {
        throw std::runtime_error("unknown command " + c);
    }
}

TEST_P(Scenario, Runs) {
    for (const auto &[line, words] : GetParam().steps) {
        SCOPED_TRACE(GetParam().file + ":" + std::to_string(line));
        const auto arrow = std::find(words.begin(), words.end(), "=>");
        const Words step(words.begin(), arrow);
        w_ = &step;
        try {
            const long long got = act();
            if (arrow != words.end() && arrow + 1 != words.end()) {
                const Words result = {*(arrow + 1)};
                w_ = &result;
                EXPECT_EQ(got, n(0)) << step[0];
            }
        } catch (const std::exception &e) {
            FAIL() << e.what();
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Files, Scenario, ::testing::ValuesIn(load()),
                         [](const auto &info) { return info.param.name; });

// What the scenarios cannot say.
class Model : public vesk_test::ModelFixture {};

TEST_F(Model, TheMasterHangsOffThePrivilegedRouterOnceAndNoMemoryLeavesNone) {
    ovx_vr *vr = ovx_vr_get_privileged(veskm);
    EXPECT_EQ(vr->proto, master());
    EXPECT_EQ(vesk_master_init(vr), 0);
    EXPECT_EQ(vesk_get_master(veskm), master());
    vr->proto = nullptr;
    for (int type : {int{MTYPE_VESK_MASTER}, int{MTYPE_ZET_LIST}}) {
        memory_fail_next(type, 1);
        EXPECT_EQ(vesk_master_init(vr), -1) << type;
        EXPECT_EQ(vr->proto, nullptr) << type;
    }
    vr->proto = master();
    EXPECT_EQ(memory_live(MTYPE_VESK_MASTER), 1);
}

TEST_F(Model, StateNamesFollowTheStateValuesAndEndWithUnknown) {
    EXPECT_STREQ(vesk_machine_state_name(SMS_NOSHUTDOWN), "SMS_NOSHUTDOWN");
    EXPECT_STREQ(vesk_machine_state_name(SMS_MAX), "unknown");
    EXPECT_STREQ(vesk_port_state_name(VESK_PORT_NOSHUTDOWN), "VESK_PORT_NOSHUTDOWN");
    EXPECT_STREQ(vesk_port_cli_state_name(VESK_PORT_NOSHUTDOWN), "no shutdown");
    EXPECT_STREQ(vesk_port_state_name(VESK_PORT_STATE_MAX), "unknown");
    EXPECT_STREQ(vesk_port_cli_state_name(VESK_PORT_STATE_MAX), "unknown");
}

TEST_F(Model, NsmInitRegistersEveryHandlerServiceAndHook) {
    std::strcpy(veskm->platform.nsm, "unsupported");
    nsm_client_free(veskm->nc);
    EXPECT_EQ(vesk_nsm_init(veskm), -1);
    nsm_client *nc = veskm->nc;
    ASSERT_NE(nc, nullptr);
    EXPECT_EQ(nsm_client_version(nc), 1);
    EXPECT_EQ(nsm_client_protocol(nc), 29);
    EXPECT_EQ(nsm_client_services(nc), (1ull << 0) | (1ull << 22) | (1ull << 23));
    const std::map<int, Handler> handlers = {
        {29, vesk_nsm_recv_interface_state},     {30, vesk_nsm_recv_interface_state},
        {115, vesk_nsm_recv_bridge_add},         {116, vesk_nsm_recv_bridge_delete},
        {121, vesk_nsm_recv_bridge_add_vlan},    {122, vesk_nsm_recv_bridge_delete_vlan},
        {123, vesk_nsm_recv_bridge_vlan_add_if}, {124, vesk_nsm_recv_bridge_vlan_delete_if}};
    for (const auto &[type, handler] : handlers)
        EXPECT_EQ(nsm_client_get_callback(nc, type), handler) << type;
    // The unbind hook is in place: deleting a port's interface frees the port.
    if_delete(veskm, make_port("ge1", 11, {1})->ifp);
    EXPECT_EQ(memory_live(MTYPE_VESK_PORT), 0);
}

} // namespace
