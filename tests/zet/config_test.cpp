// The configuration file and the running configuration, with a toy command set and toy writers
// shaped like the daemon's (a global writer under 110, an interface writer under 16 that walks
// the interfaces itself): a file with good lines, bad lines and mode changes applies everything
// but the bad lines and logs each as FILE:LINE; the running configuration read back gives the
// same running configuration; "write" replaces the file atomically or changes nothing.
#include "support/log_capture.h"
#include "zet/cli/builtin.h"
#include "zet/cli/cli.h"
#include "zet/cli/config.h"
#include "zet/cli/host.h"
#include "zet/core/access.h"
#include "zet/core/if.h"
#include "zet/core/lib.h"
#include "zet/core/list.h"
#include "zet/core/log.h"
#include "zet/core/pal.h"
#include "zet/core/thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The toy daemon's state.
struct ToyState {
    bool enabled = false;
    std::map<std::string, int> tx; // per interface; 10 is the default
    std::map<std::string, bool> on;
};
ToyState toy;

int toy_enable(struct cli *, int, char **) {
    toy.enabled = true;
    return 0;
}
const char *toy_enable_cmd_help[] = {"toy", "enable", nullptr};
struct cli_element toy_enable_cmd = {"toy enable", toy_enable, toy_enable_cmd_help};

int toy_interface(struct cli *cli, int, char **argv) {
    struct interface *ifp = ifg_get_by_name(cli->zg->ifg, argv[0]);
    if (ifp == nullptr) {
        cli_out(cli, "%% Interface does not exist: %s\n", argv[0]);
        cli_select_interface(cli, nullptr);
        return 1;
    }
    cli_select_interface(cli, ifp);
    return 0;
}
const char *toy_interface_cmd_help[] = {"Select an interface to configure", "Interface name",
                                        nullptr};
struct cli_element toy_interface_cmd = {"interface IFNAME", toy_interface, toy_interface_cmd_help};

int toy_tx(struct cli *cli, int, char **argv) {
    int st = 0;
    int v = cmd_str2int(argv[0], &st);
    if (st < 0 || v < 10 || v > 300) {
        cli_out(cli, "%% Invalid time value\n");
        return 1;
    }
    toy.tx[cli->ifp->name] = v;
    return 0;
}
const char *toy_tx_cmd_help[] = {"toy", "interval", "seconds", nullptr};
struct cli_element toy_tx_cmd = {"toy tx <10-300>", toy_tx, toy_tx_cmd_help};

int toy_on(struct cli *cli, int, char **) {
    toy.on[cli->ifp->name] = true;
    return 0;
}
const char *toy_on_cmd_help[] = {"toy", "enable", nullptr};
struct cli_element toy_on_cmd = {"toy enable", toy_on, toy_on_cmd_help};

int toy_config_write(struct cli *cli) {
    if (!toy.enabled)
        return 0;
    cli_out(cli, "toy enable\n");
    return 1;
}

// Shaped like the daemon's interface writer: every interface gets a header; "!" goes before a
// header once a setting line has been written.
int toy_if_config_write(struct cli *cli) {
    int count = 0;
    struct listnode *node;
    struct interface *ifp;
    LIST_LOOP(cli->vr->ifList, ifp, node) {
        if (count != 0)
            cli_out(cli, "!\n");
        cli_out(cli, "interface %s\n", ifp->name);
        auto tx = toy.tx.find(ifp->name);
        if (tx != toy.tx.end() && tx->second != 10) {
            cli_out(cli, " toy tx %d\n", tx->second);
            count++;
        }
        if (toy.on[ifp->name]) {
            cli_out(cli, " toy enable\n");
            count++;
        }
    }
    return count;
}

std::string read_file(const std::string &path) {
    std::ifstream f(path);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream f(path);
    f << text;
}

class Config : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/zet-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        start();
    }
    void TearDown() override {
        stop();
        std::system(("rm -rf " + dir).c_str());
    }
    void start() {
        toy = ToyState{};
        zg = lib_start();
        ASSERT_NE(zg, nullptr);
        zet_protocol_set_name(29, "veskd");
        zg->protocol = 29;
        host_vty_set_unix(zg, (dir + "/vty").c_str(), nullptr, nullptr);
        zg->log = openzlog(zg, 0, 0, ZLOG_DEST_STDERR);
        zg->master = thread_master_create();
        log = std::make_unique<vesk_test::LogCapture>(zg);
        host_vty_init(zg);
        cli_install_config(zg->ctree, GLOBAL_WRITER_MODE, toy_config_write);
        cli_install(zg->ctree, CONFIG_MODE, &toy_enable_cmd);
        cli_install(zg->ctree, CONFIG_MODE, &toy_interface_cmd);
        cli_install_config(zg->ctree, INTERFACE_MODE, toy_if_config_write);
        cli_install_default(zg->ctree, INTERFACE_MODE);
        cli_install(zg->ctree, INTERFACE_MODE, &toy_interface_cmd);
        cli_install(zg->ctree, PINTERFACE_MODE, &toy_interface_cmd);
        cli_install(zg->ctree, INTERFACE_MODE, &toy_tx_cmd);
        cli_install(zg->ctree, INTERFACE_MODE, &toy_on_cmd);
        // Interfaces come from the NSM backend in the daemon; here they are made directly.
        uint32_t index = 1;
        for (const char *name : {"ge10", "ge2", "ge1", "po1"})
            ASSERT_NE(if_create(zg, name, index++), nullptr);
    }
    void stop() {
        log.reset();
        lib_stop(zg);
        zg = nullptr;
    }
    std::string dir;
    lib_globals *zg = nullptr;
    std::unique_ptr<vesk_test::LogCapture> log;
};

TEST_F(Config, FileAppliesEveryGoodLineAndLogsEachBadOneWithFileAndLine) {
    std::string path = dir + "/veskd.conf";
    write_file(path, "! veskd configuration\n" // 1
                     "\n"                      // 2
                     "toy enable\n"            // 3
                     "interface ge1\n"         // 4
                     " toy tx 20\n"            // 5
                     " toy bogus 5\n"          // 6: no such command
                     " toy tx 500\n"           // 7: the handler refuses it
                     " toy enable\n"           // 8: interface mode's "toy enable"
                     "!\n"                     // 9
                     "interface ge2\n"         // 10
                     " toy tx 30\n"            // 11
                     "interface nosuch\n"      // 12: the handler refuses it
                     " toy tx 40\n"            // 13: so no interface is selected
                     "  # a comment\n"         // 14
                     "end\n"                   // 15
                     "interface ge10\n"        // 16: still in configure mode after "end"
                     "toy enable\n");          // 17: interface mode's, for ge10
    EXPECT_EQ(host_config_read(zg, path.c_str()), 4);
    EXPECT_TRUE(toy.enabled);
    EXPECT_EQ(toy.tx["ge1"], 20);
    EXPECT_EQ(toy.tx["ge2"], 30);
    EXPECT_TRUE(toy.on["ge1"]);
    EXPECT_TRUE(toy.on["ge10"]);
    EXPECT_FALSE(toy.on["ge2"]);
    EXPECT_TRUE(log->contains(path + ":6: Unknown command: \"toy\"") ||
                log->contains(path + ":6: Invalid input at word 2: \"bogus\""))
        << log->text();
    EXPECT_TRUE(log->contains(path + ":7: Invalid time value (in \"toy tx 500\")")) << log->text();
    EXPECT_TRUE(log->contains(path + ":12: Interface does not exist: nosuch")) << log->text();
    EXPECT_TRUE(log->contains(path + ":13: No interface selected")) << log->text();
    int located = 0;
    for (const auto &l : log->lines())
        located += l.rfind(path + ":", 0) == 0;
    EXPECT_EQ(located, 4) << log->text();
    EXPECT_TRUE(log->contains("4 lines failed")) << log->text();
}

TEST_F(Config, ALineOfTheEnclosingModeRunsThereAndBangEndsABlock) {
    std::string path = dir + "/veskd.conf";
    write_file(path, "interface ge1\n"
                     " toy tx 20\n"
                     "log file " +
                         dir +
                         "/toy.log\n"   // configure mode's, from interface mode
                         " toy tx 30\n" // so this one fails: ge1 was left
                         "interface ge2\n"
                         "!\n"
                         "toy enable\n"); // the global one after "!"
    EXPECT_EQ(host_config_read(zg, path.c_str()), 1);
    EXPECT_EQ(toy.tx["ge1"], 20);
    EXPECT_TRUE(toy.enabled);
    EXPECT_FALSE(toy.on["ge2"]);
    EXPECT_STREQ(zlog_file(zg->log), (dir + "/toy.log").c_str());
    EXPECT_TRUE(log->contains(path + ":4: ")) << log->text();
}

TEST_F(Config, MissingFileIsALoggedWarning) {
    std::string path = dir + "/absent.conf";
    EXPECT_EQ(host_config_start(zg, path.c_str(), 0), 0);
    EXPECT_TRUE(log->contains("configuration file " + path + " cannot be read")) << log->text();
    EXPECT_STREQ(host_config_path(zg), path.c_str());
}

TEST_F(Config, OverLongAndBinaryLinesAreRefusedAndTheRestApplies) {
    std::string path = dir + "/veskd.conf";
    write_file(path, "toy " + std::string(CLI_LINE_MAX + 10, 'x') + "\n" +
                         std::string("interface ge1\n toy tx 20") + '\0' + "\n" + " toy tx 25\n");
    EXPECT_EQ(host_config_read(zg, path.c_str()), 2);
    EXPECT_EQ(toy.tx["ge1"], 25);
    EXPECT_TRUE(log->contains(path + ":1: line longer than")) << log->text();
    EXPECT_TRUE(log->contains(path + ":3: line holds a NUL byte")) << log->text();
}

TEST_F(Config, RunningConfigurationHasFrameworkLinesThenGlobalThenInterfaceBlocks) {
    ASSERT_EQ(zlog_set_file(zg->log, (dir + "/toy.log").c_str()), 0);
    toy.enabled = true;
    toy.tx["ge2"] = 20;
    toy.on["ge2"] = true;
    EXPECT_EQ(cli_running_config(zg), "!\n"
                                      "log file " +
                                          dir +
                                          "/toy.log\n"
                                          "!\n"
                                          "toy enable\n"
                                          "!\n"
                                          "interface ge1\n"
                                          "interface ge2\n"
                                          " toy tx 20\n"
                                          " toy enable\n"
                                          "!\n"
                                          "interface ge10\n"
                                          "!\n"
                                          "interface po1\n"
                                          "!\n"
                                          "end\n");
}

TEST_F(Config, RunningConfigurationReadBackGivesTheSameRunningConfiguration) {
    toy.enabled = true;
    toy.tx["ge1"] = 300;
    toy.tx["ge10"] = 11;
    toy.on["ge10"] = true;
    toy.on["ge2"] = true;
    ASSERT_EQ(zlog_set_file(zg->log, (dir + "/toy.log").c_str()), 0);
    std::string first = cli_running_config(zg);
    std::string path = dir + "/veskd.conf";
    write_file(path, first);

    stop();
    start();
    ASSERT_FALSE(toy.enabled);
    EXPECT_EQ(host_config_read(zg, path.c_str()), 0) << log->text();
    EXPECT_EQ(cli_running_config(zg), first);
    EXPECT_TRUE(toy.on["ge2"]);
    EXPECT_EQ(toy.tx["ge10"], 11);
}

TEST_F(Config, WriteReplacesTheFileAtomicallyAndKeepsItsPermissions) {
    std::string path = dir + "/veskd.conf";
    write_file(path, "interface ge1\n toy tx 20\n");
    chmod(path.c_str(), 0640);
    ASSERT_EQ(host_config_start(zg, path.c_str(), 0), 0);
    toy.on["ge1"] = true;
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    EXPECT_EQ(cli_execute(cli, "write", false), 0);
    EXPECT_EQ(cli_output_take(cli), "Configuration saved to " + path + "\n");
    cli_free(cli);
    EXPECT_EQ(read_file(path), cli_running_config(zg));
    EXPECT_NE(read_file(path).find(" toy tx 20\n toy enable\n"), std::string::npos);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // No temporary file is left behind.
    DIR *d = opendir(dir.c_str());
    int entries = 0;
    while (struct dirent *e = readdir(d))
        if (std::string(e->d_name).find(".tmp.") != std::string::npos)
            entries++;
    closedir(d);
    EXPECT_EQ(entries, 0);
}

int complaining_writer(struct cli *cli) {
    cli_out(cli, "%% The bridge is not found\n");
    cli_out(cli, "toy extra\n");
    return 1;
}

TEST_F(Config, WriteLogsOperatorMessagesOfWritersInsteadOfSavingThem) {
    std::string path = dir + "/veskd.conf";
    ASSERT_EQ(host_config_start(zg, path.c_str(), 0), 0);
    cli_install_config(zg->ctree, 200, complaining_writer);
    EXPECT_NE(cli_running_config(zg).find("% The bridge is not found\ntoy extra\n"),
              std::string::npos);
    char err[256] = "";
    ASSERT_EQ(host_config_write(zg, err, sizeof err), 0) << err;
    std::string saved = read_file(path);
    EXPECT_EQ(saved.find('%'), std::string::npos) << saved;
    EXPECT_NE(saved.find("toy extra\n"), std::string::npos) << saved;
    EXPECT_TRUE(log->contains("\"% The bridge is not found\" not saved")) << log->text();
}

TEST_F(Config, WriteFollowsASymbolicLink) {
    std::string real = dir + "/real.conf";
    std::string link = dir + "/veskd.conf";
    write_file(real, "toy enable\n");
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    ASSERT_EQ(host_config_start(zg, link.c_str(), 0), 0);
    EXPECT_TRUE(toy.enabled);
    toy.tx["ge1"] = 50;
    char err[256] = "";
    EXPECT_EQ(host_config_write(zg, err, sizeof err), 0) << err;
    struct stat st {};
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(read_file(real).find(" toy tx 50\n"), std::string::npos);
}

// Writes killed before their rename leave temporary files; the next write takes them away, and
// nothing else.
TEST_F(Config, WriteRemovesTemporaryFilesOfKilledWrites) {
    std::string path = dir + "/veskd.conf";
    const char *leftovers[] = {"veskd.conf.tmp.a1B2c3", "veskd.conf.tmp.zzzzzz"};
    const char *others[] = {"veskd.conf.tmp.toolong", "veskd.conf.tmp", "other.conf.tmp.a1B2c3",
                            "veskd.conf.bak"};
    for (const char *name : leftovers)
        write_file(dir + "/" + name, "interface ge");
    for (const char *name : others)
        write_file(dir + "/" + name, "kept\n");
    ASSERT_EQ(host_config_start(zg, path.c_str(), 0), 0);
    char err[256] = "";
    ASSERT_EQ(host_config_write(zg, err, sizeof err), 0) << err;
    for (const char *name : leftovers)
        EXPECT_NE(access((dir + "/" + name).c_str(), F_OK), 0) << name;
    for (const char *name : others)
        EXPECT_EQ(read_file(dir + "/" + name), "kept\n") << name;
    EXPECT_EQ(read_file(path), cli_running_config(zg));
}

TEST_F(Config, WriteFailureGivesAMessageAndChangesNothing) {
    // The configuration path is a directory: nothing can replace it.
    std::string path = dir + "/conf.d";
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    ASSERT_EQ(host_config_start(zg, path.c_str(), 0), 0);
    EXPECT_TRUE(log->contains("configuration file " + path + " cannot be read")) << log->text();
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    EXPECT_EQ(cli_execute(cli, "write memory", false), 1);
    std::string out = cli_output_take(cli);
    EXPECT_EQ(out.rfind("% Configuration not saved: ", 0), 0u) << out;
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    // A directory that does not exist.
    host_free(zg);
    std::string missing = dir + "/no/such/dir/veskd.conf";
    ASSERT_EQ(host_config_start(zg, missing.c_str(), 0), 0);
    EXPECT_EQ(cli_execute(cli, "write", false), 1);
    out = cli_output_take(cli);
    EXPECT_NE(out.find("cannot create a temporary file"), std::string::npos) << out;
    cli_free(cli);
}

TEST_F(Config, WriteWithoutAConfigurationFileSaysSo) {
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    EXPECT_EQ(cli_execute(cli, "write", false), 1);
    EXPECT_EQ(cli_output_take(cli), "% Configuration not saved: no configuration file was given "
                                    "at start-up (veskd -f FILE)\n");
    EXPECT_EQ(cli_execute(cli, "write terminal", false), 0);
    EXPECT_EQ(cli_output_take(cli), cli_running_config(zg));
    cli_free(cli);
}

TEST_F(Config, LogCommandsChangeTheDestination) {
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    cli_execute(cli, "configure terminal", false);
    std::string file = dir + "/a.log";
    EXPECT_EQ(cli_execute(cli, ("log file " + file).c_str(), false), 0);
    EXPECT_STREQ(zlog_file(zg->log), file.c_str());
    EXPECT_EQ(cli_execute(cli, "no log file", false), 0);
    EXPECT_EQ(zlog_file(zg->log), nullptr);
    EXPECT_EQ(cli_execute(cli, ("log file " + dir + "/no/such/a.log").c_str(), false), 1);
    EXPECT_EQ(cli_output_take(cli).rfind("% Cannot log to " + dir + "/no/such/a.log: ", 0), 0u);
    // Anything but a plain file of its own is refused, and the log stays where it was.
    ASSERT_EQ(cli_execute(cli, ("log file " + file).c_str(), false), 0);
    std::ofstream(dir + "/other") << "x\n";
    ASSERT_EQ(link((dir + "/other").c_str(), (dir + "/hard").c_str()), 0);
    ASSERT_EQ(symlink((dir + "/other").c_str(), (dir + "/link").c_str()), 0);
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const std::pair<std::string, std::string> refused[] = {
        {dir + "/link", "it is a symbolic link"},
        {dir + "/fifo", "it is not a regular file"},
        {"/dev/null", "it is not a regular file"},
        {dir + "/hard", "it has other names (hard links)"},
        {dir, "Is a directory"},
    };
    for (const auto &[path, why] : refused) {
        EXPECT_EQ(cli_execute(cli, ("log file " + path).c_str(), false), 1) << path;
        EXPECT_EQ(cli_output_take(cli), "% Cannot log to " + path + ": " + why + "\n");
        EXPECT_STREQ(zlog_file(zg->log), file.c_str());
    }
    std::stringstream other;
    other << std::ifstream(dir + "/other").rdbuf();
    EXPECT_EQ(other.str(), "x\n") << "nothing was written through the link";
    EXPECT_EQ(cli_execute(cli, "log syslog", false), 0);
    cli_free(cli);
}

TEST_F(Config, VtyPasswordsAreKeptAsHashesThatReadBack) {
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    cli_execute(cli, "configure terminal", false);
    ASSERT_EQ(cli_execute(cli, "password s3cret", false), 0);
    ASSERT_EQ(cli_execute(cli, "enable password t0p", false), 0);
    const std::string hash = host_vty_password(zg, HOST_PASSWORD_LOGIN);
    const std::string enable = host_vty_password(zg, HOST_PASSWORD_ENABLE);
    std::string run = cli_running_config(zg);
    EXPECT_NE(
        run.find("\npassword encrypted " + hash + "\nenable password encrypted " + enable + "\n"),
        std::string::npos)
        << run;
    EXPECT_EQ(run.find("s3cret"), std::string::npos);
    EXPECT_TRUE(zet::access::password_matches(hash, "s3cret"));
    EXPECT_FALSE(zet::access::password_matches(hash, "s3cre"));
    EXPECT_FALSE(zet::access::password_matches(enable, "s3cret"));
    ASSERT_EQ(cli_execute(cli, "no password", false), 0);
    EXPECT_EQ(host_vty_password(zg, HOST_PASSWORD_LOGIN), nullptr);
    ASSERT_EQ(cli_execute(cli, ("password encrypted " + hash).c_str(), false), 0);
    EXPECT_STREQ(host_vty_password(zg, HOST_PASSWORD_LOGIN), hash.c_str());
    // Only SHA-512 hashes cheap enough to check on the event loop are taken.
    const std::string digest(86, 'a');
    for (const std::string &bad :
         {"$y$j9T$abcdefgh$" + digest, "$6$rounds=999999$salt$" + digest,
          std::string("$6$salt$short"), "$6$sa!t$" + digest, std::string("s3cret")}) {
        EXPECT_EQ(cli_execute(cli, ("password encrypted " + bad).c_str(), false), 1) << bad;
        EXPECT_EQ(cli_output_take(cli).rfind("% Not a password hash this daemon takes: ", 0), 0u);
        EXPECT_STREQ(host_vty_password(zg, HOST_PASSWORD_LOGIN), hash.c_str());
    }
    ASSERT_EQ(cli_execute(cli, "no password", false), 0);
    ASSERT_EQ(cli_execute(cli, "no enable password", false), 0);
    EXPECT_EQ(cli_running_config(zg).find("password"), std::string::npos);
    cli_free(cli);
}

int toy_which(struct cli *cli, int, char **) {
    cli_out(cli, "%s\n", cli->ifp != nullptr ? cli->ifp->name : "none");
    return 0;
}
const char *toy_which_cmd_help[] = {"toy", "which interface", nullptr};
struct cli_element toy_which_cmd = {"toy which", toy_which, toy_which_cmd_help};

TEST_F(Config, ADeletedInterfaceIsForgottenBySessionsThatSelectedIt) {
    cli_install(zg->ctree, INTERFACE_MODE, &toy_which_cmd);
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    cli_execute(cli, "configure terminal", false);
    ASSERT_EQ(cli_execute(cli, "interface ge2", false), 0);
    cli_execute(cli, "toy which", false);
    EXPECT_EQ(cli_output_take(cli), "ge2\n");
    if_delete(zg, ifg_lookup_by_name(zg->ifg, "ge2"));
    cli_execute(cli, "toy which", false);
    EXPECT_EQ(cli_output_take(cli), "none\n");
    EXPECT_EQ(cli->mode, INTERFACE_MODE);
    cli_free(cli);
}

TEST_F(Config, ShowVersionAndMemory) {
    struct cli *cli = cli_new(zg, PRIVILEGE_MAX);
    EXPECT_EQ(cli_execute(cli, "show version", false), 0);
    EXPECT_EQ(cli_output_take(cli), zet_version_text());
    EXPECT_EQ(cli_execute(cli, "show memory", false), 0);
    std::string mem = cli_output_take(cli);
    EXPECT_NE(mem.find("interface"), std::string::npos) << mem; // the four toy interfaces
    EXPECT_NE(mem.find("Total live records: "), std::string::npos) << mem;
    cli_free(cli);
}

} // namespace
