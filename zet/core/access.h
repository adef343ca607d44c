// Who may talk to the daemon: vty passwords kept as salted crypt(3) hashes, and the peer
// credentials (SO_PEERCRED) that decide the Unix-socket doors. See docs/cli.md.
#pragma once

#include <string>
#include <sys/types.h>

namespace zet::access {

// A salted SHA-512 crypt hash of plain, "" when no hash can be made (no randomness). SHA-512
// rather than yescrypt: a check runs on the event loop, and yescrypt's default cost holds the
// loop for close to half a second where this takes a few milliseconds.
std::string hash_password(const std::string &plain);
// Whether text is a hash this daemon accepts back from a configuration: SHA-512 crypt with at
// most MAX_ROUNDS rounds (more would stall the loop at every login). why says what is wrong.
bool hash_acceptable(const std::string &text, std::string &why);
// Whether plain matches hash (compared in constant time).
bool password_matches(const std::string &hash, const std::string &plain);
constexpr long MAX_ROUNDS = 100000;

// The credentials of a connected Unix socket's peer.
struct Peer {
    bool known = false;
    uid_t uid = 0;
    gid_t gid = 0;
    pid_t pid = 0;
};
Peer peer_of(int fd);
// Whether the peer runs as root or as this process's own user.
bool peer_is_root_or_self(const Peer &p);
// Opens the socket file at path as a handle (O_PATH) without following a symbolic link, and
// checks the handle: a socket belonging to root or this process's user (a datagram peer has no
// credentials to ask for; its socket file's owner is who bound it). Connecting through
// "/proc/self/fd/N" then reaches the file checked, whatever is renamed meanwhile. Gives the
// handle, or -1 with why (and owner set when the owner was the fault).
int open_socket_file(const char *path, uid_t &owner, std::string &why);
// Whether the peer (of fd) is root, this process's user, or a member of group.
bool peer_may_operate(int fd, const Peer &p, gid_t group);

// The group of the operator's door: wanted when given (and known), else fallback when given and
// it exists, else root's group. name gets the group's name; a wanted group that does not exist
// is reported in warning.
gid_t operator_group(const char *wanted, const char *fallback, std::string &name,
                     std::string &warning);

} // namespace zet::access
