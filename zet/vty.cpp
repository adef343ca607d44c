#include "zet/vty.h"

#include "zet/cli.h"
#include "zet/host.h"
#include "zet/lib.h"
#include "zet/log.h"
#include "zet/thread.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace zet::vty {

namespace {

constexpr size_t READ_CHUNK = 4096;
// Output above this stops the running of further buffered lines until it drains.
constexpr size_t OUTPUT_HIGH_WATER = 64 * 1024;
constexpr int FLUSH_RETRY_SECONDS = 1;
constexpr int ACCEPTS_PER_WAKEUP = 16;
// Marks, in the input, the end of a line that was too long (control bytes never get there).
constexpr char TOO_LONG_MARK = '\x01';

enum : unsigned char {
    TELNET_SE = 240,
    TELNET_SB = 250,
    TELNET_WILL = 251,
    TELNET_DONT = 254,
    TELNET_IAC = 255,
};

enum class Iac { Data, Command, Option, Sub, SubIac };

struct Session;

struct Listener {
    Server *srv = nullptr;
    int fd = -1;
    bool tcp = false;
    struct thread *t_accept = nullptr;
};

} // namespace

struct Server {
    struct lib_globals *zg = nullptr;
    host_vty_limits limits{};
    Listener tcp;
    Listener unix_;
    uint16_t port = 0;
    std::string path;
    std::list<std::unique_ptr<Session>> sessions;
};

namespace {

struct Session {
    Server *srv = nullptr;
    int fd = -1;
    bool tcp = false;
    struct cli *cli = nullptr;
    std::string in;          // received bytes (telnet commands and CR/NUL removed), not yet run
    std::string out;         // bytes not yet sent
    bool discarding = false; // inside a line that is too long
    size_t line_len = 0;     // bytes of the line being received
    Iac iac = Iac::Data;
    bool closing = false; // close once out is sent
    struct thread *t_read = nullptr;
    struct thread *t_idle = nullptr;
    struct thread *t_flush = nullptr;
};

void pump(Session *s);

void close_session(Session *s) {
    Server *srv = s->srv;
    thread_cancel(s->t_read);
    thread_cancel(s->t_idle);
    thread_cancel(s->t_flush);
    s->t_read = s->t_idle = s->t_flush = nullptr;
    if (s->fd >= 0)
        ::close(s->fd);
    s->fd = -1;
    cli_free(s->cli);
    s->cli = nullptr;
    srv->sessions.remove_if([s](const std::unique_ptr<Session> &p) { return p.get() == s; });
}

// Queues text for the client, with "\r\n" line ends on TCP.
void queue(Session *s, const std::string &text) {
    if (!s->tcp) {
        s->out += text;
        return;
    }
    for (char c : text) {
        if (c == '\n')
            s->out += '\r';
        s->out += c;
    }
}

// Sends what the socket takes now. Gives false when the client is gone.
bool flush(Session *s) {
    while (!s->out.empty()) {
        ssize_t n = ::send(s->fd, s->out.data(), s->out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            s->out.erase(0, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;
        return false;
    }
    return true;
}

int read_cb(struct thread *t);
int idle_cb(struct thread *t);
int flush_cb(struct thread *t);

void arm_idle(Session *s) {
    thread_cancel(s->t_idle);
    s->t_idle = nullptr;
    if (s->srv->limits.idle_seconds > 0)
        s->t_idle = thread_add_timer(s->srv->zg, idle_cb, s, s->srv->limits.idle_seconds);
}

std::string prompt(const Session *s) {
    return cli_prompt(s->cli);
}

void run_line(Session *s, std::string line) {
    struct cli *cli = s->cli;
    if (!line.empty() && line.back() == '?') {
        line.pop_back();
        cli_describe(cli, line.c_str());
    } else if (!line.empty() && line.back() == '\t') {
        line.pop_back();
        std::string words = cli_complete(cli, line.c_str());
        cli_out(cli, "%s\n", words.c_str());
    } else {
        cli_execute(cli, line.c_str(), true);
    }
    queue(s, cli_output_take(cli));
    if (cli_close_requested(cli)) {
        s->closing = true;
        return;
    }
    queue(s, prompt(s));
}

// Runs the complete lines received, sends, and decides what to wait for next.
void pump(Session *s) {
    for (;;) {
        while (!s->closing && s->out.size() < OUTPUT_HIGH_WATER) {
            size_t nl = s->in.find('\n');
            if (nl == std::string::npos)
                break;
            std::string line = s->in.substr(0, nl);
            s->in.erase(0, nl + 1);
            if (!line.empty() && line.back() == TOO_LONG_MARK) {
                queue(s, "% Line too long (the limit is " +
                             std::to_string(std::max(1, s->srv->limits.max_line)) +
                             " bytes); it was not run\n" + prompt(s));
                continue;
            }
            run_line(s, std::move(line));
        }
        if (s->out.size() > static_cast<size_t>(std::max(1L, s->srv->limits.max_pending)) ||
            !flush(s)) {
            close_session(s);
            return;
        }
        if (s->closing && s->out.empty()) {
            close_session(s);
            return;
        }
        if (!s->out.empty()) {
            // The client is not reading: stop reading from it until what it has is sent.
            if (s->t_flush == nullptr)
                s->t_flush = thread_add_timer(s->srv->zg, flush_cb, s, FLUSH_RETRY_SECONDS);
            return;
        }
        if (s->in.find('\n') != std::string::npos && !s->closing)
            continue;
        if (s->t_read == nullptr && !s->closing)
            s->t_read = thread_add_read(s->srv->zg, read_cb, s, s->fd);
        return;
    }
}

void take_byte(Session *s, unsigned char c) {
    const size_t max_line = static_cast<size_t>(std::max(1, s->srv->limits.max_line));
    if (c == '\n') {
        if (s->discarding)
            s->in += TOO_LONG_MARK;
        s->discarding = false;
        s->in += '\n';
        s->line_len = 0;
    } else if ((c < 0x20 && c != '\t') || c == 0x7f) {
        // CR, NUL and other control bytes are dropped.
    } else if (s->discarding) {
        // the rest of a line that is too long
    } else if (s->line_len >= max_line) {
        s->discarding = true;
        s->in.resize(s->in.size() - s->line_len);
        s->line_len = 0;
    } else {
        s->in += static_cast<char>(c);
        s->line_len++;
    }
}

// Removes telnet commands; hands everything else to the line.
void take_input(Session *s, const unsigned char *buf, size_t n) {
    for (size_t i = 0; i < n; i++) {
        unsigned char c = buf[i];
        switch (s->iac) {
        case Iac::Data:
            if (c == TELNET_IAC)
                s->iac = Iac::Command;
            else
                take_byte(s, c);
            break;
        case Iac::Command:
            if (c >= TELNET_WILL && c <= TELNET_DONT)
                s->iac = Iac::Option;
            else if (c == TELNET_SB)
                s->iac = Iac::Sub;
            else
                s->iac = Iac::Data; // two-byte commands, and IAC IAC, are dropped
            break;
        case Iac::Option:
            s->iac = Iac::Data;
            break;
        case Iac::Sub:
            if (c == TELNET_IAC)
                s->iac = Iac::SubIac;
            break;
        case Iac::SubIac:
            s->iac = c == TELNET_SE ? Iac::Data : Iac::Sub;
            break;
        }
    }
}

int read_cb(struct thread *t) {
    auto *s = static_cast<Session *>(THREAD_ARG(t));
    s->t_read = nullptr;
    unsigned char buf[READ_CHUNK];
    ssize_t n = ::recv(s->fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0) {
        close_session(s);
        return 0;
    }
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
            s->t_read = thread_add_read(s->srv->zg, read_cb, s, s->fd);
            return 0;
        }
        close_session(s);
        return 0;
    }
    take_input(s, buf, static_cast<size_t>(n));
    arm_idle(s);
    pump(s);
    return 0;
}

int idle_cb(struct thread *t) {
    auto *s = static_cast<Session *>(THREAD_ARG(t));
    s->t_idle = nullptr;
    queue(s, "\n% Session idle for " + std::to_string(s->srv->limits.idle_seconds) +
                 " seconds; closing\n");
    flush(s);
    close_session(s);
    return 0;
}

int flush_cb(struct thread *t) {
    auto *s = static_cast<Session *>(THREAD_ARG(t));
    s->t_flush = nullptr;
    pump(s);
    return 0;
}

bool is_loopback(const struct sockaddr_storage &ss) {
    if (ss.ss_family == AF_INET) {
        auto *a = reinterpret_cast<const struct sockaddr_in *>(&ss);
        return (ntohl(a->sin_addr.s_addr) >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        auto *a = reinterpret_cast<const struct sockaddr_in6 *>(&ss);
        return IN6_IS_ADDR_LOOPBACK(&a->sin6_addr) != 0;
    }
    return ss.ss_family == AF_UNIX;
}

void start_session(Server *srv, int fd, bool tcp, int privilege) {
    auto s = std::make_unique<Session>();
    s->srv = srv;
    s->fd = fd;
    s->tcp = tcp;
    s->cli = cli_new(srv->zg, privilege);
    Session *p = s.get();
    srv->sessions.push_back(std::move(s));
    queue(p, "\nHello, this is veskd.\n\n" + prompt(p));
    arm_idle(p);
    pump(p);
}

int accept_cb(struct thread *t) {
    auto *l = static_cast<Listener *>(THREAD_ARG(t));
    l->t_accept = nullptr;
    Server *srv = l->srv;
    for (int k = 0; k < ACCEPTS_PER_WAKEUP; k++) {
        struct sockaddr_storage ss {};
        socklen_t len = sizeof ss;
        int fd = ::accept4(l->fd, reinterpret_cast<struct sockaddr *>(&ss), &len,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                zlog_warn(srv->zg, "vty: accept: %s", std::strerror(errno));
            break;
        }
        if (static_cast<int>(srv->sessions.size()) >= srv->limits.max_sessions) {
            std::string msg = "% Too many vty sessions (the limit is " +
                              std::to_string(srv->limits.max_sessions) + "); try again later\n";
            ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            ::close(fd);
            zlog_warn(srv->zg, "vty: session refused, %d sessions open", srv->limits.max_sessions);
            continue;
        }
        int privilege = !l->tcp || is_loopback(ss) ? PRIVILEGE_MAX : PRIVILEGE_NORMAL;
        start_session(srv, fd, l->tcp, privilege);
    }
    l->t_accept = thread_add_read(srv->zg, accept_cb, l, l->fd);
    return 0;
}

void close_listener(Listener &l) {
    thread_cancel(l.t_accept);
    l.t_accept = nullptr;
    if (l.fd >= 0)
        ::close(l.fd);
    l.fd = -1;
}

bool arm_listener(Server *srv, Listener &l, int fd, bool tcp) {
    l.srv = srv;
    l.fd = fd;
    l.tcp = tcp;
    l.t_accept = thread_add_read(srv->zg, accept_cb, &l, fd);
    if (l.t_accept == nullptr) {
        zlog_err(srv->zg, "vty: cannot wait on the listener (no event loop?)");
        close_listener(l);
        return false;
    }
    return true;
}

} // namespace

Server *server_create(struct lib_globals *zg, const struct host_vty_limits &limits) {
    auto *srv = new Server;
    srv->zg = zg;
    srv->limits = limits;
    return srv;
}

void server_free(Server *srv) {
    if (srv == nullptr)
        return;
    while (!srv->sessions.empty())
        close_session(srv->sessions.front().get());
    close_listener(srv->tcp);
    close_listener(srv->unix_);
    if (!srv->path.empty())
        ::unlink(srv->path.c_str());
    delete srv;
}

void server_set_limits(Server *srv, const struct host_vty_limits &limits) {
    srv->limits = limits;
}

int listen_tcp(Server *srv, uint16_t port) {
    if (srv->tcp.fd >= 0)
        return -1;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        zlog_err(srv->zg, "vty: socket: %s", std::strerror(errno));
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in sin {};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(port);
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&sin), sizeof sin) != 0 ||
        ::listen(fd, 16) != 0) {
        zlog_err(srv->zg, "vty: cannot listen on 127.0.0.1:%u: %s", port, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    if (!arm_listener(srv, srv->tcp, fd, true))
        return -1;
    srv->port = port;
    zlog_info(srv->zg, "vty: listening on 127.0.0.1:%u", port);
    return 0;
}

int listen_unix(Server *srv, const char *path) {
    if (srv->unix_.fd >= 0 || path == nullptr || *path == '\0')
        return -1;
    struct sockaddr_un sun {};
    sun.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof sun.sun_path) {
        zlog_err(srv->zg, "vty: Unix socket path too long: %s", path);
        return -1;
    }
    std::strcpy(sun.sun_path, path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        zlog_err(srv->zg, "vty: socket: %s", std::strerror(errno));
        return -1;
    }
    struct stat st {};
    if (::lstat(path, &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            zlog_err(srv->zg, "vty: %s exists and is not a socket; not replaced", path);
            ::close(fd);
            return -1;
        }
        int probe = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 &&
                    ::connect(probe, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) == 0;
        if (probe >= 0)
            ::close(probe);
        if (live) {
            zlog_err(srv->zg, "vty: another server answers on %s; not replaced", path);
            ::close(fd);
            return -1;
        }
        ::unlink(path);
    }
    if (::bind(fd, reinterpret_cast<struct sockaddr *>(&sun), sizeof sun) != 0 ||
        ::listen(fd, 16) != 0) {
        zlog_err(srv->zg, "vty: cannot listen on %s: %s", path, std::strerror(errno));
        ::close(fd);
        return -1;
    }
    srv->path = path;
    if (!arm_listener(srv, srv->unix_, fd, false)) {
        ::unlink(path);
        srv->path.clear();
        return -1;
    }
    zlog_info(srv->zg, "vty: listening on %s", path);
    return 0;
}

uint16_t tcp_port(const Server *srv) {
    return srv->tcp.fd >= 0 ? srv->port : 0;
}

const char *unix_path(const Server *srv) {
    return srv->unix_.fd >= 0 && !srv->path.empty() ? srv->path.c_str() : nullptr;
}

int session_count(const Server *srv) {
    return static_cast<int>(srv->sessions.size());
}

} // namespace zet::vty
