#include "support/daemon_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <poll.h>
#include <sched.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace vesk_test {

using std::chrono::steady_clock;

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string make_temp_dir(const std::string &prefix) {
    std::string path = "/tmp/" + prefix + "XXXXXX";
    return mkdtemp(path.data()) != nullptr ? path : "";
}

void remove_dir(const std::string &dir) {
    std::error_code ec;
    if (dir.starts_with("/tmp/"))
        std::filesystem::remove_all(dir, ec);
}

bool wait_for(const std::function<bool()> &done, milliseconds limit) {
    for (const auto deadline = steady_clock::now() + limit; !done();) {
        if (steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
}

int connect_unix(const std::string &path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0)
        close(std::exchange(fd, -1));
    return fd;
}

ShellResult run_shell(const std::string &cmd) {
    ShellResult r;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

long proc_status_kib(pid_t pid, const std::string &field) {
    std::string status = read_file("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::stol(status.substr(at + field.size() + 1));
}

int open_descriptors(pid_t pid) {
    std::error_code ec;
    int n = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/fd", ec), end;
         !ec && it != end; it.increment(ec))
        n++;
    return ec ? -1 : n;
}

double cpu_seconds(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    size_t close_paren = stat.rfind(')');
    if (close_paren == std::string::npos)
        return -1;
    std::istringstream in(stat.substr(close_paren + 2));
    std::string field;
    unsigned long ticks = 0;
    for (int i = 3; i <= 15 && in >> field; i++)
        if (i >= 14) // utime and stime
            ticks += std::stoul(field);
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

DaemonProcess::~DaemonProcess() {
    if (pid_ > 0 && !reaped_) {
        kill(-pid_, SIGKILL); // a wrapper's child too
        waitpid(pid_, &status_, 0);
    }
}

bool DaemonProcess::start(const std::vector<std::string> &args, const std::vector<std::string> &env,
                          const std::vector<std::string> &wrapper) {
    // Test programs live in BUILD/tests, the daemon in BUILD/vesk.
    const std::string veskd =
        std::filesystem::read_symlink("/proc/self/exe").parent_path().parent_path() / "vesk/veskd";
    std::vector<std::string> words = wrapper.empty() ? std::vector<std::string>{veskd} : wrapper;
    words.push_back(veskd);
    words.insert(words.end(), args.begin(), args.end());
    // A daemon of a test keeps its state file to itself unless the test says where it goes.
    std::vector<std::string> envs = {"VESK_STATE=" + dir_ + "/state"};
    envs.insert(envs.end(), env.begin(), env.end());
    reaped_ = false;
    pid_ = fork();
    if (pid_ > 0)
        setpgid(pid_, pid_); // before the destructor might signal the group
    if (pid_ != 0)
        return pid_ > 0;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    setpgid(0, 0);
    if (!netns_.empty()) {
        int ns = open(("/run/netns/" + netns_).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
            _exit(126);
    }
    dup2(open("/dev/null", O_RDONLY), 0);
    dup2(open((dir_ + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((dir_ + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    for (auto &e : envs)
        putenv(e.data());
    std::vector<char *> argv;
    for (auto &w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data() + 1);
    _exit(127);
}

bool DaemonProcess::running() {
    if (pid_ > 0 && !reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_)
        reaped_ = true;
    return pid_ > 0 && !reaped_;
}

bool DaemonProcess::wait_exit(int *status, milliseconds limit) {
    if (!wait_for([this] { return !running(); }, limit))
        return false;
    if (status != nullptr)
        *status = status_;
    return true;
}

void VtyClient::close() {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

bool VtyClient::connect(const std::string &path, milliseconds limit) {
    close();
    std::string greeting;
    return wait_for([&] { return (fd_ = connect_unix(path)) >= 0; }, limit) &&
           read_reply(greeting, limit);
}

// A reply ends when the text read so far ends in a prompt: "veskd" then "> " or "# ".
static size_t prompt_start(const std::string &text) {
    size_t begin = text.rfind('\n') + 1; // 0 without a line end
    const bool ends = text.ends_with("> ") || text.ends_with("# ");
    return ends && text.compare(begin, 5, "veskd") == 0 ? begin : std::string::npos;
}

bool VtyClient::read_reply(std::string &reply, milliseconds limit) {
    reply.clear();
    for (const auto deadline = steady_clock::now() + limit; fd_ >= 0;) {
        if (size_t p = prompt_start(reply); p != std::string::npos) {
            prompt_ = reply.substr(p);
            reply.resize(p);
            return true;
        }
        auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd pfd{fd_, POLLIN, 0};
        if (left.count() <= 0)
            return false;
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0)
            close();
        else
            reply.append(buf, static_cast<size_t>(n));
    }
    return false;
}

std::string VtyClient::command(const std::string &line, milliseconds limit, milliseconds *took) {
    const auto begin = steady_clock::now();
    std::string text = line + "\n", reply;
    if (fd_ >= 0 && send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size()))
        read_reply(reply, limit);
    if (took != nullptr)
        *took = std::chrono::duration_cast<milliseconds>(steady_clock::now() - begin);
    return reply;
}

NsmPeer::NsmPeer(const std::string &path) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) < 0 || pipe2(out, O_CLOEXEC) < 0)
        return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        std::string tool = std::string(VESK_BINARY_DIR) + "/tools/vesk-nsm-peer";
        execl(tool.c_str(), tool.c_str(), path.c_str(), nullptr);
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    to_ = in[1];
    from_ = out[0];
}

void NsmPeer::kill_now(int signo) {
    for (int *fd : {&to_, &from_})
        if (*fd >= 0)
            ::close(std::exchange(*fd, -1));
    if (pid_ > 0) {
        kill(pid_, signo);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

std::string NsmPeer::order(const std::string &line) {
    std::string text = line + "\n";
    if (to_ < 0 || write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "";
    // Orders that wait in the peer (wait-client, wait-request) wait at most 15 s themselves.
    const auto deadline = steady_clock::now() + std::chrono::seconds(16);
    while (buf_.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
        pollfd p{from_, POLLIN, 0};
        char chunk[512];
        ssize_t n = 0;
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0 ||
            (n = read(from_, chunk, sizeof chunk)) <= 0)
            return "";
        buf_.append(chunk, static_cast<size_t>(n));
    }
    std::string answer = buf_.substr(0, buf_.find('\n'));
    buf_.erase(0, answer.size() + 1);
    return answer;
}

const std::vector<std::string> kSwitchOrders = {"if-add 5 ge1 up 02:00:00:00:00:05",
                                                "if-add 6 ge2 up 02:00:00:00:00:05",
                                                "bridge-add 1",
                                                "vlan-add 1 1",
                                                "vlan-add 1 10",
                                                "port-add 5 1 10",
                                                "port-add 6 1"};

Veskd::Veskd(const std::string &config) : dir_(make_temp_dir("vesk-")) {
    log_path_ = dir_ + "/veskd.log";
    std::ofstream(config_path()) << "log file " << log_path_ << "\n" << config;
}

Veskd::~Veskd() {
    auto tail = [](const std::string &text) {
        return text.substr(std::max<size_t>(text.size(), 4000) - 4000);
    };
    if (::testing::Test::HasFailure() && daemon_ != nullptr)
        std::cerr << "---- veskd log (tail) ----\n"
                  << tail(log()) << "---- stderr ----\n"
                  << tail(daemon_->err()) << "--------------------------\n";
    vty_.close();
    daemon_.reset();
    nsm_.reset();
    remove_dir(dir_);
}

void Veskd::start(const std::vector<std::string> &env, const std::vector<std::string> &args) {
    vty_.close();
    daemon_ = std::make_unique<DaemonProcess>(dir_);
    daemon_->set_netns(netns_);
    std::vector<std::string> all_args = args.empty() ? std::vector<std::string>{"-P", "0"} : args;
    if (std::find(args.begin(), args.end(), "-f") == args.end())
        all_args.insert(all_args.begin(), {"-f", config_path()});
    std::vector<std::string> all_env = env;
    all_env.push_back("VESK_VTY_SOCKET=" + vty_path());
    ASSERT_TRUE(daemon_->start(all_args, all_env));
    ASSERT_TRUE(vty_.connect(vty_path(), std::chrono::seconds(10)))
        << "the vty of veskd did not answer";
}

void Veskd::start_nsm(const std::vector<std::string> &orders) {
    nsm_ = std::make_unique<NsmPeer>(dir_ + "/nsm.sock");
    for (const std::string &line : orders)
        ASSERT_EQ(nsm_->order(line), "ok") << line;
}

void Veskd::start_on_sockets(const std::vector<std::string> &env,
                             const std::vector<std::string> &args) {
    if (nsm_ == nullptr) {
        ASSERT_NO_FATAL_FAILURE(start_nsm());
    }
    if (wire_ == nullptr)
        wire_ = std::make_unique<WirePeer>();
    drain_wire(); // frames of an earlier daemon would fill the queue and refuse the hello
    std::vector<std::string> all = {"VESK_FRAME=" + wire_->spec(),
                                    "VESK_NSM=unix:" + dir_ + "/nsm.sock"};
    all.insert(all.end(), env.begin(), env.end());
    ASSERT_NO_FATAL_FAILURE(start(all, args));
    ASSERT_TRUE(wire_->wait_hello(10000)) << "veskd did not open its frame socket";
}

int Veskd::stop(int signo) {
    vty_.close();
    int status = 0;
    if (daemon_->signal(signo) != 0 || !daemon_->wait_exit(&status))
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Veskd::configure(const std::vector<std::string> &lines) {
    ASSERT_EQ(cmd("configure terminal"), "");
    for (const std::string &line : lines)
        ASSERT_EQ(cmd(line), "") << line;
    ASSERT_EQ(cmd("end"), "");
}

size_t Veskd::log_count(const std::string &text) const {
    const std::string all = log();
    size_t n = 0;
    for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
        n++;
    return n;
}

bool Veskd::logged(const std::string &text, milliseconds limit) const {
    return wait_for([&] { return log().find(text) != std::string::npos; }, limit);
}

bool Veskd::shows(const std::string &line, const std::string &text, std::string *out,
                  milliseconds limit) {
    std::string answer;
    bool ok = wait_for([&] { return (answer = cmd(line)).find(text) != std::string::npos; }, limit);
    if (out != nullptr)
        *out = answer;
    return ok;
}

bool Veskd::next_frame(uint32_t ifindex, uint16_t vid, SentFrame &out) {
    for (const auto until = steady_clock::now() + std::chrono::seconds(15);
         steady_clock::now() < until;)
        if (wire_->next(out, 1000) && out.addr.ifindex == int32_t(ifindex) && out.addr.vid == vid)
            return true;
    return false;
}

bool Veskd::reflect(const SentFrame &f, uint32_t ifindex) {
    return wire_->deliver(ifindex, f.addr.dst, f.addr.src, f.payload.data(), f.payload.size());
}

void Veskd::drain_wire() {
    for (SentFrame old; wire_ != nullptr && wire_->next(old, 0);) {
    }
}

} // namespace vesk_test
