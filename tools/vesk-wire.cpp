// A wire for the frame socket's unix backend (docs/frame-protocol.md): daemons connect to it,
// and it decides where each frame they send comes out. Ports are named EP = IFINDEX (of the
// first daemon to say hello) or CLIENT.IFINDEX (CLIENT counts daemons from 1 in hello order).
//
//   vesk-wire PATH [ORDER...]      each ORDER given as --name ARG..., e.g. --reflect 3
//
// Orders, from the command line or line by line on standard input (answers "ok",
// "error: ..." or as stated):
//   reflect EP          frames sent on EP come back in on EP (a one-port loop)
//   cable EP EP         frames sent on either come in on the other
//   drop EP             frames sent on EP vanish (every port starts so)
//   delay MS            later deliveries wait MS milliseconds
//   clear               every port back to drop, no delay
//   wait-client [S]     "client N" once N daemons said hello, else "timeout"
//   wait-frame [S]      "frame EP VID LEN" for the next frame sent, else "timeout"
//   count               "sent N delivered N dropped N"
//   quit
// The wire runs until "quit" or a signal; the end of standard input only ends the orders.
#include "zet/frame/sock.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

struct endpoint {
    size_t client = 1;
    uint32_t ifindex = 0;
    auto operator<=>(const endpoint &) const = default;
};

struct client {
    sockaddr_un addr{};
    socklen_t len = 0;
};

struct delivery {
    endpoint to;
    std::vector<uint8_t> datagram;
};

enum class wait_kind { none, client, frame };

struct wire {
    int fd = -1;
    std::vector<client> clients;
    std::map<endpoint, endpoint> routes; // absent: drop
    std::chrono::milliseconds delay{0};
    std::multimap<clock_type::time_point, delivery> queue;
    uint64_t sent = 0;
    uint64_t delivered = 0;
    uint64_t dropped = 0;
    std::string input;
    bool input_open = true;
    wait_kind waiting = wait_kind::none;
    size_t wait_clients = 0;
    clock_type::time_point wait_until;
    std::vector<std::string> last_frames; // frames not yet reported to wait-frame
    bool quit = false;
};

void answer(const std::string &text) {
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
}

std::string endpoint_text(const endpoint &ep) {
    return std::to_string(ep.client) + "." + std::to_string(ep.ifindex);
}

std::optional<endpoint> parse_endpoint(const std::string &text) {
    endpoint ep;
    unsigned long client = 1;
    unsigned long ifindex = 0;
    char tail = 0;
    if (std::sscanf(text.c_str(), "%lu.%lu%c", &client, &ifindex, &tail) == 2) {
        ep.client = client;
        ep.ifindex = static_cast<uint32_t>(ifindex);
    } else if (std::sscanf(text.c_str(), "%lu%c", &ifindex, &tail) == 1) {
        ep.ifindex = static_cast<uint32_t>(ifindex);
    } else {
        return std::nullopt;
    }
    if (ep.client == 0 || ep.ifindex == 0)
        return std::nullopt;
    return ep;
}

int open_wire(const char *path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof addr.sun_path)
        return -1;
    std::strcpy(addr.sun_path, path);
    unlink(path);
    int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

size_t client_number(wire &w, const sockaddr_un &from, socklen_t len, bool hello) {
    for (size_t i = 0; i < w.clients.size(); i++)
        if (w.clients[i].len == len && std::memcmp(&w.clients[i].addr, &from, len) == 0)
            return i + 1;
    if (!hello)
        return 0;
    client c;
    std::memcpy(&c.addr, &from, len);
    c.len = len;
    w.clients.push_back(c);
    return w.clients.size();
}

void send_to_client(wire &w, const delivery &d) {
    if (d.to.client == 0 || d.to.client > w.clients.size()) {
        w.dropped++;
        return;
    }
    const client &to = w.clients[d.to.client - 1];
    ssize_t n = sendto(w.fd, d.datagram.data(), d.datagram.size(), MSG_DONTWAIT,
                       reinterpret_cast<const sockaddr *>(&to.addr), to.len);
    (n < 0 ? w.dropped : w.delivered)++;
}

void route_frame(wire &w, size_t client, const uint8_t *bytes, size_t n) {
    frame_send_addr sent{};
    std::memcpy(&sent, bytes, sizeof sent);
    endpoint from{client, static_cast<uint32_t>(sent.ifindex)};
    w.sent++;
    w.last_frames.push_back("frame " + endpoint_text(from) + " " + std::to_string(sent.vid) + " " +
                            std::to_string(n - sizeof sent));
    auto route = w.routes.find(from);
    if (route == w.routes.end()) {
        w.dropped++;
        return;
    }
    frame_recv_addr received{};
    std::memcpy(received.dst, sent.dst, 6);
    std::memcpy(received.src, sent.src, 6);
    received.ifindex = route->second.ifindex;
    delivery d{route->second, std::vector<uint8_t>(sizeof received + n - sizeof sent)};
    std::memcpy(d.datagram.data(), &received, sizeof received);
    std::memcpy(d.datagram.data() + sizeof received, bytes + sizeof sent, n - sizeof sent);
    w.queue.emplace(clock_type::now() + w.delay, std::move(d));
}

void read_wire(wire &w) {
    uint8_t buf[FRAME_SEND_ADDR_LEN + FRAME_PAYLOAD_MAX];
    for (;;) {
        sockaddr_un from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(w.fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC,
                             reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return;
        size_t client = client_number(w, from, len, n == 0);
        if (n < FRAME_SEND_ADDR_LEN || static_cast<size_t>(n) > sizeof buf || client == 0)
            continue;
        route_frame(w, client, buf, static_cast<size_t>(n));
    }
}

void flush_due(wire &w) {
    const auto now = clock_type::now();
    while (!w.queue.empty() && w.queue.begin()->first <= now) {
        send_to_client(w, w.queue.begin()->second);
        w.queue.erase(w.queue.begin());
    }
}

std::string set_route(wire &w, const std::vector<std::string> &args, size_t ends) {
    if (args.size() != ends + 1)
        return "error: wrong number of ports";
    std::vector<endpoint> eps;
    for (size_t i = 1; i < args.size(); i++) {
        auto ep = parse_endpoint(args[i]);
        if (!ep)
            return "error: bad port " + args[i];
        eps.push_back(*ep);
    }
    const std::string &verb = args[0];
    if (verb == "drop") {
        w.routes.erase(eps[0]);
    } else if (verb == "reflect") {
        w.routes[eps[0]] = eps[0];
    } else {
        w.routes[eps[0]] = eps[1];
        w.routes[eps[1]] = eps[0];
    }
    return "ok";
}

void start_wait(wire &w, wait_kind kind, const std::vector<std::string> &args) {
    double seconds = args.size() > 1 ? std::atof(args[1].c_str()) : 10.0;
    w.waiting = kind;
    w.wait_clients = w.clients.size() + (kind == wait_kind::client && w.clients.empty() ? 1 : 0);
    w.wait_until = clock_type::now() + std::chrono::milliseconds(static_cast<long>(seconds * 1000));
}

void run_order(wire &w, const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> args;
    for (std::string word; in >> word;)
        args.push_back(word);
    if (args.empty())
        return;
    const std::string &verb = args[0];
    if (verb == "reflect" || verb == "drop")
        return answer(set_route(w, args, 1));
    if (verb == "cable")
        return answer(set_route(w, args, 2));
    if (verb == "delay" && args.size() == 2) {
        w.delay = std::chrono::milliseconds(std::atol(args[1].c_str()));
        return answer("ok");
    }
    if (verb == "clear") {
        w.routes.clear();
        w.delay = std::chrono::milliseconds(0);
        return answer("ok");
    }
    if (verb == "wait-client")
        return start_wait(w, wait_kind::client, args);
    if (verb == "wait-frame")
        return start_wait(w, wait_kind::frame, args);
    if (verb == "count")
        return answer("sent " + std::to_string(w.sent) + " delivered " +
                      std::to_string(w.delivered) + " dropped " + std::to_string(w.dropped));
    if (verb == "quit") {
        w.quit = true;
        return;
    }
    answer("error: unknown order " + verb);
}

// Answers a pending wait when its event happened or its time is up.
void check_wait(wire &w) {
    const bool late = clock_type::now() >= w.wait_until;
    if (w.waiting == wait_kind::client && (!w.clients.empty() || late)) {
        answer(w.clients.empty() ? "timeout" : "client " + std::to_string(w.clients.size()));
        w.waiting = wait_kind::none;
    } else if (w.waiting == wait_kind::frame && (!w.last_frames.empty() || late)) {
        answer(w.last_frames.empty() ? "timeout" : w.last_frames.front());
        if (!w.last_frames.empty())
            w.last_frames.erase(w.last_frames.begin());
        w.waiting = wait_kind::none;
    }
}

void read_orders(wire &w) {
    char buf[512];
    ssize_t n = read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
        w.input_open = false;
        return;
    }
    w.input.append(buf, static_cast<size_t>(n));
}

void run_pending_orders(wire &w) {
    size_t eol;
    while (w.waiting == wait_kind::none && !w.quit &&
           (eol = w.input.find('\n')) != std::string::npos) {
        std::string line = w.input.substr(0, eol);
        w.input.erase(0, eol + 1);
        run_order(w, line);
    }
}

int poll_timeout(const wire &w) {
    auto next = clock_type::time_point::max();
    if (!w.queue.empty())
        next = w.queue.begin()->first;
    if (w.waiting != wait_kind::none && w.wait_until < next)
        next = w.wait_until;
    if (next == clock_type::time_point::max())
        return -1;
    auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - clock_type::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms);
}

void serve(wire &w) {
    while (!w.quit) {
        pollfd fds[2] = {{w.fd, POLLIN, 0}, {w.input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 2, poll_timeout(w)) < 0 && errno != EINTR)
            return;
        if (fds[0].revents & POLLIN)
            read_wire(w);
        if (fds[1].revents & (POLLIN | POLLHUP))
            read_orders(w);
        flush_due(w);
        check_wait(w);
        run_pending_orders(w);
        check_wait(w);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PATH [--reflect EP] [--cable EP EP] [--delay MS]...\n",
                     argv[0]);
        return 1;
    }
    wire w;
    w.fd = open_wire(argv[1]);
    if (w.fd < 0) {
        std::perror(argv[1]);
        return 1;
    }
    std::string line;
    for (int i = 2; i < argc; i++) {
        std::string word = argv[i];
        bool order = word.rfind("--", 0) == 0;
        if (order && !line.empty()) {
            run_order(w, line);
            line.clear();
        }
        line += (line.empty() ? "" : " ") + (order ? word.substr(2) : word);
    }
    if (!line.empty())
        run_order(w, line);
    serve(w);
    close(w.fd);
    unlink(argv[1]);
    return 0;
}
