#include "vesk/daemon/state_file.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <net/if.h>
#include <pwd.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "vesk/cli/show.h"
#include "vesk/host/zet.h"
#include "vesk/machine/state_machine.h"
#include "vesk/machine/vlan_block.h"
#include "vesk/model/model.h"
#include "vesk/nsm/port_state.h"

namespace {

constexpr char HEADER[] = "veskd-state 1";
constexpr char KIND_SHUTDOWN[] = "shutdown";
constexpr char KIND_BLOCK[] = "block";
// Larger than any resume time, so a deadline from a clock that jumped is cut to this.
constexpr long long LONGEST_WAIT = 600;
constexpr size_t LARGEST_FILE = 256 * 1024;
// Bad lines logged one by one; the rest are counted.
constexpr size_t BAD_LINES_LOGGED = 8;

struct vesk_state_flag {
    const char *word;
    uint8_t bit;
};
// The words of the kernel's bridge tool, in the order they are written.
constexpr vesk_state_flag FLAG_WORDS[] = {
    {"learning", NSM_BRPORT_LEARNING},       {"flood", NSM_BRPORT_FLOOD},
    {"mcast_flood", NSM_BRPORT_MCAST_FLOOD}, {"bcast_flood", NSM_BRPORT_BCAST_FLOOD},
    {"locked", NSM_BRPORT_LOCKED},
};
constexpr int FLAG_SETS = 1 << std::size(FLAG_WORDS);

// An entry of the file read at start whose port is not a port of the bridge yet.
struct vesk_state_wait {
    vesk_state_entry entry;
    // Its interface has been seen: a new name is then a rename, and its going a deletion.
    bool seen;
};

std::string vesk_state_file = VESK_STATE_PATH_DEFAULT;
bool vesk_state_enabled = true;
std::vector<vesk_state_wait> vesk_state_waiting;
// What the file said when last written, deadlines aside (their rounding moves with the clock):
// a change the module reports rewrites the file only when it changes this.
std::vector<vesk_state_entry> vesk_state_written;

std::string vesk_state_flag_words(int flags) {
    std::string words;
    for (const vesk_state_flag &f : FLAG_WORDS)
        if ((flags & f.bit) != 0)
            words += (words.empty() ? "" : ",") + std::string(f.word);
    return words.empty() ? "none" : words;
}

// The flags a word names when it is written exactly as veskd writes them, else -1.
int vesk_state_flags_parse(const char *word) {
    for (int flags = 0; flags < FLAG_SETS; flags++)
        if (vesk_state_flag_words(flags) == word)
            return flags;
    return -1;
}

// What follows a block's deadline: " vlan VID", for a block of that VLAN alone.
bool vesk_state_parse_vid(const std::string &line, size_t at, struct vesk_state_entry *e) {
    unsigned vid = 0;
    int used = 0;
    if (!e->blocked || std::sscanf(line.c_str() + at, " vlan %4u%n", &vid, &used) != 1 ||
        at + static_cast<size_t>(used) != line.size() || vid < 1 || vid > 4094 ||
        line.compare(at, 6, " vlan ") != 0 || line[at + 6] < '1' || line[at + 6] > '9')
        return false;
    e->vid = static_cast<uint16_t>(vid);
    return true;
}

// What follows the deadline: nothing, or for a block one space and the flags, or the VLAN.
bool vesk_state_parse_flags(const std::string &line, size_t at, struct vesk_state_entry *e) {
    e->flags = -1;
    e->vid = 0;
    if (at == line.size())
        return true;
    if (line.compare(at, 6, " vlan ") == 0)
        return vesk_state_parse_vid(line, at, e);
    char word[48];
    int used = 0;
    if (!e->blocked || line[at] != ' ' ||
        std::sscanf(line.c_str() + at, " %47s%n", word, &used) != 1 ||
        at + static_cast<size_t>(used) != line.size())
        return false;
    e->flags = vesk_state_flags_parse(word);
    return e->flags >= 0;
}

// One "shutdown IFINDEX NAME DEADLINE" or "block IFINDEX NAME DEADLINE [FLAGS]" line, strictly
// as written.
bool vesk_state_parse_line(const std::string &line, struct vesk_state_entry *e) {
    // One byte more than a name may have, so a longer one is seen and refused.
    static_assert(INTERFACE_NAMSIZ == 20, "the name width below is INTERFACE_NAMSIZ + 1");
    char kind[16];
    char name[INTERFACE_NAMSIZ + 2];
    unsigned long ifindex = 0;
    long long deadline = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%15s %lu %21s %lld%n", kind, &ifindex, name, &deadline, &used) !=
        4)
        return false;
    const bool blocked = std::strcmp(kind, KIND_BLOCK) == 0;
    if ((!blocked && std::strcmp(kind, KIND_SHUTDOWN) != 0) || ifindex == 0 ||
        ifindex > UINT32_MAX || deadline < 0 || !vesk_port_name_ok(name))
        return false;
    e->ifindex = static_cast<uint32_t>(ifindex);
    std::memcpy(e->name, name, std::strlen(name) + 1);
    e->deadline = deadline;
    e->blocked = blocked;
    return vesk_state_parse_flags(line, static_cast<size_t>(used), e);
}

struct vesk_bridge *vesk_state_bridge(struct lib_globals *zg) {
    struct vesk_master *master = vesk_get_master(zg);
    return master != nullptr ? vesk_find_bridge_from_master(VESK_BRIDGE_NAME, master) : nullptr;
}

struct vesk_state_entry vesk_state_port_entry(struct lib_globals *zg, struct vesk_port *port,
                                              long long now) {
    struct vesk_state_entry e = {};
    e.ifindex = port->ifindex;
    std::memcpy(e.name, port->name, sizeof e.name);
    long long wait = port->resume_timer.armed()
                         ? (l2_timer_get_remaining_tics(port->resume_timer.get()) + 255) >> 8
                         : port->settings.resume_time;
    e.deadline = now + wait;
    e.blocked = port->pstate == VESK_PORT_BLOCKED;
    e.flags = e.blocked ? nsm_client_blocked_flags(zg->nc, port->ifindex) : -1;
    // The bridge's defaults are what an unblock gives without being told.
    if (e.flags == NSM_BRPORT_DEFAULT)
        e.flags = -1;
    return e;
}

// The VLANs the port was blocked in alone.
void vesk_state_vlan_entries(struct vesk_port *port, long long now,
                             std::vector<vesk_state_entry> &all) {
    if (port->vlan_blocks.empty())
        return;
    struct vesk_state_entry e = {};
    e.ifindex = port->ifindex;
    std::memcpy(e.name, port->name, sizeof e.name);
    e.blocked = true;
    e.flags = -1;
    const long long clock = zet_clock_now_usec();
    for (const auto &[vid, block] : port->vlan_blocks) {
        e.vid = vid;
        e.deadline = now + std::max(0LL, block.until_usec - clock + 999999) / 1000000;
        all.push_back(e);
    }
}

// The ports of the managed bridge that loop detection cut, then the entries still waiting.
std::vector<vesk_state_entry> vesk_state_entries(struct lib_globals *zg) {
    std::vector<vesk_state_entry> all;
    const long long now = static_cast<long long>(std::time(nullptr));
    if (struct vesk_bridge *bridge = vesk_state_bridge(zg); bridge != nullptr)
        for (const auto &port : bridge->ports) {
            if (vesk_port_is_cut(port.get()))
                all.push_back(vesk_state_port_entry(zg, port.get(), now));
            vesk_state_vlan_entries(port.get(), now, all);
        }
    for (const vesk_state_wait &w : vesk_state_waiting)
        all.push_back(w.entry);
    return all;
}

bool vesk_state_same(const std::vector<vesk_state_entry> &a,
                     const std::vector<vesk_state_entry> &b) {
    auto same = [](const vesk_state_entry &x, const vesk_state_entry &y) {
        return x.ifindex == y.ifindex && x.blocked == y.blocked && x.flags == y.flags &&
               x.vid == y.vid && std::strcmp(x.name, y.name) == 0;
    };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), same);
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

// The entries of the state file, each bad line logged: false when there is no file to read, or
// one that is not veskd's (left as it is).
bool vesk_state_load(struct lib_globals *zg, std::vector<vesk_state_entry> &entries) {
    std::string text;
    if (!vesk_state_read(vesk_state_file, text))
        return false;
    entries.resize(VESK_STATE_MAX_ENTRIES);
    std::vector<int> bad;
    int count =
        vesk_state_parse(text.data(), text.size(), entries.data(), VESK_STATE_MAX_ENTRIES, &bad);
    entries.resize(count > 0 ? static_cast<size_t>(count) : 0);
    if (count < 0) {
        zlog_err(zg, "The state file %s is not veskd's (line 1); ignored", vesk_state_file.c_str());
        return false;
    }
    for (size_t i = 0; i < bad.size() && i < BAD_LINES_LOGGED; i++)
        zlog_err(zg, "The state file %s, line %d: not what veskd writes; skipped",
                 vesk_state_file.c_str(), bad[i]);
    if (bad.size() > BAD_LINES_LOGGED)
        zlog_err(zg, "The state file %s: %zu more bad lines skipped", vesk_state_file.c_str(),
                 bad.size() - BAD_LINES_LOGGED);
    return true;
}

void vesk_state_adopt_port(struct lib_globals *zg, struct vesk_port *port,
                           const struct vesk_state_entry &e) {
    const long long now = static_cast<long long>(std::time(nullptr));
    long long wait = e.deadline - now;
    wait = wait < 1 ? 1 : (wait > LONGEST_WAIT ? LONGEST_WAIT : wait);
    if (e.blocked && e.flags >= 0)
        nsm_client_keep_blocked_flags(zg->nc, port->ifindex, static_cast<uint8_t>(e.flags));
    vesk_state_machine_adopt(port, e.blocked, static_cast<uint32_t>(wait));
    // Asked again (it is down already), so that the module knows the port as one veskd took
    // down and still releases it should it leave the bridge first.
    if (!e.blocked)
        vesk_send_port_state_to_nsm(vesk_port_zg(port), port->ifindex, VESK_PORT_REQ_SHUTDOWN);
    zlog_warn(zg, "Port %s was %s by loop detection before the restart; released in %llds",
              port->name, e.blocked ? "blocked" : "shut down", wait);
}

// A VLAN the port was blocked in alone, while it still protects the VLAN as a member.
void vesk_state_adopt_vlan(struct lib_globals *zg, struct vesk_port *port,
                           const struct vesk_state_entry &e) {
    const long long wait =
        std::clamp(e.deadline - static_cast<long long>(std::time(nullptr)), 1LL, LONGEST_WAIT);
    if (vesk_vlan_block_adopt(port, e.vid, static_cast<uint32_t>(wait)) == 0)
        zlog_warn(zg,
                  "Port %s was blocked in vlan %d by loop detection before the restart; "
                  "released in %llds",
                  port->name, static_cast<int>(e.vid), wait);
}

// Whether a waiting entry is done with: adopted once its interface is a port of the bridge,
// forgotten once the interface is gone, is another one (a name it never had), or is no longer
// as veskd left it (brought up, or unlocked: a port that leaves a bridge and comes back has
// fresh flags).
bool vesk_state_settle(struct lib_globals *zg, struct ovx_vr *vr, vesk_state_wait &w) {
    struct vesk_state_entry &e = w.entry;
    struct interface *ifp = if_lookup_by_index(vr->ifm, e.ifindex);
    if (ifp == nullptr)
        return w.seen;
    if (!w.seen && std::strcmp(ifp->name, e.name) != 0)
        return true;
    w.seen = true;
    std::snprintf(e.name, sizeof e.name, "%s", ifp->name);
    if (!e.blocked && (ifp->flags & IFF_UP) != 0)
        return true;
    struct vesk_port *port = vesk_find_port_from_bridge(ifp, vesk_state_bridge(zg));
    if (port == nullptr)
        return false;
    if (e.vid != 0) {
        vesk_state_adopt_vlan(zg, port, e);
        return true;
    }
    const int flags = vesk_port_bridge_flags(zg, e.ifindex);
    if (!e.blocked || flags < 0 || vesk_port_flags_locked(flags))
        vesk_state_adopt_port(zg, port, e);
    return true;
}

// A port the bridge neither learns on nor floods to that loop detection has not blocked: the
// block of a veskd whose state file is lost, or someone's own setting. Shown as up, it passes
// nothing; the operator learns how to lift it.
void vesk_state_warn_locked(struct lib_globals *zg) {
    struct vesk_bridge *bridge = vesk_state_bridge(zg);
    if (bridge == nullptr)
        return;
    for (const auto &owned : bridge->ports) {
        struct vesk_port *port = owned.get();
        if (!vesk_port_is_cut(port) &&
            vesk_port_flags_locked(vesk_port_bridge_flags(vesk_port_zg(port), port->ifindex)))
            zlog_warn(zg,
                      "Port %s has learning and flooding off, which the state file does not "
                      "explain; \"loop-detect force up\" on it restores the bridge's defaults",
                      port->name);
    }
}

} // namespace

void vesk_state_set_path(const char *path) {
    vesk_state_enabled = path != nullptr;
    vesk_state_file = path != nullptr ? path : "";
}

int vesk_state_parse(const char *text, size_t len, struct vesk_state_entry *entries, int max,
                     std::vector<int> *bad_lines) {
    const std::string all(text, len);
    size_t at = all.find('\n');
    if (all.substr(0, at) != HEADER) {
        if (bad_lines != nullptr)
            bad_lines->push_back(1);
        return -1;
    }
    std::set<std::pair<uint32_t, uint16_t>> seen;
    int count = 0;
    int number = 1;
    while (at != std::string::npos && ++at < all.size()) {
        const size_t end = all.find('\n', at);
        const std::string line = all.substr(at, end - at);
        at = end;
        number++;
        if (count < max && vesk_state_parse_line(line, &entries[count]) &&
            seen.insert({entries[count].ifindex, entries[count].vid}).second)
            count++;
        else if (bad_lines != nullptr)
            bad_lines->push_back(number);
    }
    return count;
}

std::string vesk_state_line(const struct vesk_state_entry &e) {
    char line[128];
    if (e.vid != 0) {
        std::snprintf(line, sizeof line, "%s %" PRIu32 " %s %lld vlan %u\n", KIND_BLOCK, e.ifindex,
                      e.name, e.deadline, static_cast<unsigned>(e.vid));
        return line;
    }
    std::snprintf(line, sizeof line, "%s %" PRIu32 " %s %lld%s%s\n",
                  e.blocked ? KIND_BLOCK : KIND_SHUTDOWN, e.ifindex, e.name, e.deadline,
                  e.blocked && e.flags >= 0 ? " " : "",
                  e.blocked && e.flags >= 0 ? vesk_state_flag_words(e.flags).c_str() : "");
    return line;
}

int vesk_state_save(struct lib_globals *zg) {
    if (!vesk_state_enabled)
        return 0;
    const std::vector<vesk_state_entry> entries = vesk_state_entries(zg);
    std::string text = std::string(HEADER) + "\n";
    for (const vesk_state_entry &e : entries)
        text += vesk_state_line(e);
    vesk_state_make_dir(vesk_state_file);
    const std::string temp = vesk_state_file + ".new";
    unlink(temp.c_str());
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    bool ok = fd >= 0 && vesk_state_write_all(fd, text) && fsync(fd) == 0;
    if (fd >= 0)
        ok = close(fd) == 0 && ok;
    if (ok && rename(temp.c_str(), vesk_state_file.c_str()) == 0) {
        vesk_state_written = entries;
        return 0;
    }
    zlog_err(zg, "Cannot write the state file %s: %s", vesk_state_file.c_str(),
             std::strerror(errno));
    unlink(temp.c_str());
    return -1;
}

void vesk_state_adopt(struct lib_globals *zg) {
    vesk_state_waiting.clear();
    std::vector<vesk_state_entry> entries;
    struct ovx_vr *vr = ovx_vr_get_privileged(zg);
    const bool read = vesk_state_enabled && vesk_state_trusted(zg) && vesk_state_load(zg, entries);
    for (const vesk_state_entry &e : entries) {
        // Renamed while no veskd watched, an interface keeps its index.
        vesk_state_wait w = {e, vr != nullptr && if_lookup_by_index(vr->ifm, e.ifindex) != nullptr};
        if (vr == nullptr || !vesk_state_settle(zg, vr, w))
            vesk_state_waiting.push_back(w);
    }
    vesk_state_warn_locked(zg);
    if (read)
        vesk_state_save(zg);
}

void vesk_state_follow(struct lib_globals *zg) {
    struct ovx_vr *vr = ovx_vr_get_privileged(zg);
    if (!vesk_state_enabled || vr == nullptr)
        return;
    std::erase_if(vesk_state_waiting,
                  [&](vesk_state_wait &w) { return vesk_state_settle(zg, vr, w); });
    if (!vesk_state_same(vesk_state_entries(zg), vesk_state_written))
        vesk_state_save(zg);
}
