// "log file NAME" at a name of any bytes, where the scratch directory holds nothing, a plain
// file, a symbolic link, a FIFO, a directory or a file with a second name, and SIGUSR1's reopen
// after the same is put in the log's place: the log moves only to a plain file of one name
// reached without a link, a refusal leaves it where it was, nothing is written through a link.
#include <cctype>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fuzz_daemon.h"

namespace {

std::string scratch;

enum Kind { NOTHING, PLAIN, LINK, FIFO, DIRECTORY, HARD_LINK, KINDS };

void clear(const std::string &path) {
    if (unlink(path.c_str()) != 0)
        rmdir(path.c_str());
}

void make(Kind kind, const std::string &path) {
    const std::string other = scratch + "/other";
    clear(path);
    clear(other);
    if (kind == PLAIN || kind == HARD_LINK)
        close(open((kind == PLAIN ? path : other).c_str(), O_CREAT | O_WRONLY, 0640));
    if (kind == HARD_LINK)
        (void)!link(other.c_str(), path.c_str());
    if (kind == LINK)
        (void)!symlink(other.c_str(), path.c_str());
    if (kind == FIFO)
        mkfifo(path.c_str(), 0600);
    if (kind == DIRECTORY)
        mkdir(path.c_str(), 0700);
}

// The log may be at path only when path is a plain file of one name; and a line never goes
// through a link to the file it names, nor into the file a second name shares.
void check(const std::string &path, bool moved, const char *when) {
    struct stat st {};
    if (moved && (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1))
        vesk_fuzz::fail("%s: the log went to %s, which is no plain file of one name", when,
                        path.c_str());
    if (lstat((scratch + "/other").c_str(), &st) == 0 && st.st_size > 0)
        vesk_fuzz::fail("%s: a line reached the file behind a link or a second name", when);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    vesk_fuzz::enter_scratch();
    char cwd[4096];
    if (getcwd(cwd, sizeof cwd) == nullptr)
        vesk_fuzz::fail("no working directory");
    scratch = cwd;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    std::string name;
    for (size_t i = 2; i < size && name.size() < 200; i++)
        if (data[i] != '/' && data[i] != '\0' && !std::isspace(data[i]))
            name += static_cast<char>(data[i]); // one word of a command line
    if (name.empty())
        name = "x";
    const std::string path = scratch + "/n" + name; // never one of the fixed names below
    const std::string base = scratch + "/base.log";
    make(static_cast<Kind>(data[0] % KINDS), path);
    vesk_fuzz::start({.commands = true});
    clear(base);
    if (zlog_set_file(veskm->log, base.c_str()) != 0)
        vesk_fuzz::fail("no base log");
    struct cli *cli = cli_new(veskm, 15);
    cli_execute(cli, "configure terminal", false);
    int rc = cli_execute(cli, ("log file " + path).c_str(), false);
    cli_output_take(cli);
    const char *file = zlog_file(veskm->log);
    if (file == nullptr || (rc == 0 ? path : base) != file)
        vesk_fuzz::fail("\"log file\" gave %d but the log is at %s", rc, file ? file : "(none)");
    zlog_info(veskm, "a line");
    check(path, rc == 0, "log file");
    // What rotation leaves in the log's place, then SIGUSR1's reopen.
    make(static_cast<Kind>(data[1] % KINDS), path);
    bool reopened = rc == 0 && zlog_rotate(veskm, veskm->log) == 0;
    zlog_info(veskm, "another line");
    check(path, reopened, "reopen");
    cli_free(cli);
    zlog_set_discard(veskm->log);
    for (const std::string &p : {path, base, scratch + "/other"})
        clear(p);
    vesk_fuzz::stop();
    return 0;
}
