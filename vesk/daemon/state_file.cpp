#include "vesk/daemon/state_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <net/if.h>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vesk/cli/show.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

namespace {

constexpr char HEADER[] = "veskd-state 1";
constexpr char KIND_SHUTDOWN[] = "shutdown";
constexpr char KIND_BLOCK[] = "block";
// Larger than any resume time, so a deadline from a clock that jumped is cut to this.
constexpr long long LONGEST_WAIT = 600;
constexpr size_t LARGEST_FILE = 256 * 1024;

std::string vesk_state_file = VESK_STATE_PATH_DEFAULT;
bool vesk_state_enabled = true;

bool vesk_state_name_ok(const char *name) {
    size_t n = std::strlen(name);
    if (n == 0 || n > INTERFACE_NAMSIZ)
        return false;
    for (size_t i = 0; i < n; i++)
        if (name[i] <= ' ' || name[i] > '~')
            return false;
    return true;
}

// One "shutdown IFINDEX NAME DEADLINE" line, strictly as written.
bool vesk_state_parse_line(const std::string &line, struct vesk_state_entry *e) {
    // One byte more than a name may have, so a longer one is seen and refused.
    static_assert(INTERFACE_NAMSIZ == 20, "the name width below is INTERFACE_NAMSIZ + 1");
    char kind[16];
    char name[INTERFACE_NAMSIZ + 2];
    unsigned long ifindex = 0;
    long long deadline = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%15s %lu %21s %lld%n", kind, &ifindex, name, &deadline, &used) !=
            4 ||
        static_cast<size_t>(used) != line.size())
        return false;
    const bool blocked = std::strcmp(kind, KIND_BLOCK) == 0;
    if ((!blocked && std::strcmp(kind, KIND_SHUTDOWN) != 0) || ifindex == 0 ||
        ifindex > UINT32_MAX || deadline < 0 || !vesk_state_name_ok(name))
        return false;
    e->ifindex = static_cast<uint32_t>(ifindex);
    std::memcpy(e->name, name, std::strlen(name) + 1);
    e->deadline = deadline;
    e->blocked = blocked;
    return true;
}

struct vesk_bridge *vesk_state_bridge(struct lib_globals *zg) {
    struct vesk_master *master = vesk_get_master(zg);
    return master != nullptr ? vesk_find_bridge_byname(master->bridge_list, VESK_BRIDGE_NAME)
                             : nullptr;
}

std::string vesk_state_text(struct vesk_bridge *bridge) {
    std::string text = std::string(HEADER) + "\n";
    const long long now = static_cast<long long>(std::time(nullptr));
    for (struct listnode *node = listhead(bridge->port_list); node != nullptr;
         node = listnextnode(node)) {
        auto *port = static_cast<struct vesk_port *>(listgetdata(node));
        if (port == nullptr || !vesk_port_is_cut(port))
            continue;
        long long wait = port->resume_timer != nullptr
                             ? (l2_timer_get_remaining_tics(port->resume_timer) + 255) >> 8
                             : port->resume_time;
        char line[96];
        std::snprintf(line, sizeof line, "%s %" PRIu32 " %s %lld\n",
                      port->pstate == VESK_PORT_BLOCKED ? KIND_BLOCK : KIND_SHUTDOWN, port->ifindex,
                      port->name, now + wait);
        text += line;
    }
    return text;
}

bool vesk_state_write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The directory of the file, made when missing (the service manager makes it for a service).
void vesk_state_make_dir(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0)
        return;
    mkdir(path.substr(0, slash).c_str(), 0755);
}

bool vesk_state_read(const std::string &path, std::string &text) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
              static_cast<size_t>(st.st_size) <= LARGEST_FILE;
    if (ok) {
        text.resize(static_cast<size_t>(st.st_size));
        ok = read(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    close(fd);
    return ok;
}

// Whether a file or directory is veskd's alone: owned by root, veskd's user or the user it is
// to become (VESK_USER), and writable by no one else. A missing one is made by veskd itself.
bool vesk_state_place_ours(const std::string &path, std::string &why) {
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0)
        return errno == ENOENT;
    const char *user = std::getenv("VESK_USER");
    struct passwd *pw = user != nullptr && *user != '\0' ? getpwnam(user) : nullptr;
    if (st.st_uid != 0 && st.st_uid != geteuid() && (pw == nullptr || st.st_uid != pw->pw_uid))
        why = path + " belongs to user " + std::to_string(st.st_uid);
    else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        why = path + " may be written by others";
    return why.empty();
}

// The state file shuts and brings up ports: one that someone else may have written or replaced
// is not used at all, neither read nor written. Gives false (logged) then.
bool vesk_state_trusted(struct lib_globals *zg) {
    size_t slash = vesk_state_file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : vesk_state_file.substr(0, slash + 1);
    std::string why;
    if (vesk_state_place_ours(dir, why) && vesk_state_place_ours(vesk_state_file, why))
        return true;
    zlog_err(zg, "The state file %s is not used: %s", vesk_state_file.c_str(), why.c_str());
    vesk_state_enabled = false;
    return false;
}

void vesk_state_adopt_port(struct lib_globals *zg, struct vesk_port *port, bool blocked,
                           long long wait) {
    vesk_state_machine_adopt(port, blocked, static_cast<uint32_t>(wait));
    // Asked again (it is down already), so that the module knows the port as one veskd took
    // down and still releases it should it leave the bridge first.
    if (!blocked)
        vesk_send_port_state_to_nsm(port->ifindex, VESK_PORT_REQ_SHUTDOWN);
    zlog_warn(zg, "Port %s was %s by loop detection before the restart; released in %llds",
              port->name, blocked ? "blocked" : "shut down", wait);
}

} // namespace

void vesk_state_set_path(const char *path) {
    vesk_state_enabled = path != nullptr;
    vesk_state_file = path != nullptr ? path : "";
}

const char *vesk_state_path(void) {
    return vesk_state_enabled ? vesk_state_file.c_str() : nullptr;
}

int vesk_state_parse(const char *text, size_t len, struct vesk_state_entry *entries, int max,
                     int *bad_line) {
    std::string all(text, len);
    int count = 0;
    int number = 0;
    size_t at = 0;
    while (at < all.size()) {
        size_t end = all.find('\n', at);
        if (end == std::string::npos)
            end = all.size();
        std::string line = all.substr(at, end - at);
        at = end + 1;
        number++;
        bool ok = number == 1 ? line == HEADER
                              : count < max && vesk_state_parse_line(line, &entries[count]);
        if (!ok) {
            if (bad_line != nullptr)
                *bad_line = number;
            return -1;
        }
        if (number > 1)
            count++;
    }
    if (number == 0) {
        if (bad_line != nullptr)
            *bad_line = 1;
        return -1;
    }
    return count;
}

int vesk_state_save(struct lib_globals *zg) {
    struct vesk_bridge *bridge = vesk_state_bridge(zg);
    if (!vesk_state_enabled || bridge == nullptr)
        return 0;
    const std::string text = vesk_state_text(bridge);
    vesk_state_make_dir(vesk_state_file);
    const std::string temp = vesk_state_file + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    bool ok = fd >= 0 && vesk_state_write_all(fd, text) && fsync(fd) == 0;
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), vesk_state_file.c_str()) == 0)
        return 0;
    zlog_err(zg, "Cannot write the state file %s: %s", vesk_state_file.c_str(),
             std::strerror(errno));
    unlink(temp.c_str());
    return -1;
}

int vesk_state_adopt(struct lib_globals *zg) {
    std::string text;
    if (!vesk_state_enabled || !vesk_state_trusted(zg) || !vesk_state_read(vesk_state_file, text))
        return 0;
    std::vector<vesk_state_entry> entries(VESK_STATE_MAX_ENTRIES);
    int bad_line = 0;
    int count = vesk_state_parse(text.data(), text.size(), entries.data(), VESK_STATE_MAX_ENTRIES,
                                 &bad_line);
    if (count < 0) {
        zlog_err(zg, "The state file %s is not veskd's (line %d); ignored", vesk_state_file.c_str(),
                 bad_line);
        return 0;
    }
    struct vesk_bridge *bridge = vesk_state_bridge(zg);
    struct ovx_vr *vr = ovx_vr_get_privileged(zg);
    if (bridge == nullptr || vr == nullptr)
        return 0;
    const long long now = static_cast<long long>(std::time(nullptr));
    int adopted = 0;
    for (int i = 0; i < count; i++) {
        const vesk_state_entry &e = entries[static_cast<size_t>(i)];
        struct interface *ifp = if_lookup_by_index(vr->ifm, e.ifindex);
        struct vesk_port *port = ifp != nullptr ? vesk_find_port_from_bridge(ifp, bridge) : nullptr;
        // Another interface under the old index, or one someone brought up meanwhile, is not
        // the port the old veskd took out. A blocked port kept its link up.
        if (port == nullptr || std::strcmp(port->name, e.name) != 0 ||
            (!e.blocked && (ifp->flags & IFF_UP) != 0))
            continue;
        long long wait = e.deadline - now;
        wait = wait < 1 ? 1 : (wait > LONGEST_WAIT ? LONGEST_WAIT : wait);
        vesk_state_adopt_port(zg, port, e.blocked, wait);
        adopted++;
    }
    vesk_state_save(zg);
    return adopted;
}
