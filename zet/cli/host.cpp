#include "zet/cli/host.h"

#include "zet/cli/cli.h"
#include "zet/cli/config.h"
#include "zet/cli/vty.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// The host record that zg->host points at.
struct host {
    bool have_path = false;
    std::string config_path;
    host_vty_limits limits{16, 600, CLI_LINE_MAX, 1L << 20};
    zet::vty::Server *vty = nullptr;
    int lock_fd = -1;
    std::string passwords[2];
    std::string unix_path; // empty: no Unix socket
    std::string group, group_fallback;
    std::string log_dir;
};

namespace {

struct host *host_get(struct lib_globals *zg) {
    if (zg->host == nullptr)
        zg->host = new host;
    return zg->host;
}

// The lines of one writer call, ending in a line end.
std::string run_writer(struct lib_globals *zg, int mode, cli_writer writer) {
    std::unique_ptr<struct cli, void (*)(struct cli *)> cli(cli_new(zg, PRIVILEGE_MAX), cli_free);
    cli->mode = mode;
    writer(cli.get());
    std::string text = cli_output_take(cli.get());
    if (!text.empty() && text.back() != '\n')
        text += '\n';
    return text;
}

std::string framework_lines(struct lib_globals *zg) {
    std::string text;
    if (zg->log != nullptr) {
        const char *file = zlog_file(zg->log);
        if (file != nullptr && *file != '\0') {
            text += "log file ";
            text += file;
            text += '\n';
        }
    }
    if (const char *hash = host_vty_password(zg, HOST_PASSWORD_LOGIN))
        text += std::string("password encrypted ") + hash + "\n";
    if (const char *hash = host_vty_password(zg, HOST_PASSWORD_ENABLE))
        text += std::string("enable password encrypted ") + hash + "\n";
    return text;
}

} // namespace

std::string cli_running_config(struct lib_globals *zg) {
    if (zg == nullptr)
        return {};
    std::vector<std::string> sections;
    sections.push_back(framework_lines(zg));
    std::vector<std::pair<int, cli_writer>> writers = cli_tree_writers(zg->ctree);
    // 110 first, then 16, then the other numbers in ascending order; each number's writers in
    // registration order.
    std::vector<int> order{GLOBAL_WRITER_MODE, INTERFACE_MODE};
    std::vector<int> others;
    for (const auto &[mode, w] : writers)
        if (mode != GLOBAL_WRITER_MODE && mode != INTERFACE_MODE &&
            std::find(others.begin(), others.end(), mode) == others.end())
            others.push_back(mode);
    std::sort(others.begin(), others.end());
    order.insert(order.end(), others.begin(), others.end());
    for (int mode : order) {
        std::string text;
        for (const auto &[m, w] : writers)
            if (m == mode)
                text += run_writer(zg, mode, w);
        sections.push_back(std::move(text));
    }
    std::string out = "!\n";
    for (const auto &s : sections) {
        if (s.empty())
            continue;
        out += s;
        out += "!\n";
    }
    out += "end\n";
    return out;
}

void host_vty_set_unix(struct lib_globals *zg, const char *path, const char *group,
                       const char *fallback) {
    if (zg == nullptr)
        return;
    struct host *h = host_get(zg);
    h->unix_path = path != nullptr ? path : "";
    h->group = group != nullptr ? group : "";
    h->group_fallback = fallback != nullptr ? fallback : "";
}

int host_lock_place(struct lib_globals *zg, char *err, int err_size) {
    if (zg == nullptr)
        return -1;
    struct host *h = host_get(zg);
    if (h->lock_fd >= 0 || h->unix_path.empty())
        return 0;
    std::string path = h->unix_path + ".lock";
    // The socket's own directory (under /run) is made when missing; a service manager makes it
    // for a service, a hand-started daemon finds /run empty after a reboot.
    if (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0)
        ::mkdir(path.substr(0, slash).c_str(), 0755);
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (fd < 0) {
        zlog_warn(zg, "cannot open the lock file %s: %s; another daemon could share this place",
                  path.c_str(), std::strerror(errno));
        return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::string why = std::string("another daemon already runs with the vty socket ") +
                          h->unix_path + " (it holds " + path + ")";
        zlog_err(zg, "%s", why.c_str());
        if (err != nullptr && err_size > 0)
            std::snprintf(err, static_cast<size_t>(err_size), "%s", why.c_str());
        ::close(fd);
        return -1;
    }
    h->lock_fd = fd;
    return 0;
}

int host_config_start(struct lib_globals *zg, const char *path, uint16_t port) {
    if (zg == nullptr)
        return -1;
    struct host *h = host_get(zg);
    h->have_path = path != nullptr;
    h->config_path = path != nullptr ? path : "";
    if (path != nullptr)
        zet::config::read_file(zg, path);
    int ret = 0;
    if (h->vty == nullptr)
        h->vty = zet::vty::server_create(zg, h->limits, h->passwords[HOST_PASSWORD_LOGIN],
                                         h->passwords[HOST_PASSWORD_ENABLE]);
    if (port != 0 && zet::vty::listen_tcp(h->vty, port) != 0)
        ret = -1;
    if (!h->unix_path.empty() &&
        zet::vty::listen_unix(h->vty, h->unix_path.c_str(), h->group.c_str(),
                              h->group_fallback.c_str()) != 0)
        ret = -1;
    return ret;
}

void host_free(struct lib_globals *zg) {
    if (zg == nullptr || zg->host == nullptr)
        return;
    zet::vty::server_free(zg->host->vty);
    if (zg->host->lock_fd >= 0)
        ::close(zg->host->lock_fd);
    delete zg->host;
    zg->host = nullptr;
}

int host_config_read(struct lib_globals *zg, const char *path) {
    if (zg == nullptr || path == nullptr)
        return -1;
    return zet::config::read_file(zg, path);
}

const char *host_config_path(struct lib_globals *zg) {
    if (zg == nullptr || zg->host == nullptr || !zg->host->have_path)
        return nullptr;
    return zg->host->config_path.c_str();
}

// The running configuration without operator messages ("% ..." lines that a writer printed,
// such as a missing bridge): those are logged, not saved, so reading the file back is clean.
std::string saved_text(struct lib_globals *zg) {
    std::string text = cli_running_config(zg), out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        size_t end = nl == std::string::npos ? text.size() : nl + 1;
        std::string line = text.substr(pos, end - pos);
        pos = end;
        if (line[0] == '%') {
            while (!line.empty() && line.back() == '\n')
                line.pop_back();
            zlog_warn(zg, "running configuration: \"%s\" not saved", line.c_str());
            continue;
        }
        out += line;
    }
    return out;
}

int host_config_write(struct lib_globals *zg, char *err, int err_size) {
    std::string why;
    const char *path = host_config_path(zg);
    bool secret = host_vty_password(zg, HOST_PASSWORD_LOGIN) != nullptr ||
                  host_vty_password(zg, HOST_PASSWORD_ENABLE) != nullptr;
    bool ok = zg != nullptr && zet::config::write_atomic(path, saved_text(zg), why, secret);
    if (!ok && zg != nullptr && (path == nullptr || *path == '\0'))
        why =
            std::string("no configuration file was given at start-up (") + zet_name() + " -f FILE)";
    if (!ok && err != nullptr && err_size > 0)
        std::snprintf(err, static_cast<size_t>(err_size), "%s",
                      why.empty() ? "no framework handle" : why.c_str());
    return ok ? 0 : -1;
}

void host_vty_set_limits(struct lib_globals *zg, const struct host_vty_limits *limits) {
    if (zg == nullptr || limits == nullptr)
        return;
    struct host *h = host_get(zg);
    h->limits = *limits;
    if (h->vty != nullptr)
        zet::vty::server_set_limits(h->vty, h->limits);
}

uint16_t host_vty_port(struct lib_globals *zg) {
    return zg != nullptr && zg->host != nullptr && zg->host->vty != nullptr
               ? zet::vty::tcp_port(zg->host->vty)
               : 0;
}

const char *host_vty_unix_path(struct lib_globals *zg) {
    return zg != nullptr && zg->host != nullptr && zg->host->vty != nullptr
               ? zet::vty::unix_path(zg->host->vty)
               : nullptr;
}

int host_vty_sessions(struct lib_globals *zg) {
    return zg != nullptr && zg->host != nullptr && zg->host->vty != nullptr
               ? zet::vty::session_count(zg->host->vty)
               : 0;
}

void host_set_log_dir(struct lib_globals *zg, const char *dir) {
    if (zg != nullptr)
        host_get(zg)->log_dir = dir != nullptr ? dir : "";
}

const char *host_log_dir(struct lib_globals *zg) {
    if (zg == nullptr || zg->host == nullptr || zg->host->log_dir.empty())
        return nullptr;
    return zg->host->log_dir.c_str();
}

const char *host_vty_password(struct lib_globals *zg, int which) {
    if (zg == nullptr || zg->host == nullptr ||
        (which != HOST_PASSWORD_LOGIN && which != HOST_PASSWORD_ENABLE))
        return nullptr;
    const std::string &hash = zg->host->passwords[which];
    return hash.empty() ? nullptr : hash.c_str();
}

void host_vty_set_password(struct lib_globals *zg, int which, const char *hash) {
    if (zg == nullptr || (which != HOST_PASSWORD_LOGIN && which != HOST_PASSWORD_ENABLE))
        return;
    host_get(zg)->passwords[which] = hash != nullptr ? hash : "";
}

void host_vty_adopt(struct lib_globals *zg, int fd, bool tcp) {
    if (zg == nullptr || fd < 0)
        return;
    struct host *h = host_get(zg);
    if (h->vty == nullptr)
        h->vty = zet::vty::server_create(zg, h->limits, h->passwords[HOST_PASSWORD_LOGIN],
                                         h->passwords[HOST_PASSWORD_ENABLE]);
    zet::vty::adopt(h->vty, fd, tcp);
}
