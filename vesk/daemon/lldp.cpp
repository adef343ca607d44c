#include "vesk/daemon/lldp.h"

#include "vesk/daemon/event_line.h"
#include "vesk/host/lldp_cache.h"
#include "vesk/host/zet.h"

#include <lldpctl.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// How long the thread waits before it tries an absent or gone lldpd again.
constexpr auto VESK_LLDP_RETRY = std::chrono::seconds(10);

struct vesk_lldp_helper {
    std::thread thread;
    std::mutex mu;
    std::condition_variable wake;
    bool stopping = false;
    // The thread's sockets to lldpd: shut down to wake a read that waits on lldpd.
    int fds[2] = {-1, -1};
    std::string path;
};

vesk_lldp_helper *vesk_lldp = nullptr;

ssize_t vesk_lldp_send(lldpctl_conn_t *, const uint8_t *data, size_t length, void *fd) {
    const ssize_t n = send(*static_cast<int *>(fd), data, length, MSG_NOSIGNAL);
    if (n < 0)
        return LLDPCTL_ERR_CALLBACK_FAILURE;
    return n;
}

ssize_t vesk_lldp_recv(lldpctl_conn_t *, const uint8_t *data, size_t length, void *fd) {
    ssize_t n = 0;
    do
        n = read(*static_cast<int *>(fd), const_cast<uint8_t *>(data), length);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return LLDPCTL_ERR_CALLBACK_FAILURE;
    if (n == 0)
        return LLDPCTL_ERR_EOF;
    return n;
}

int vesk_lldp_connect(const std::string &path) {
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path)
        return -1;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) == 0)
        return fd;
    close(fd);
    return -1;
}

void vesk_lldp_copy(char *dst, const char *src) {
    std::snprintf(dst, VESK_LLDP_NAME_MAX, "%s", src != nullptr ? src : "");
}

// What names the neighbour's port best: an interface name or local name as its id, else its
// description, else whatever its id is (often a MAC address).
void vesk_lldp_port_name(lldpctl_atom_t *nb, char *out) {
    const char *subtype = lldpctl_atom_get_str(nb, lldpctl_k_port_id_subtype);
    const char *id = lldpctl_atom_get_str(nb, lldpctl_k_port_id);
    const char *descr = lldpctl_atom_get_str(nb, lldpctl_k_port_descr);
    const bool named = subtype != nullptr &&
                       (std::strcmp(subtype, "ifname") == 0 || std::strcmp(subtype, "local") == 0);
    vesk_lldp_copy(out, named || descr == nullptr || *descr == '\0' ? id : descr);
}

// The first neighbour of each interface.
void vesk_lldp_neighbours_of(lldpctl_atom_t *iface, std::vector<std::string> &names,
                             std::vector<vesk_lldp_neighbour> &nbs) {
    const char *name = lldpctl_atom_get_str(iface, lldpctl_k_interface_name);
    lldpctl_atom_t *port = lldpctl_get_port(iface);
    lldpctl_atom_t *list =
        port != nullptr ? lldpctl_atom_get(port, lldpctl_k_port_neighbors) : nullptr;
    lldpctl_atom_t *nb = nullptr;
    bool found = false;
    lldpctl_atom_foreach(list, nb) {
        if (found || name == nullptr)
            continue;
        vesk_lldp_neighbour known{};
        lldpctl_atom_t *chassis = lldpctl_atom_get(nb, lldpctl_k_port_chassis);
        vesk_lldp_copy(known.system, lldpctl_atom_get_str(chassis, lldpctl_k_chassis_name));
        lldpctl_atom_dec_ref(chassis);
        vesk_lldp_port_name(nb, known.port);
        names.emplace_back(name);
        nbs.push_back(known);
        found = true;
    }
    lldpctl_atom_dec_ref(list);
    lldpctl_atom_dec_ref(port);
}

int vesk_lldp_refresh(lldpctl_conn_t *conn) {
    lldpctl_atom_t *ifaces = lldpctl_get_interfaces(conn);
    if (ifaces == nullptr)
        return -1;
    std::vector<std::string> names;
    std::vector<vesk_lldp_neighbour> nbs;
    lldpctl_atom_t *iface = nullptr;
    lldpctl_atom_foreach(ifaces, iface) vesk_lldp_neighbours_of(iface, names, nbs);
    lldpctl_atom_dec_ref(ifaces);
    std::vector<const char *> keys;
    for (const std::string &n : names)
        keys.push_back(n.c_str());
    vesk_lldp_cache_replace(keys.data(), nbs.data(), nbs.size());
    return 0;
}

void vesk_lldp_changed(lldpctl_change_t, lldpctl_atom_t *, lldpctl_atom_t *, void *) {}

// One session with lldpd: every neighbour, then again after each change, until lldpd goes or
// veskd stops.
void vesk_lldp_session(vesk_lldp_helper &h) {
    lldpctl_conn_t *query = lldpctl_new(vesk_lldp_send, vesk_lldp_recv, &h.fds[0]);
    lldpctl_conn_t *watch = lldpctl_new(vesk_lldp_send, vesk_lldp_recv, &h.fds[1]);
    if (query != nullptr && watch != nullptr &&
        lldpctl_watch_callback2(watch, vesk_lldp_changed, nullptr) == 0) {
        while (vesk_lldp_refresh(query) == 0 && lldpctl_watch(watch) == 0) {
        }
    }
    if (query != nullptr)
        lldpctl_release(query);
    if (watch != nullptr)
        lldpctl_release(watch);
    vesk_lldp_cache_replace(nullptr, nullptr, 0);
}

bool vesk_lldp_open(vesk_lldp_helper &h) {
    std::lock_guard lock(h.mu);
    if (h.stopping)
        return false;
    h.fds[0] = vesk_lldp_connect(h.path);
    h.fds[1] = h.fds[0] >= 0 ? vesk_lldp_connect(h.path) : -1;
    return h.fds[1] >= 0;
}

void vesk_lldp_close(vesk_lldp_helper &h) {
    std::lock_guard lock(h.mu);
    for (int &fd : h.fds) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void vesk_lldp_run(vesk_lldp_helper *h) {
    for (;;) {
        if (vesk_lldp_open(*h))
            vesk_lldp_session(*h);
        vesk_lldp_close(*h);
        std::unique_lock lock(h->mu);
        if (h->wake.wait_for(lock, VESK_LLDP_RETRY, [h] { return h->stopping; }))
            return;
    }
}

// Runs under the log's lock: it only reads the cache.
void vesk_lldp_suffix(void *, const char *line, char *buf, size_t size) {
    vesk_event_line ev{};
    vesk_lldp_neighbour nb{};
    if (vesk_event_line_parse(line, &ev) && vesk_lldp_cache_get(ev.port, &nb))
        std::snprintf(buf, size, " (neighbour %s port %s)", nb.system, nb.port);
}

} // namespace

void vesk_lldp_start(struct lib_globals *zg) {
    const char *path = std::getenv("VESK_LLDPD_SOCKET");
    vesk_lldp = new vesk_lldp_helper;
    vesk_lldp->path = path != nullptr && *path != '\0' ? path : lldpctl_get_default_transport();
    vesk_lldp->thread = std::thread(vesk_lldp_run, vesk_lldp);
    zlog_set_suffix(zg->log, vesk_lldp_suffix, nullptr);
}

void vesk_lldp_stop(void) {
    if (vesk_lldp == nullptr)
        return;
    {
        std::lock_guard lock(vesk_lldp->mu);
        vesk_lldp->stopping = true;
        for (int fd : vesk_lldp->fds)
            if (fd >= 0)
                shutdown(fd, SHUT_RDWR);
    }
    vesk_lldp->wake.notify_all();
    vesk_lldp->thread.join();
    delete vesk_lldp;
    vesk_lldp = nullptr;
}
