// vesk-cli: the operator's client of the veskd vty (docs/cli.md).
//
//   vesk-cli                         interactive, with line editing and history; "?" shows help
//                                    for the line typed so far, TAB completes the word
//   vesk-cli -c "show loop-detect"   runs each -c command in order, prints the replies, exits
//   ... | vesk-cli                   runs the lines of standard input the same way
//   vesk-cli -p 2610 ...             over TCP: asks for the vty password (and for the enable
//                                    password when "enable" wants it) on the terminal without
//                                    echo, or reads them from --password-file
//
// Exit status: 0, or 1 when a reply held an error line (one beginning with "%"), or 2 when the
// vty could not be reached or stopped answering, or for a usage error.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iostream>
#include <netinet/in.h>
#include <poll.h>
#include <readline/history.h>
#include <readline/readline.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *DEFAULT_SOCKET = "/run/veskd/vty";
constexpr const char *PASSWORD_PROMPT = "Password: ";

struct Reply {
    std::string body;    // everything before the prompt, with "\r" removed
    std::string prompt;  // the prompt that ended it; empty when the session ended
    bool closed = false; // the server closed the session
};

class Vty {
  public:
    ~Vty() {
        if (fd_ >= 0)
            close(fd_);
    }
    bool connect_unix(const std::string &path, std::string &err) {
        struct sockaddr_un sun {};
        sun.sun_family = AF_UNIX;
        if (path.size() >= sizeof sun.sun_path) {
            err = "socket path too long: " + path;
            return false;
        }
        std::strcpy(sun.sun_path, path.c_str());
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0) {
            err = "cannot connect to " + path + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool connect_tcp(uint16_t port, std::string &err) {
        struct sockaddr_in sin {};
        sin.sin_family = AF_INET;
        sin.sin_port = htons(port);
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&sin), sizeof sin) != 0) {
            err =
                "cannot connect to 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
            return false;
        }
        return true;
    }
    bool send_line(const std::string &line) {
        std::string text = line + "\n";
        size_t done = 0;
        while (done < text.size()) {
            ssize_t n = send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads until the text ends with a prompt, or the session ends. False on a time-out or error.
    bool read_reply(Reply &r, int timeout_ms) {
        r = Reply{};
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t cut = prompt_at(buf_);
            if (cut != std::string::npos && !more_waiting()) {
                r.body = buf_.substr(0, cut);
                r.prompt = buf_.substr(cut);
                buf_.clear();
                return true;
            }
            long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0)
                return false;
            struct pollfd p {
                fd_, POLLIN, 0
            };
            int rc = poll(&p, 1, static_cast<int>(left));
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                return false;
            char chunk[65536];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                r.body = buf_;
                r.closed = true;
                buf_.clear();
                return n == 0;
            }
            for (ssize_t i = 0; i < n; i++)
                take(chunk[i]);
        }
    }

  private:
    // veskd's only telnet commands are three bytes (IAC WILL/WONT ECHO around a password
    // prompt); this client never echoes a password anyway.
    void take(char c) {
        if (telnet_left_ > 0)
            telnet_left_--;
        else if (static_cast<unsigned char>(c) == 0xff)
            telnet_left_ = 2;
        else if (c != '\r')
            buf_ += c;
    }
    // Where a prompt begins, when the text ends with one: the part after the last line end,
    // one word ending in "# " or "> ".
    static size_t prompt_at(const std::string &s) {
        size_t start = s.rfind('\n');
        start = start == std::string::npos ? 0 : start + 1;
        std::string tail = s.substr(start);
        if (tail == PASSWORD_PROMPT)
            return start;
        if (tail.size() < 3 || tail.back() != ' ')
            return std::string::npos;
        char mark = tail[tail.size() - 2];
        if (mark != '#' && mark != '>')
            return std::string::npos;
        if (tail.find_first_of(" \t") != tail.size() - 1)
            return std::string::npos;
        return start;
    }
    bool more_waiting() const {
        struct pollfd p {
            fd_, POLLIN, 0
        };
        return poll(&p, 1, 0) > 0;
    }
    int fd_ = -1;
    std::string buf_;
    int telnet_left_ = 0;
};

bool has_error_line(const std::string &body) {
    size_t pos = 0;
    while (pos < body.size()) {
        if (body[pos] == '%')
            return true;
        size_t nl = body.find('\n', pos);
        if (nl == std::string::npos)
            break;
        pos = nl + 1;
    }
    return false;
}

void usage(FILE *to, const char *prog) {
    std::fprintf(to,
                 "Usage: %s [-s PATH | -p PORT] [-t SECONDS] [-c COMMAND]...\n"
                 "Talks to the vty of veskd.\n\n"
                 "-s, --socket PATH    vty Unix socket (default: $VESK_VTY_SOCKET, else %s)\n"
                 "-p, --port PORT      vty TCP port on 127.0.0.1 instead of the Unix socket;\n"
                 "                     the passwords are asked for on the terminal\n"
                 "    --password-file FILE  read them from FILE instead: the vty password on\n"
                 "                     its first line, the enable password on the second\n"
                 "                     (the first again when there is none)\n"
                 "-c, --command CMD    run CMD (repeat for several, in order), print the replies\n"
                 "                     and exit; without -c, lines come from the terminal\n"
                 "                     (interactive) or from standard input\n"
                 "-t, --timeout SEC    wait at most SEC seconds for each reply (default 30)\n"
                 "-h, --help           show this text\n\n"
                 "Exit status: 0; 1 when a reply held an error line (\"%% ...\"); 2 when the vty\n"
                 "could not be reached or stopped answering.\n",
                 prog, DEFAULT_SOCKET);
}

// --- Passwords ----------------------------------------------------------------------------------

struct Passwords {
    bool from_file = false;
    std::vector<std::string> lines;
    int asked = 0; // passwords given so far: the first is the vty's, later ones enable's
};

bool read_password_file(const std::string &path, Passwords &pw, std::string &err) {
    std::ifstream in(path);
    if (!in) {
        err = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string line;
    while (pw.lines.size() < 2 && std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        pw.lines.push_back(line);
    }
    if (pw.lines.empty()) {
        err = path + " holds no password";
        return false;
    }
    pw.from_file = true;
    return true;
}

// Reads a line from the terminal with its echo off.
bool ask_terminal(const char *what, std::string &out) {
    FILE *tty = std::fopen("/dev/tty", "r+");
    if (tty == nullptr)
        return false;
    int fd = fileno(tty);
    struct termios saved {};
    bool have = tcgetattr(fd, &saved) == 0;
    if (have) {
        struct termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fprintf(tty, "%s", what);
    std::fflush(tty);
    char buf[1024];
    bool ok = std::fgets(buf, sizeof buf, tty) != nullptr;
    if (have)
        tcsetattr(fd, TCSAFLUSH, &saved);
    std::fprintf(tty, "\n");
    std::fclose(tty);
    if (!ok)
        return false;
    out = buf;
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return true;
}

// While the reply asks for a password, gives one: r becomes the reply that follows. A password
// from the file that is refused is not sent again. False when none could be given.
bool answer_passwords(Vty &vty, Reply &r, Passwords &pw, int timeout_ms) {
    bool file_tried = false;
    while (!r.closed && r.prompt == PASSWORD_PROMPT) {
        std::string body = r.body;
        std::string secret;
        if (pw.from_file) {
            if (file_tried)
                return false;
            file_tried = true;
            secret = pw.lines[std::min<size_t>(static_cast<size_t>(pw.asked), pw.lines.size() - 1)];
        } else if (!ask_terminal(pw.asked == 0 ? "Password: " : "Enable password: ", secret)) {
            return false;
        }
        pw.asked++;
        if (!vty.send_line(secret) || !vty.read_reply(r, timeout_ms))
            return false;
        r.body = body + r.body;
    }
    return true;
}

// --- Interactive mode ---------------------------------------------------------------------------

Vty *g_vty = nullptr;
Passwords g_passwords;
int g_timeout_ms = 30000;
std::string g_prompt;
bool g_lost = false;
std::vector<std::string> g_matches;

// Sends a help or completion request and gives the reply's body; keeps the prompt current.
std::string ask(const std::string &line) {
    Reply r;
    if (!g_vty->send_line(line) || !g_vty->read_reply(r, g_timeout_ms) || r.closed) {
        g_lost = true;
        return {};
    }
    g_prompt = r.prompt;
    return r.body;
}

int help_key(int, int) {
    std::string body = ask(std::string(rl_line_buffer, static_cast<size_t>(rl_point)) + "?");
    std::printf("?\n%s", body.c_str());
    std::fflush(stdout);
    rl_on_new_line();
    rl_redisplay();
    return 0;
}

char *match_generator(const char *, int state) {
    static size_t next;
    if (state == 0)
        next = 0;
    if (next < g_matches.size())
        return strdup(g_matches[next++].c_str());
    return nullptr;
}

char **complete(const char *text, int, int end) {
    rl_attempted_completion_over = 1;
    std::string body = ask(std::string(rl_line_buffer, static_cast<size_t>(end)) + "\t");
    g_matches.clear();
    size_t pos = 0;
    std::string words = body.substr(0, body.find('\n'));
    while (pos < words.size()) {
        size_t sp = words.find(' ', pos);
        std::string w = words.substr(pos, sp == std::string::npos ? std::string::npos : sp - pos);
        if (!w.empty() && w.compare(0, std::strlen(text), text) == 0)
            g_matches.push_back(w);
        if (sp == std::string::npos)
            break;
        pos = sp + 1;
    }
    return rl_completion_matches(text, match_generator);
}

// Whether a line may set a password ("password WORD", "enable pass WORD", ...): one of its words
// is "password" or a beginning of it, since words may be abbreviated. Such lines stay out of
// the history file.
bool names_password(const std::string &line) {
    static const std::string keyword = "password";
    size_t pos = 0;
    while ((pos = line.find_first_not_of(" \t", pos)) != std::string::npos) {
        size_t end = line.find_first_of(" \t", pos);
        std::string word = line.substr(pos, end == std::string::npos ? end : end - pos);
        if (word.size() <= keyword.size() && keyword.compare(0, word.size(), word) == 0)
            return true;
        pos = end;
    }
    return false;
}

int interactive(Vty &vty, const std::string &greeting_prompt) {
    g_vty = &vty;
    g_prompt = greeting_prompt;
    rl_readline_name = "vesk-cli";
    rl_attempted_completion_function = complete;
    rl_bind_key('?', help_key);
    const char *home = std::getenv("HOME");
    std::string hist = home != nullptr ? std::string(home) + "/.vesk-cli_history" : "";
    if (!hist.empty())
        read_history(hist.c_str());
    int status = 0;
    for (;;) {
        char *raw = readline(g_prompt.c_str());
        if (raw == nullptr) {
            std::printf("\n");
            break;
        }
        std::string line = raw;
        std::free(raw);
        if (line.find_first_not_of(" \t") != std::string::npos && !names_password(line))
            add_history(line.c_str());
        Reply r;
        if (!vty.send_line(line) || !vty.read_reply(r, g_timeout_ms) ||
            !answer_passwords(vty, r, g_passwords, g_timeout_ms)) {
            std::fprintf(stderr, "vesk-cli: the vty stopped answering\n");
            status = 2;
            break;
        }
        std::fputs(r.body.c_str(), stdout);
        std::fflush(stdout);
        if (r.closed)
            break;
        g_prompt = r.prompt;
        if (g_lost) {
            std::fprintf(stderr, "vesk-cli: the vty stopped answering\n");
            status = 2;
            break;
        }
    }
    if (!hist.empty())
        write_history(hist.c_str());
    return status;
}

} // namespace

int main(int argc, char **argv) {
    const char *prog =
        std::strrchr(argv[0], '/') != nullptr ? std::strrchr(argv[0], '/') + 1 : argv[0];
    std::string socket_path;
    const char *env = std::getenv("VESK_VTY_SOCKET");
    socket_path = env != nullptr && *env != '\0' ? env : DEFAULT_SOCKET;
    long port = -1;
    std::vector<std::string> commands;
    std::string password_file;
    enum { OPT_PASSWORD_FILE = 1000 };
    static const struct option longopts[] = {
        {"socket", required_argument, nullptr, 's'},
        {"port", required_argument, nullptr, 'p'},
        {"command", required_argument, nullptr, 'c'},
        {"timeout", required_argument, nullptr, 't'},
        {"password-file", required_argument, nullptr, OPT_PASSWORD_FILE},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0}};
    int opt;
    while ((opt = getopt_long(argc, argv, "s:p:c:t:h", longopts, nullptr)) != -1) {
        char *end = nullptr;
        switch (opt) {
        case 's':
            socket_path = optarg;
            port = -1;
            break;
        case 'p':
            port = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || port < 1 || port > 65535) {
                std::fprintf(stderr, "%s: invalid port '%s'\n", prog, optarg);
                return 2;
            }
            break;
        case 'c':
            commands.emplace_back(optarg);
            break;
        case OPT_PASSWORD_FILE:
            password_file = optarg;
            break;
        case 't': {
            long s = std::strtol(optarg, &end, 10);
            if (*optarg == '\0' || *end != '\0' || s < 1 || s > 86400) {
                std::fprintf(stderr, "%s: invalid timeout '%s'\n", prog, optarg);
                return 2;
            }
            g_timeout_ms = static_cast<int>(s * 1000);
            break;
        }
        case 'h':
            usage(stdout, prog);
            return 0;
        default:
            usage(stderr, prog);
            return 2;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "%s: unexpected argument '%s' (commands go after -c)\n", prog,
                     argv[optind]);
        return 2;
    }

    Vty vty;
    std::string err;
    if (!password_file.empty() && !read_password_file(password_file, g_passwords, err)) {
        std::fprintf(stderr, "%s: %s\n", prog, err.c_str());
        return 2;
    }
    bool ok = port > 0 ? vty.connect_tcp(static_cast<uint16_t>(port), err)
                       : vty.connect_unix(socket_path, err);
    if (!ok) {
        std::fprintf(stderr, "%s: %s\n", prog, err.c_str());
        return 2;
    }
    Reply greeting;
    if (!vty.read_reply(greeting, g_timeout_ms) || greeting.closed) {
        // A refused session says why before it closes.
        std::fprintf(stderr, "%s: the vty did not answer%s%s", prog,
                     greeting.body.empty() ? "\n" : ": ", greeting.body.c_str());
        return 2;
    }
    if (!answer_passwords(vty, greeting, g_passwords, g_timeout_ms) || greeting.closed) {
        size_t why = greeting.body.rfind("% ");
        std::fprintf(stderr, "%s: login failed%s%s", prog, why == std::string::npos ? "\n" : ": ",
                     why == std::string::npos ? "" : greeting.body.c_str() + why);
        return 2;
    }

    bool from_stdin = commands.empty() && !isatty(STDIN_FILENO);
    if (commands.empty() && !from_stdin)
        return interactive(vty, greeting.prompt);

    int status = 0;
    auto run = [&](const std::string &line) -> bool {
        Reply r;
        if (!vty.send_line(line) || !vty.read_reply(r, g_timeout_ms) ||
            !answer_passwords(vty, r, g_passwords, g_timeout_ms)) {
            std::fprintf(stderr, "%s: no reply to \"%s\"\n", prog, line.c_str());
            status = 2;
            return false;
        }
        std::fputs(r.body.c_str(), stdout);
        if (has_error_line(r.body) && status == 0)
            status = 1;
        return !r.closed;
    };
    if (from_stdin) {
        std::string line;
        while (std::getline(std::cin, line))
            if (!run(line))
                break;
    } else {
        for (const auto &c : commands)
            if (!run(c))
                break;
    }
    std::fflush(stdout);
    return status;
}
