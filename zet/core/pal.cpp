#include "zet/core/pal.h"

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

#ifndef ZET_VERSION
#define ZET_VERSION "0.0.0"
#endif
#ifndef ZET_BUILD_DATE
#define ZET_BUILD_DATE __DATE__
#endif
#ifndef ZET_BUILD_TIME
#define ZET_BUILD_TIME __TIME__
#endif

uint16_t in_checksum(const void *data, int length) {
    const auto *p = static_cast<const uint8_t *>(data);
    uint32_t sum = 0;
    if (p == nullptr || length < 0)
        length = 0;
    int i = 0;
    for (; i + 1 < length; i += 2) {
        uint16_t word;
        std::memcpy(&word, p + i, 2);
        sum += word;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    if (i < length) {
        const uint8_t last[2] = {p[i], 0};
        uint16_t word;
        std::memcpy(&word, last, 2);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

namespace {

struct process_names {
    std::mutex mu;
    std::string name = "zet";
    std::string client = "the client";
};

process_names &names() {
    static process_names pn;
    return pn;
}

} // namespace

const char *zet_name(void) {
    auto &pn = names();
    std::lock_guard lock(pn.mu);
    return pn.name.c_str();
}

const char *zet_client_name(void) {
    auto &pn = names();
    std::lock_guard lock(pn.mu);
    return pn.client.c_str();
}

void zet_set_name(const char *name, const char *client) {
    auto &pn = names();
    std::lock_guard lock(pn.mu);
    pn.name = name != nullptr && *name != '\0' ? name : "zet";
    pn.client = client != nullptr && *client != '\0' ? client : "the client";
}

namespace {

struct compile_info {
    std::mutex mu;
    std::string program;
    std::string date = ZET_BUILD_DATE;
    std::string time = ZET_BUILD_TIME;
    int date_number = 0;
    std::string text;
};

compile_info &info() {
    static compile_info ci;
    return ci;
}

// compile_info_init is given the first command-line word in full: its last part names it.
std::string program_name(const compile_info &ci) {
    std::string prog = ci.program.substr(ci.program.rfind('/') + 1);
    return prog.empty() ? std::string(zet_name()) : prog;
}

// Requires info().mu.
void build_text(compile_info &ci) {
    std::string prog = program_name(ci);
    ci.text = prog + " version " ZET_VERSION " (built " + ci.date + " " + ci.time + ")\n";
    if (ci.date_number != 0)
        ci.text += "Build number " + std::to_string(ci.date_number) + "\n";
    ci.text += "Framework libzet " ZET_VERSION " (built " ZET_BUILD_DATE " " ZET_BUILD_TIME ")\n";
}

} // namespace

void compile_info_init(const char *program, const char *date, const char *time, int date_number) {
    auto &ci = info();
    std::lock_guard lock(ci.mu);
    ci.program = program != nullptr ? program : "";
    ci.date = date != nullptr && *date != '\0' ? date : ZET_BUILD_DATE;
    ci.time = time != nullptr && *time != '\0' ? time : ZET_BUILD_TIME;
    ci.date_number = date_number;
    build_text(ci);
}

void print_version(const char *progname) {
    auto &ci = info();
    std::lock_guard lock(ci.mu);
    std::string name = progname != nullptr && *progname != '\0' ? progname : program_name(ci);
    printf("%s version %s (built %s %s)\n", name.c_str(), ZET_VERSION, ci.date.c_str(),
           ci.time.c_str());
    fflush(stdout);
}

const char *zet_version_text(void) {
    auto &ci = info();
    std::lock_guard lock(ci.mu);
    if (ci.text.empty())
        build_text(ci);
    return ci.text.c_str();
}

int pal_daemonize(int nochdir, int noclose) {
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid > 0)
        _exit(0);
    if (setsid() < 0)
        return -1;
    if (!nochdir && chdir("/") != 0)
        return -1;
    if (!noclose) {
        int fd = open("/dev/null", O_RDWR);
        if (fd < 0)
            return -1;
        for (int target = 0; target <= 2; target++)
            if (dup2(fd, target) < 0) {
                close(fd);
                return -1;
            }
        if (fd > 2)
            close(fd);
    }
    return 0;
}
