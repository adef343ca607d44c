// Bytes from a TCP client at the vty in pieces (first byte: their size, and how often each is
// sent, so input outgrows what a session keeps before login): privilege 15 only with both
// passwords in the input, and only printable ASCII, line ends and the vty's own echo commands
// come back, echo off at every password prompt and on at every command prompt.
#include <crypt.h>
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz_daemon.h"

namespace {

constexpr const char *kLogin = "Pw7", *kEnable = "Ex9";

// Few rounds: the input pays for every try, and the cost of the hash is not what is fuzzed.
std::string cheap_hash(const char *plain) {
    struct crypt_data data {};
    const char *out = crypt_rn(plain, "$6$rounds=1000$fuzzsalt$", &data, sizeof data);
    return out != nullptr && out[0] == '$' ? out : (vesk_fuzz::fail("no hash"), "");
}
const std::string login_hash = cheap_hash(kLogin), enable_hash = cheap_hash(kEnable);

// Checks the echo commands (IAC WILL/WONT ECHO) around the prompts, and that nothing else but
// printable ASCII and line ends comes back.
void check_output(const std::string &out) {
    const std::string will = "\xff\xfb\x01", wont = "\xff\xfc\x01";
    std::string plain;
    bool echo_off = false;
    for (size_t i = 0; i < out.size(); i++) {
        if (out.compare(i, 3, will) == 0 || out.compare(i, 3, wont) == 0) {
            echo_off = out[i + 1] == will[1];
            i += 2;
            continue;
        }
        const char c = out[i];
        if ((c < 0x20 || c > 0x7e) && c != '\r' && c != '\n')
            vesk_fuzz::fail("byte 0x%02x came back to the client", static_cast<unsigned char>(c));
        plain += c;
        if (plain.ends_with("Password: ") && !echo_off)
            vesk_fuzz::fail("a password prompt with the client's echo on");
        if ((plain.ends_with("veskd> ") || plain.ends_with("veskd# ")) && echo_off)
            vesk_fuzz::fail("a command prompt with the client's echo off");
    }
}

void drain(int fd, std::string &out) {
    char buf[4096];
    for (ssize_t n; (n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0;)
        out.append(buf, static_cast<size_t>(n));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    vesk_fuzz::start();
    lib_globals *zg = vesk_fuzz::world.handle();
    host_vty_set_password(zg, HOST_PASSWORD_LOGIN, login_hash.c_str());
    host_vty_set_password(zg, HOST_PASSWORD_ENABLE, enable_hash.c_str());
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        vesk_fuzz::fail("no socket pair");
    host_vty_adopt(zg, sv[0], true);
    std::string out, sent;
    const size_t piece = data[0] % 64 + 1, times = data[0] / 64 + 1;
    for (size_t at = 1; at < size; at += piece) {
        const size_t n = std::min(piece, size - at);
        for (size_t k = 0; k < times; k++) {
            ssize_t took = send(sv[1], data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
            sent.append(reinterpret_cast<const char *>(data + at), took > 0 ? size_t(took) : 0);
        }
        vesk_fuzz::world.advance(1);
        drain(sv[1], out);
    }
    vesk_fuzz::world.advance(2);
    drain(sv[1], out);
    close(sv[1]);
    vesk_fuzz::world.advance(1);
    if (host_vty_sessions(zg) != 0)
        vesk_fuzz::fail("the session outlived its client");
    // The input as the vty reads it: control bytes and bytes beyond ASCII dropped. With telnet
    // commands (0xff) in it the text is not so simply known, and only crashes are looked for.
    std::string in;
    for (unsigned char c : sent)
        if ((c >= 0x20 && c < 0x7f) || c == '\n' || c == '\t')
            in += static_cast<char>(c);
    bool telnet = sent.find('\xff') != std::string::npos;
    if (!telnet && out.find("veskd# ") != std::string::npos &&
        (in.find(kLogin) == std::string::npos || in.find(kEnable) == std::string::npos))
        vesk_fuzz::fail("privilege 15 without both passwords");
    check_output(out);
    vesk_fuzz::stop();
    return 0;
}
