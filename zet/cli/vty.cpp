#include "zet/cli/vty.h"

#include "zet/cli/cli.h"
#include "zet/cli/vty_limits.h"
#include "zet/core/access.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/core/thread.h"

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
// The operator's door keeps this many sessions that TCP can never take (fewer with a small
// limit, so TCP always has some).
constexpr int UNIX_RESERVED = 4;
// Logins that may wait at a password prompt at once, and how long each may wait.
constexpr int LOGINS_WAITING_MAX = 4;
constexpr int LOGIN_SECONDS = 30;
constexpr int PASSWORD_TRIES = 3;
constexpr int PASSWORD_RETRY_SECONDS = 1;
// Input kept for a session that has not logged in, or waits after a wrong password: beyond it
// bytes are dropped, so nobody can make the daemon hold what it will never run. Two read chunks,
// so a client that sends its password with commands behind it loses none of the first chunk.
constexpr size_t UNTRUSTED_INPUT_MAX = 2 * READ_CHUNK;
// Refusals are logged at most once in this many seconds, with a count of the rest.
constexpr int REFUSAL_LOG_SECONDS = 1;
constexpr const char *PASSWORD_PROMPT = "Password: ";
// Marks, in the input, the end of a line that was too long (control bytes never get there).
constexpr char TOO_LONG_MARK = '\x01';

enum : unsigned char {
    TELNET_ECHO = 1,
    TELNET_SE = 240,
    TELNET_SB = 250,
    TELNET_WILL = 251,
    TELNET_WONT = 252,
    TELNET_DO = 253,
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
    const std::string *login = nullptr; // the host's password hashes ("" when unset)
    const std::string *enable = nullptr;
    Listener tcp;
    Listener unix_;
    uint16_t port = 0;
    std::string path;
    gid_t group = 0; // members of it may use the Unix socket
    std::string group_name;
    std::list<std::unique_ptr<Session>> sessions;
    int refusals_unlogged = 0;
    std::string last_refusal;
    struct thread *t_refusals = nullptr;
};

namespace {

// TCP sessions begin at the login password; "enable" there asks for the enable password.
enum class Phase { Login, Command, EnablePassword };

struct Session {
    Server *srv = nullptr;
    int fd = -1;
    bool tcp = false;
    Phase phase = Phase::Command;
    int wrong_tries = 0;
    bool paused = false;          // lines wait: a wrong password was given less than a second ago
    bool echo_off = false;        // the client was asked not to echo (a password is being typed)
    bool client_echo_off = false; // and agreed (telnet DO ECHO)
    unsigned char iac_verb = 0;   // the verb of the telnet option command being read
    bool got_line = false;        // the last read completed a line
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
    struct thread *t_login = nullptr;
    struct thread *t_retry = nullptr;
};

void pump(Session *s);

void close_session(Session *s) {
    Server *srv = s->srv;
    thread_cancel(s->t_read);
    thread_cancel(s->t_idle);
    thread_cancel(s->t_flush);
    thread_cancel(s->t_login);
    thread_cancel(s->t_retry);
    s->t_read = s->t_idle = s->t_flush = s->t_login = s->t_retry = nullptr;
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

// A telnet client echoes what is typed unless the server says it will echo: while a password is
// typed the session says so, and echoes nothing. Other clients skip the three bytes.
void set_echo_off(Session *s, bool off) {
    if (!s->tcp || s->echo_off == off)
        return;
    s->echo_off = off;
    s->client_echo_off = false; // the client answers each offer anew
    const char command[] = {static_cast<char>(TELNET_IAC),
                            static_cast<char>(off ? TELNET_WILL : TELNET_WONT),
                            static_cast<char>(TELNET_ECHO)};
    s->out.append(command, sizeof command);
}

void queue_password_prompt(Session *s) {
    set_echo_off(s, true);
    queue(s, PASSWORD_PROMPT);
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
int retry_cb(struct thread *t);
int refusals_cb(struct thread *t);

// Logs a refused session or password at once when nothing was logged in the last second,
// else counts it for the line that ends the second: a flood of connections cannot fill the log.
void note_refusal(Server *srv, const std::string &why) {
    if (srv->t_refusals != nullptr) {
        srv->refusals_unlogged++;
        srv->last_refusal = why;
        return;
    }
    zlog_warn(srv->zg, "vty: %s", why.c_str());
    srv->t_refusals = thread_add_timer(srv->zg, refusals_cb, srv, REFUSAL_LOG_SECONDS);
}

int refusals_cb(struct thread *t) {
    auto *srv = static_cast<Server *>(THREAD_ARG(t));
    srv->t_refusals = nullptr;
    if (srv->refusals_unlogged == 0)
        return 0;
    zlog_warn(srv->zg, "vty: %d more refused in the last second (the last: %s)",
              srv->refusals_unlogged, srv->last_refusal.c_str());
    srv->refusals_unlogged = 0;
    srv->t_refusals = thread_add_timer(srv->zg, refusals_cb, srv, REFUSAL_LOG_SECONDS);
    return 0;
}

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
    if (cli_take_enable_request(cli)) {
        s->phase = Phase::EnablePassword;
        queue_password_prompt(s);
        return;
    }
    queue(s, prompt(s));
}

// A line given at a password prompt. A wrong one holds the session's lines for a second; the
// third wrong one in a row ends the session.
void take_password(Session *s, const std::string &line) {
    bool login = s->phase == Phase::Login;
    const std::string &hash = login ? *s->srv->login : *s->srv->enable;
    bool ok = !hash.empty() && (line.empty() || line.back() != TOO_LONG_MARK) &&
              zet::access::password_matches(hash, line);
    s->phase = Phase::Command;
    if (s->echo_off && s->client_echo_off)
        queue(s, "\n"); // the echo of the line end the client left to us
    // Only a login asks again; every other answer ends the password's typing.
    if (ok || !login || s->wrong_tries + 1 >= PASSWORD_TRIES)
        set_echo_off(s, false);
    if (ok) {
        s->wrong_tries = 0;
        if (login) {
            thread_cancel(s->t_login);
            s->t_login = nullptr;
        } else {
            s->cli->privilege = PRIVILEGE_MAX;
        }
        queue(s, prompt(s));
        return;
    }
    note_refusal(s->srv, std::string("wrong ") + (login ? "login" : "enable") +
                             " password on a TCP session");
    if (++s->wrong_tries >= PASSWORD_TRIES) {
        queue(s, "% Wrong password; closing\n");
        s->closing = true;
        return;
    }
    queue(s, "% Wrong password\n");
    if (login)
        s->phase = Phase::Login;
    s->paused = true;
    s->t_retry = thread_add_timer(s->srv->zg, retry_cb, s, PASSWORD_RETRY_SECONDS);
}

int retry_cb(struct thread *t) {
    auto *s = static_cast<Session *>(THREAD_ARG(t));
    s->t_retry = nullptr;
    s->paused = false;
    if (s->phase == Phase::Login)
        queue_password_prompt(s);
    else
        queue(s, prompt(s));
    pump(s);
    return 0;
}

int login_cb(struct thread *t) {
    auto *s = static_cast<Session *>(THREAD_ARG(t));
    s->t_login = nullptr;
    queue(s, "\n% Login timed out\n");
    flush(s);
    close_session(s);
    return 0;
}

// Runs the complete lines received, sends, and decides what to wait for next.
void pump(Session *s) {
    for (;;) {
        while (!s->closing && !s->paused && s->out.size() < OUTPUT_HIGH_WATER) {
            size_t nl = s->in.find('\n');
            if (nl == std::string::npos)
                break;
            std::string line = s->in.substr(0, nl);
            s->in.erase(0, nl + 1);
            if (s->phase != Phase::Command) {
                take_password(s, line);
                continue;
            }
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
        if (s->in.find('\n') != std::string::npos && !s->closing && !s->paused)
            continue;
        // A session that waits after a wrong password, its input full, is read again when the
        // wait ends: reading only to drop what it sends would keep the loop busy for it.
        const bool full = s->paused && s->in.size() >= UNTRUSTED_INPUT_MAX;
        if (s->t_read == nullptr && !s->closing && !full)
            s->t_read = thread_add_read(s->srv->zg, read_cb, s, s->fd);
        return;
    }
}

void take_byte(Session *s, unsigned char c) {
    const size_t max_line = static_cast<size_t>(std::max(1, s->srv->limits.max_line));
    if ((s->phase != Phase::Command || s->paused) && s->in.size() >= UNTRUSTED_INPUT_MAX) {
        s->discarding = true; // what is left of this line is cut off: it can never match
        return;
    }
    if (c == '\n') {
        if (s->discarding)
            s->in += TOO_LONG_MARK;
        s->discarding = false;
        s->in += '\n';
        s->line_len = 0;
        s->got_line = true;
    } else if ((c < 0x20 && c != '\t') || c >= 0x7f) {
        // CR, NUL, other control bytes and anything beyond ASCII are dropped: none of it is
        // part of a command, and none of it may come back to a terminal in an error message.
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
            s->iac_verb = c;
            if (c >= TELNET_WILL && c <= TELNET_DONT)
                s->iac = Iac::Option;
            else if (c == TELNET_SB)
                s->iac = Iac::Sub;
            else
                s->iac = Iac::Data; // two-byte commands, and IAC IAC, are dropped
            break;
        case Iac::Option:
            if (c == TELNET_ECHO && (s->iac_verb == TELNET_DO || s->iac_verb == TELNET_DONT))
                s->client_echo_off = s->iac_verb == TELNET_DO;
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
    s->got_line = false;
    take_input(s, buf, static_cast<size_t>(n));
    // Only a whole line counts as activity: a trickle of bytes does not keep a session open.
    if (s->got_line)
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

// TCP sessions log in at privilege 1; the Unix socket's peers were checked at the door. Only
// root's sessions may log to any file.
void start_session(Server *srv, int fd, bool tcp) {
    auto s = std::make_unique<Session>();
    s->srv = srv;
    s->fd = fd;
    s->tcp = tcp;
    s->cli = cli_new(srv->zg, tcp ? PRIVILEGE_NORMAL : PRIVILEGE_MAX);
    zet::access::Peer peer = tcp ? zet::access::Peer{} : zet::access::peer_of(fd);
    if (!peer.known || peer.uid != 0)
        cli_set_confined(s->cli);
    Session *p = s.get();
    srv->sessions.push_back(std::move(s));
    if (tcp) {
        cli_set_enable_by_password(p->cli);
        p->phase = Phase::Login;
        p->t_login = thread_add_timer(srv->zg, login_cb, p, LOGIN_SECONDS);
    }
    std::string hello = std::string("\nHello, this is ") + zet_name() + ".\n\n";
    queue(p, hello);
    if (tcp)
        queue_password_prompt(p);
    else
        queue(p, prompt(p));
    arm_idle(p);
    pump(p);
}

void refuse(Server *srv, int fd, const std::string &message, const std::string &why) {
    ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
    note_refusal(srv, "session refused: " + why);
}

int count_sessions(const Server *srv, bool tcp, bool login_only) {
    int n = 0;
    for (const auto &s : srv->sessions)
        if (s->tcp == tcp && (!login_only || s->phase == Phase::Login))
            n++;
    return n;
}

// Decides at the door; gives the refusal message, or "" to let the session in.
std::string admit(Server *srv, int fd, bool tcp, std::string &why) {
    const int max = srv->limits.max_sessions;
    if (!tcp) {
        zet::access::Peer peer = zet::access::peer_of(fd);
        if (!zet::access::peer_may_operate(fd, peer, srv->group)) {
            why = "user " + std::to_string(peer.uid) + " (pid " + std::to_string(peer.pid) +
                  ") is neither root nor in group " + srv->group_name;
            return "% Access denied: user " + std::to_string(peer.uid) +
                   " is neither root nor in group " + srv->group_name + "\n";
        }
    }
    if (static_cast<int>(srv->sessions.size()) >= max) {
        why = std::to_string(max) + " sessions open";
        return "% Too many vty sessions (the limit is " + std::to_string(max) +
               "); try again later\n";
    }
    if (!tcp)
        return {};
    if (srv->login->empty()) {
        why = "TCP session while no vty password is set";
        return std::string("% No vty password is set, so TCP sessions are refused: use the Unix "
                           "socket (") +
               zet_client_name() + " -s PATH)\n";
    }
    const int tcp_max = max - std::min(UNIX_RESERVED, max / 2);
    if (count_sessions(srv, true, false) >= tcp_max) {
        why = std::to_string(tcp_max) + " TCP sessions open";
        return "% Too many TCP vty sessions (the limit is " + std::to_string(tcp_max) +
               "); try again later\n";
    }
    if (count_sessions(srv, true, true) >= LOGINS_WAITING_MAX) {
        why = std::to_string(LOGINS_WAITING_MAX) + " logins waiting";
        return "% Too many logins waiting; try again later\n";
    }
    return {};
}

int accept_cb(struct thread *t) {
    auto *l = static_cast<Listener *>(THREAD_ARG(t));
    l->t_accept = nullptr;
    Server *srv = l->srv;
    for (int k = 0; k < ACCEPTS_PER_WAKEUP; k++) {
        int fd = ::accept4(l->fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                zlog_warn(srv->zg, "vty: accept: %s", std::strerror(errno));
            break;
        }
        std::string why;
        std::string refusal = admit(srv, fd, l->tcp, why);
        if (!refusal.empty()) {
            refuse(srv, fd, refusal, why);
            continue;
        }
        start_session(srv, fd, l->tcp);
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

// The socket file admits its owner and the operator group only; the peer's credentials are
// checked again at each connection.
void restrict_socket(Server *srv, const char *path, const char *group, const char *fallback) {
    std::string warning;
    srv->group = zet::access::operator_group(group, fallback, srv->group_name, warning);
    if (!warning.empty())
        zlog_warn(srv->zg, "vty: %s; the Unix socket admits group %s", warning.c_str(),
                  srv->group_name.c_str());
    if (::chown(path, static_cast<uid_t>(-1), srv->group) != 0)
        zlog_info(srv->zg, "vty: %s stays in its group (not %s): %s", path, srv->group_name.c_str(),
                  std::strerror(errno));
    if (::chmod(path, 0660) != 0)
        zlog_warn(srv->zg, "vty: cannot set the mode of %s: %s", path, std::strerror(errno));
}

} // namespace

Server *server_create(struct lib_globals *zg, const struct host_vty_limits &limits,
                      const std::string &login, const std::string &enable) {
    auto *srv = new Server;
    srv->zg = zg;
    srv->limits = limits;
    srv->login = &login;
    srv->enable = &enable;
    return srv;
}

void server_free(Server *srv) {
    if (srv == nullptr)
        return;
    while (!srv->sessions.empty())
        close_session(srv->sessions.front().get());
    close_listener(srv->tcp);
    close_listener(srv->unix_);
    thread_cancel(srv->t_refusals);
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

int listen_unix(Server *srv, const char *path, const char *group, const char *fallback) {
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
    restrict_socket(srv, path, group, fallback);
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

void adopt(Server *srv, int fd, bool tcp) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    start_session(srv, fd, tcp);
}

} // namespace zet::vty
