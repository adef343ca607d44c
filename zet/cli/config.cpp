#include "zet/cli/config.h"

#include "zet/cli/cli.h"
#include "zet/core/globals.h"
#include "zet/core/log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The message of a failed line: its first "% " line without the "% ", else its first line.
std::string failure_message(const std::string &out, int ret) {
    std::string first;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos)
            end = out.size();
        std::string line = out.substr(pos, end - pos);
        pos = end + 1;
        if (line.empty())
            continue;
        if (line[0] == '%') {
            size_t k = 1;
            while (k < line.size() && line[k] == ' ')
                k++;
            return line.substr(k);
        }
        if (first.empty())
            first = line;
    }
    if (!first.empty())
        return first;
    return "command failed (result " + std::to_string(ret) + ")";
}

bool is_config_mode(int mode) {
    return mode == CONFIG_MODE || mode == INTERFACE_MODE || mode == PINTERFACE_MODE;
}

bool write_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A temporary file is the target's name, this mark, and mkstemp's six random characters.
constexpr std::string_view TEMP_MARK = ".tmp.";
constexpr size_t TEMP_RANDOM = 6;

// A write killed before its rename leaves its temporary file behind; removing such files first
// keeps kills from piling them up. Taking away the file of a write still running in another
// process only makes that write's rename fail, never the configuration file incomplete.
void remove_leftovers(const std::string &dir, const std::string &target) {
    std::string prefix = std::filesystem::path(target).filename().string();
    prefix += TEMP_MARK;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (name.size() == prefix.size() + TEMP_RANDOM && name.starts_with(prefix))
            ::unlink(it->path().c_str());
    }
}

} // namespace

namespace zet::config {

int read_file(struct lib_globals *zg, const char *path) {
    if (path == nullptr)
        return 0;
    std::unique_ptr<FILE, int (*)(FILE *)> f(std::fopen(path, "r"), std::fclose);
    struct stat st {};
    if (f && ::fstat(fileno(f.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        f.reset();
        errno = EISDIR;
    }
    if (!f) {
        zlog_warn(zg, "configuration file %s cannot be read: %s; starting without it", path,
                  std::strerror(errno));
        return -1;
    }
    std::unique_ptr<struct cli, void (*)(struct cli *)> cli(cli_new(zg, PRIVILEGE_MAX), cli_free);
    cli->mode = CONFIG_MODE;
    cli_mark_file_reader(cli.get());
    int failures = 0, applied = 0, lineno = 0;
    std::string line;
    bool more = true;
    while (more) {
        // One physical line, however long; only CLI_LINE_MAX bytes of it are kept.
        line.clear();
        bool too_long = false;
        int c;
        while ((c = std::fgetc(f.get())) != EOF && c != '\n') {
            if (line.size() < static_cast<size_t>(CLI_LINE_MAX))
                line += static_cast<char>(c);
            else
                too_long = true;
        }
        if (c == EOF) {
            more = false;
            if (line.empty() && !too_long)
                break;
        }
        lineno++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (too_long) {
            zlog_err(zg, "%s:%d: line longer than %d bytes, ignored", path, lineno, CLI_LINE_MAX);
            failures++;
            continue;
        }
        if (line.find('\0') != std::string::npos) {
            zlog_err(zg, "%s:%d: line holds a NUL byte, ignored", path, lineno);
            failures++;
            continue;
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            continue;
        if (line[0] == '!') {
            if (cli->mode != CONFIG_MODE)
                cli_leave_interface(cli.get(), CONFIG_MODE);
            continue;
        }
        if (line[first] == '!' || line[first] == '#')
            continue;
        int ret = cli_execute(cli.get(), line.c_str(), true);
        std::string out = cli_output_take(cli.get());
        if (!is_config_mode(cli->mode))
            cli_leave_interface(cli.get(), CONFIG_MODE);
        if (ret != 0) {
            failures++;
            zlog_err(zg, "%s:%d: %s (in \"%s\")", path, lineno, failure_message(out, ret).c_str(),
                     line.c_str() + first);
        } else {
            applied++;
        }
    }
    if (std::ferror(f.get()))
        zlog_err(zg, "configuration file %s: read error after line %d: %s", path, lineno,
                 std::strerror(errno));
    zlog_info(zg, "configuration file %s: %d commands applied, %d lines failed", path, applied,
              failures);
    return failures;
}

bool write_atomic(const char *path, const std::string &text, std::string &err, bool secret) {
    if (path == nullptr || *path == '\0') {
        err = "no file name was given";
        return false;
    }
    std::string target = path;
    struct stat st {};
    bool exists = false;
    if (::lstat(path, &st) == 0) {
        if (S_ISLNK(st.st_mode)) {
            char resolved[PATH_MAX];
            if (::realpath(path, resolved) != nullptr)
                target = resolved;
        }
        exists = ::stat(target.c_str(), &st) == 0;
        if (exists && !S_ISREG(st.st_mode)) {
            err = target + " is not a regular file";
            return false;
        }
    }
    size_t slash = target.rfind('/');
    std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
    remove_leftovers(dir, target);
    std::string tmp = target + std::string(TEMP_MARK) + std::string(TEMP_RANDOM, 'X');
    int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        err = "cannot create a temporary file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    auto fail = [&](const char *what) {
        err = std::string(what) + " " + tmp + ": " + std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        ::unlink(tmp.c_str());
        return false;
    };
    // The mode is set before a byte is written, so no reader ever sees the text under the old one.
    mode_t others = secret ? S_IRWXO : 0;
    if (exists && ::fchmod(fd, st.st_mode & 07777 & ~others) != 0)
        return fail("cannot set the permissions of");
    if (!write_all(fd, text))
        return fail("cannot write");
    if (::fsync(fd) != 0)
        return fail("cannot sync");
    int rc = ::close(fd);
    fd = -1;
    if (rc != 0)
        return fail("cannot close");
    if (::rename(tmp.c_str(), target.c_str()) != 0) {
        err = "cannot rename " + tmp + " to " + target + ": " + std::strerror(errno);
        ::unlink(tmp.c_str());
        return false;
    }
    int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd); // the rename is done; a failing directory sync changes nothing more
        ::close(dfd);
    }
    return true;
}

} // namespace zet::config
