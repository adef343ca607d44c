// The vty server: command sessions over TCP (127.0.0.1) and a Unix stream socket, driven by the
// event loop (framework-internal; the public face is zet/cli/host.h).
//
// Doors: the Unix socket admits root, this process's user and the operator group (their
// credentials, SO_PEERCRED, decide) at privilege 15; TCP sessions log in with the vty
// password ("Password: ", privilege 1; "enable" asks for the enable password) and are refused
// while no password is set. TCP never takes the last sessions of the limit, at most a few
// logins wait at once, each for a limited time, and refusals are logged at most once a second.
//
// Protocol (plain text, line by line, as telnet, nc and the daemon's client expect):
// - on connecting a session gets a greeting line and the prompt (TCP: "Password: ");
// - each line ("\n"-ended; "\r", NUL and every other byte outside printable ASCII but TAB is
//   dropped, telnet IAC sequences are skipped) runs as a command of the session's mode; a line
//   ending in "?" asks for help on the text before it; a line ending in a TAB asks for the
//   words completing its last word (one line, words separated by blanks);
// - a TCP session sends telnet IAC WILL ECHO before a password prompt and IAC WONT ECHO once
//   the password is answered, so a telnet client does not show it;
// - every reply ends with the prompt of the mode the session is in then; "exit" in exec mode
//   ends the session without a prompt;
// - TCP sessions get "\r\n" line ends, Unix sessions "\n".
#pragma once

#include <cstdint>
#include <string>

struct lib_globals;
struct host_vty_limits;

namespace zet::vty {

struct Server;

// login and enable are the password hashes ("" when unset), read at each check: they must
// outlive the server.
Server *server_create(struct lib_globals *zg, const struct host_vty_limits &limits,
                      const std::string &login, const std::string &enable);
// Closes every session and listener; removes the Unix socket.
void server_free(Server *srv);
void server_set_limits(Server *srv, const struct host_vty_limits &limits);
// Listens on 127.0.0.1:port. Gives 0, or -1 (logged).
int listen_tcp(Server *srv, uint16_t port);
// Listens on a Unix stream socket at path; a stale socket file is replaced, a live one (another
// server answers there) is left alone and gives -1. The operator group (the group of the socket
// file, whose members may connect) is group, else fallback, else root's (zet::access::
// operator_group). Gives 0, or -1 (logged).
int listen_unix(Server *srv, const char *path, const char *group, const char *fallback);
uint16_t tcp_port(const Server *srv);
const char *unix_path(const Server *srv);
int session_count(const Server *srv);
// Takes a connected socket as a session of the TCP door (tcp) or the Unix door, past the door's
// checks, as accept would (fuzzers and tests that hold the other end themselves).
void adopt(Server *srv, int fd, bool tcp);

} // namespace zet::vty
