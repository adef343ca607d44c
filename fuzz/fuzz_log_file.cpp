// "log file NAME" and SIGUSR1's reopen where a file, link, FIFO, directory or second name may be:
// the log moves only to a plain file of one name, and nothing is written through a link. The
// session may be one that is not root's (first byte / 6: 1 with the file's directory as the log
// directory, 3 with another), which logs nowhere but right inside its log directory.
#include <cctype>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_daemon.h"

namespace {

std::string scratch, other;

void clear(const std::string &path) {
    if (unlink(path.c_str()) != 0)
        rmdir(path.c_str());
}

// Nothing, a plain file, a symbolic link, a FIFO, a directory or a second name of "other".
void make(uint8_t kind, const std::string &path) {
    clear(path);
    clear(other);
    if (kind % 6 == 1 || kind % 6 == 5)
        close(open((kind % 6 == 1 ? path : other).c_str(), O_CREAT | O_WRONLY, 0640));
    (void)!(kind % 6 == 5   ? link(other.c_str(), path.c_str())
            : kind % 6 == 2 ? symlink(other.c_str(), path.c_str())
            : kind % 6 == 3 ? mkfifo(path.c_str(), 0600)
            : kind % 6 == 4 ? mkdir(path.c_str(), 0700)
                            : 0);
}

// The log may be at path only when path is a plain file of one name; and a line never goes
// through a link to the file it names, nor into the file a second name shares.
void check(const std::string &path, bool moved, const char *when) {
    struct stat st {};
    if (moved && (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1))
        vesk_fuzz::fail("%s: the log went to %s, which is no plain file of one name", when,
                        path.c_str());
    if (lstat(other.c_str(), &st) == 0 && st.st_size > 0)
        vesk_fuzz::fail("%s: a line reached the file behind a link or a second name", when);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    if (scratch.empty()) { // in the scratch directory by now
        scratch = std::filesystem::current_path();
        other = scratch + "/other";
    }
    std::string name;
    for (size_t i = 2; i < size && name.size() < 200; i++)
        if (data[i] != '/' && data[i] != '\0' && !std::isspace(data[i]))
            name += static_cast<char>(data[i]); // one word of a command line
    const std::string path = scratch + "/n" + name, base = scratch + "/base.log"; // never other
    make(data[0], path);
    vesk_fuzz::start();
    lib_globals *zg = vesk_fuzz::world.handle();
    clear(base);
    if (zlog_set_file(zg->log, base.c_str()) != 0)
        vesk_fuzz::fail("no base log");
    struct cli *cli = cli_new(zg, 15);
    const int confined = data[0] / 6 % 4;
    if (confined % 2 == 1) {
        cli_set_confined(cli);
        host_set_log_dir(zg, (confined == 1 ? scratch : scratch + "/elsewhere").c_str());
    }
    cli_execute(cli, "configure terminal", false);
    int rc = cli_execute(cli, ("log file " + path).c_str(), false);
    cli_output_take(cli);
    if (confined == 3 && rc == 0)
        vesk_fuzz::fail("a session that is not root's logged outside its log directory");
    const char *file = zlog_file(zg->log);
    if (file == nullptr || (rc == 0 ? path : base) != file)
        vesk_fuzz::fail("\"log file\" gave %d but the log is at %s", rc, file ? file : "(none)");
    zlog_info(zg, "a line");
    check(path, rc == 0, "log file");
    make(data[1], path); // what rotation leaves in the log's place, then SIGUSR1's reopen
    bool reopened = rc == 0 && zlog_rotate(zg, zg->log) == 0;
    zlog_info(zg, "another line");
    check(path, reopened, "reopen");
    cli_free(cli);
    zlog_set_discard(zg->log);
    for (const std::string &p : {path, base, other})
        clear(p);
    vesk_fuzz::stop();
    return 0;
}
