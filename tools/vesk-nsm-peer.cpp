// A scriptable network services module for tests: listens on a Unix stream socket, speaks the
// framing of docs/nsm-protocol.md, and takes its orders line by line from standard input.
//
//   vesk-nsm-peer PATH [ORDER...]
//
// Orders given as arguments build the state it has before it listens, so that a client never
// sees a half-built switch; each is answered like an order from standard input.
// Orders (answers "ok", "error: ..." or as stated):
//   if-add INDEX NAME [up|down|off] [MAC]   if-del INDEX   (down: no link; off: admin down)
//   link-up INDEX                       link-down INDEX
//   bridge-add NAME [TYPE]              bridge-del NAME
//   vlan-add BRIDGE VID                 vlan-del BRIDGE VID
//   port-add INDEX ENTRY...             port-del INDEX ENTRY...   (entries as in 123/124)
//   fdb-move FROM TO [MAC] [VID]        a learned MAC moved from port FROM to port TO
//   raw HEX          sends bytes as they are, for malformed input
//   restart          drops the client and the listening socket and listens again
//   wait-client [S]  "client" once a client said hello, else "timeout"
//   wait-request [S] "request INDEX FLAGS [vlan VID]" for the next port-state request, else
//                    "timeout"
//   quit
#include "zet/nsm/client.h"
#include "zet/nsm/unix.h"

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <iostream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct peer {
    std::string path;
    int listen_fd = -1;
    int client_fd = -1;
    bool client_ready = false;
    std::vector<uint8_t> inbuf;
    nsm_view view;
    // Index, flags and VLAN (0: the whole port) of each request not yet waited for.
    std::deque<std::tuple<uint32_t, uint16_t, uint16_t>> requests;
};

void reply(const std::string &line) {
    std::cout << line << std::endl;
}

int listen_on(peer &p) {
    unlink(p.path.c_str());
    sockaddr_un addr{};
    if (p.path.size() >= sizeof addr.sun_path)
        return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, p.path.c_str(), p.path.size() + 1);
    p.listen_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (p.listen_fd < 0 ||
        bind(p.listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(p.listen_fd, 4) < 0)
        return -1;
    return 0;
}

void drop_client(peer &p) {
    if (p.client_fd >= 0)
        close(p.client_fd);
    p.client_fd = -1;
    p.client_ready = false;
    p.inbuf.clear();
}

bool send_bytes(peer &p, const std::vector<uint8_t> &bytes) {
    if (p.client_fd < 0)
        return false;
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(p.client_fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            drop_client(p);
            return false;
        }
        off += static_cast<size_t>(n);
    }
    return true;
}

void greet(peer &p) {
    send_bytes(p, nsm_unix_hello(0, 0));
    for (const auto &frame : nsm_unix_view_frames(p.view))
        send_bytes(p, frame);
    p.client_ready = p.client_fd >= 0;
}

void handle_frame(peer &p, const nsm_unix_frame &frame) {
    uint16_t protocol;
    uint64_t services;
    if (!p.client_ready) {
        if (nsm_unix_read_hello(frame, &protocol, &services) < 0) {
            drop_client(p);
            return;
        }
        greet(p);
        return;
    }
    uint16_t flags;
    uint32_t ifindex;
    uint16_t vid;
    if (nsm_unix_read_port_state(frame, &flags, &ifindex, &vid) == 0)
        p.requests.push_back({ifindex, flags, vid});
}

void read_client(peer &p) {
    uint8_t chunk[4096];
    ssize_t n = recv(p.client_fd, chunk, sizeof chunk, 0);
    if (n <= 0) {
        drop_client(p);
        return;
    }
    p.inbuf.insert(p.inbuf.end(), chunk, chunk + n);
    nsm_unix_frame frame;
    int rc;
    while (p.client_fd >= 0 && (rc = nsm_unix_take_frame(p.inbuf, &frame)) == 1)
        handle_frame(p, frame);
    if (rc < 0)
        drop_client(p);
}

// Serves the sockets (and stdin when with_stdin) until something is ready; gives true when
// stdin has input.
bool serve(peer &p, int timeout_ms, bool with_stdin) {
    pollfd fds[3] = {{p.listen_fd, POLLIN, 0}, {p.client_fd, POLLIN, 0}, {-1, POLLIN, 0}};
    if (with_stdin)
        fds[2].fd = STDIN_FILENO;
    if (poll(fds, 3, timeout_ms) <= 0)
        return false;
    if (fds[0].revents & POLLIN) {
        int fd = accept4(p.listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            drop_client(p);
            p.client_fd = fd;
        }
    }
    if (fds[1].fd >= 0 && fds[1].fd == p.client_fd && (fds[1].revents & (POLLIN | POLLHUP)))
        read_client(p);
    return with_stdin && (fds[2].revents & (POLLIN | POLLHUP));
}

template <class Done> bool wait_for(peer &p, double seconds, Done done) {
    auto deadline =
        clock_type::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
    while (!done()) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0)
            return false;
        serve(p, static_cast<int>(left.count()), false);
    }
    return true;
}

// Applies a frame to the peer's own state and passes it on to a client that has its state.
void change(peer &p, const std::vector<uint8_t> &bytes) {
    std::vector<uint8_t> copy = bytes;
    nsm_unix_frame frame;
    nsm_unix_take_frame(copy, &frame);
    std::string why;
    if (nsm_unix_apply_frame(p.view, frame, &why) < 0) {
        reply("error: " + why);
        return;
    }
    if (p.client_ready)
        send_bytes(p, bytes);
    reply("ok");
}

bool parse_mac(const std::string &text, uint8_t *mac) {
    unsigned v[6];
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) !=
        6)
        return false;
    for (int i = 0; i < 6; i++)
        mac[i] = static_cast<uint8_t>(v[i]);
    return true;
}

std::vector<uint8_t> parse_hex(const std::string &text) {
    std::vector<uint8_t> out;
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    for (size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

void link(peer &p, uint16_t type, uint32_t ifindex) {
    auto it = p.view.ifs.find(ifindex);
    if (it == p.view.ifs.end()) {
        reply("error: unknown interface");
        return;
    }
    uint32_t flags = it->second.flags;
    flags = type == NSM_MSG_LINK_UP ? flags | IFF_UP | IFF_RUNNING : flags & ~uint32_t{IFF_RUNNING};
    change(p, nsm_unix_link(type, ifindex, flags, nullptr, 0));
}

void if_add(peer &p, std::istringstream &in) {
    uint32_t ifindex = 0;
    std::string name, state = "up", mac_text;
    in >> ifindex >> name >> state >> mac_text;
    uint8_t mac[6] = {
        0x02, 0, 0, 0, static_cast<uint8_t>(ifindex >> 8), static_cast<uint8_t>(ifindex)};
    if (!mac_text.empty() && !parse_mac(mac_text, mac)) {
        reply("error: bad MAC");
        return;
    }
    uint32_t flags = state == "up" ? IFF_UP | IFF_RUNNING : state == "off" ? 0 : IFF_UP;
    change(p, nsm_unix_if_add(ifindex, name, flags, mac, 6));
}

// An event, not state: sent to a client that has its state, or refused.
void fdb_move(peer &p, std::istringstream &in) {
    nsm_msg_fdb_move move{};
    std::string mac_text;
    unsigned vid = 0;
    in >> move.ifindex_from >> move.ifindex_to >> mac_text >> vid;
    uint8_t mac[6] = {0x02, 0, 0, 0, 0x0f, 0x01};
    if (!mac_text.empty() && !parse_mac(mac_text, mac)) {
        reply("error: bad MAC");
        return;
    }
    std::memcpy(move.mac, mac, sizeof move.mac);
    move.vid = static_cast<uint16_t>(vid);
    auto bytes = nsm_unix_fdb_move(move);
    std::vector<uint8_t> copy = bytes;
    nsm_unix_frame frame;
    nsm_unix_take_frame(copy, &frame);
    std::string why;
    if (nsm_unix_read_fdb_move(p.view, frame, &move, &why) < 0) {
        reply("error: " + why);
        return;
    }
    reply(p.client_ready && send_bytes(p, bytes) ? "ok" : "error: no client");
}

void vlan_port(peer &p, uint16_t type, std::istringstream &in) {
    uint32_t ifindex = 0;
    in >> ifindex;
    std::vector<uint16_t> entries;
    unsigned long e;
    while (in >> e)
        entries.push_back(static_cast<uint16_t>(e));
    change(p, nsm_unix_vlan_port(type, ifindex, entries));
}

bool run_command(peer &p, const std::string &line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    uint32_t ifindex = 0;
    std::string name;
    unsigned vid = 0;
    double seconds = 5;
    if (cmd.empty() || cmd[0] == '#')
        return true;
    if (cmd == "quit")
        return false;
    if (cmd == "if-add") {
        if_add(p, in);
    } else if (cmd == "if-del" && (in >> ifindex)) {
        change(p, nsm_unix_if_delete(ifindex));
    } else if ((cmd == "link-up" || cmd == "link-down") && (in >> ifindex)) {
        link(p, cmd == "link-up" ? NSM_MSG_LINK_UP : NSM_MSG_LINK_DOWN, ifindex);
    } else if (cmd == "bridge-add" && (in >> name)) {
        unsigned type = 0;
        in >> type;
        change(p, nsm_unix_bridge(NSM_MSG_BRIDGE_ADD, name, static_cast<uint8_t>(type)));
    } else if (cmd == "bridge-del" && (in >> name)) {
        change(p, nsm_unix_bridge(NSM_MSG_BRIDGE_DELETE, name, 0));
    } else if ((cmd == "vlan-add" || cmd == "vlan-del") && (in >> name >> vid)) {
        change(p, nsm_unix_vlan(cmd == "vlan-add" ? NSM_MSG_BRIDGE_ADD_VLAN
                                                  : NSM_MSG_BRIDGE_DELETE_VLAN,
                                name, static_cast<uint16_t>(vid)));
    } else if (cmd == "port-add" || cmd == "port-del") {
        vlan_port(p, cmd == "port-add" ? NSM_MSG_BRIDGE_VLAN_ADD_IF : NSM_MSG_BRIDGE_VLAN_DELETE_IF,
                  in);
    } else if (cmd == "fdb-move") {
        fdb_move(p, in);
    } else if (cmd == "raw") {
        std::string rest;
        std::getline(in, rest);
        reply(send_bytes(p, parse_hex(rest)) ? "ok" : "error: no client");
    } else if (cmd == "restart") {
        drop_client(p);
        close(p.listen_fd);
        reply(listen_on(p) == 0 ? "ok" : "error: cannot listen");
    } else if (cmd == "wait-client") {
        in >> seconds;
        reply(wait_for(p, seconds, [&] { return p.client_ready; }) ? "client" : "timeout");
    } else if (cmd == "wait-request") {
        in >> seconds;
        if (!wait_for(p, seconds, [&] { return !p.requests.empty(); })) {
            reply("timeout");
            return true;
        }
        auto [index, flags, vid] = p.requests.front();
        p.requests.pop_front();
        reply("request " + std::to_string(index) + " " + std::to_string(flags) +
              (vid != 0 ? " vlan " + std::to_string(vid) : ""));
    } else {
        reply("error: unknown or incomplete order: " + line);
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH [ORDER...]\n", argv[0]);
        return 2;
    }
    peer p;
    p.path = argv[1];
    bool running = true;
    for (int i = 2; running && i < argc; i++)
        running = run_command(p, argv[i]);
    if (running && listen_on(p) < 0) {
        std::perror("listen");
        return 1;
    }
    std::string pending;
    while (running) {
        if (!serve(p, -1, true))
            continue;
        char chunk[4096];
        ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0)
            break;
        pending.append(chunk, static_cast<size_t>(n));
        size_t eol;
        while (running && (eol = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, eol);
            pending.erase(0, eol + 1);
            running = run_command(p, line);
        }
    }
    drop_client(p);
    close(p.listen_fd);
    unlink(p.path.c_str());
    return 0;
}
