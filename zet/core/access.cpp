#include "zet/core/access.h"

#include <cctype>
#include <cerrno>
#include <crypt.h>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zet::access {

namespace {

constexpr const char *SHA512_PREFIX = "$6$";
// About 5 ms a check on a small switch CPU: slow for guessing, quick for the loop.
constexpr unsigned long HASH_ROUNDS = 20000;
constexpr size_t SALT_MAX = 16;
constexpr size_t SHA512_DIGEST_CHARS = 86;

bool crypt_chars(const std::string &s) {
    for (char c : s)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '/'))
            return false;
    return true;
}

// Reads "rounds=N$" at the front of rest; false when it is there but malformed.
bool take_rounds(std::string &rest, long &rounds, std::string &why) {
    const std::string key = "rounds=";
    if (rest.compare(0, key.size(), key) != 0)
        return true;
    size_t dollar = rest.find('$');
    std::string digits = rest.substr(key.size(), dollar == std::string::npos ? std::string::npos
                                                                             : dollar - key.size());
    if (dollar == std::string::npos || digits.empty() || digits.size() > 9 ||
        digits.find_first_not_of("0123456789") != std::string::npos) {
        why = "malformed rounds field";
        return false;
    }
    rounds = std::strtol(digits.c_str(), nullptr, 10);
    rest.erase(0, dollar + 1);
    return true;
}

std::vector<gid_t> peer_groups(int fd) {
    std::vector<gid_t> groups(64);
    for (int attempt = 0; attempt < 2; attempt++) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return groups;
        }
        if (errno != ERANGE)
            break;
        groups.resize(len / sizeof(gid_t) + 1);
    }
    return {};
}

bool group_id(const char *name, gid_t &gid) {
    struct group gr {
    }, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(name, &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return false;
    gid = found->gr_gid;
    return true;
}

std::string group_name(gid_t gid) {
    struct group gr {
    }, *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return std::to_string(gid);
    return found->gr_name;
}

} // namespace

std::string hash_password(const std::string &plain) {
    char salt[CRYPT_GENSALT_OUTPUT_SIZE];
    if (crypt_gensalt_rn(SHA512_PREFIX, HASH_ROUNDS, nullptr, 0, salt, sizeof salt) == nullptr)
        return {};
    auto data = std::make_unique<struct crypt_data>();
    const char *out = crypt_rn(plain.c_str(), salt, data.get(), sizeof *data);
    return out != nullptr && out[0] == '$' ? std::string(out) : std::string();
}

bool hash_acceptable(const std::string &text, std::string &why) {
    if (text.compare(0, 3, SHA512_PREFIX) != 0) {
        why = "not a SHA-512 crypt hash (\"$6$...\")";
        return false;
    }
    std::string rest = text.substr(3);
    long rounds = 5000;
    if (!take_rounds(rest, rounds, why))
        return false;
    if (rounds > MAX_ROUNDS) {
        why = "more than " + std::to_string(MAX_ROUNDS) + " rounds";
        return false;
    }
    size_t dollar = rest.find('$');
    if (dollar == std::string::npos || dollar == 0 || dollar > SALT_MAX ||
        !crypt_chars(rest.substr(0, dollar)) || rest.size() - dollar - 1 != SHA512_DIGEST_CHARS ||
        !crypt_chars(rest.substr(dollar + 1))) {
        why = "malformed salt or digest";
        return false;
    }
    return true;
}

bool password_matches(const std::string &hash, const std::string &plain) {
    std::string why;
    if (!hash_acceptable(hash, why))
        return false;
    auto data = std::make_unique<struct crypt_data>();
    const char *out = crypt_rn(plain.c_str(), hash.c_str(), data.get(), sizeof *data);
    if (out == nullptr || std::strlen(out) != hash.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < hash.size(); i++)
        diff |= static_cast<unsigned char>(out[i] ^ hash[i]);
    return diff == 0;
}

Peer peer_of(int fd) {
    Peer p;
    struct ucred cred {};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && len == sizeof cred &&
        cred.uid != static_cast<uid_t>(-1)) {
        p.known = true;
        p.uid = cred.uid;
        p.gid = cred.gid;
        p.pid = cred.pid;
    }
    return p;
}

bool peer_is_root_or_self(const Peer &p) {
    return p.known && (p.uid == 0 || p.uid == geteuid());
}

int open_socket_file(const char *path, uid_t &owner, std::string &why) {
    int fd = ::open(path, O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        int err = errno;
        why = err == ELOOP ? "it is a symbolic link" : std::strerror(err);
        if (fd >= 0)
            ::close(fd);
        errno = err;
        return -1;
    }
    if (!S_ISSOCK(st.st_mode)) {
        why = S_ISLNK(st.st_mode) ? "it is a symbolic link" : "it is not a socket";
        ::close(fd);
        errno = ENOTSOCK;
        return -1;
    }
    if (st.st_uid != 0 && st.st_uid != geteuid()) {
        owner = st.st_uid;
        why = "it belongs to user " + std::to_string(st.st_uid);
        ::close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

bool peer_may_operate(int fd, const Peer &p, gid_t group) {
    if (!p.known)
        return false;
    if (peer_is_root_or_self(p) || p.gid == group)
        return true;
    for (gid_t g : peer_groups(fd))
        if (g == group)
            return true;
    return false;
}

gid_t operator_group(const char *wanted, const char *fallback, std::string &name,
                     std::string &warning) {
    gid_t gid = 0;
    if (wanted != nullptr && *wanted != '\0') {
        if (group_id(wanted, gid)) {
            name = wanted;
            return gid;
        }
        warning = std::string("the operator group ") + wanted + " does not exist";
    } else if (fallback != nullptr && *fallback != '\0' && group_id(fallback, gid)) {
        name = fallback;
        return gid;
    }
    name = group_name(0);
    return 0;
}

} // namespace zet::access
