#include "support/daemon_process.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
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

// Test programs live in BUILD/tests, the daemon in BUILD/vesk.
std::string veskd_path() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (exe.parent_path().parent_path() / "vesk" / "veskd").string();
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "";
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string make_temp_dir(const std::string &prefix) {
    std::string pattern = "/tmp/" + prefix + "XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return "";
    return buf.data();
}

void remove_dir(const std::string &dir) {
    if (dir.rfind("/tmp/", 0) != 0)
        return;
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}

bool wait_for(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

DaemonProcess::DaemonProcess(std::string dir)
    : dir_(std::move(dir)), out_path_(dir_ + "/stdout"), err_path_(dir_ + "/stderr"),
      child_pid_path_(dir_ + "/daemon.pid") {}

DaemonProcess::~DaemonProcess() {
    if (pid_ <= 0 || reaped_)
        return;
    pid_t child = daemon_pid();
    if (child > 0 && child != pid_)
        kill(child, SIGKILL);
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
}

// The wrapper counts SIGRTMIN in parent_log and waits for the daemon, whose pid it writes first.
static std::string wrapper_script() {
    return "trap 'echo rtmin >> \"$PARENT_LOG\"' RTMIN\n"
           "\"$@\" &\n"
           "child=$!\n"
           "echo $child > \"$CHILD_PID.tmp\" && mv \"$CHILD_PID.tmp\" \"$CHILD_PID\"\n"
           "while :; do wait $child; rc=$?; kill -0 $child 2>/dev/null || break; done\n"
           "exit $rc\n";
}

bool DaemonProcess::start(const std::vector<std::string> &args, const std::vector<std::string> &env,
                          const std::string &wrapper_argv0, const std::string &parent_log) {
    std::vector<std::string> words;
    wrapped_ = !wrapper_argv0.empty();
    if (wrapped_) {
        words = {wrapper_argv0, "-c", wrapper_script(), "wrapper"};
    }
    words.push_back(veskd_path());
    words.insert(words.end(), args.begin(), args.end());
    // A daemon of a test keeps its state file to itself unless the test says where it goes.
    std::vector<std::string> envs = {"VESK_STATE=" + dir_ + "/state"};
    envs.insert(envs.end(), env.begin(), env.end());
    if (!wrapper_argv0.empty()) {
        envs.push_back("PARENT_LOG=" + parent_log);
        envs.push_back("CHILD_PID=" + child_pid_path_);
    }
    pid_ = fork();
    if (pid_ < 0)
        return false;
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (!netns_.empty()) {
            int ns = open(("/run/netns/" + netns_).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0)
                _exit(126);
        }
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        for (auto &e : envs)
            putenv(e.data());
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(w.data());
        argv.push_back(nullptr);
        execv(wrapper_argv0.empty() ? veskd_path().c_str() : "/bin/bash", argv.data());
        _exit(127);
    }
    return true;
}

pid_t DaemonProcess::daemon_pid() const {
    if (!wrapped_)
        return pid_;
    std::string text = read_file(child_pid_path_);
    if (text.empty())
        return 0;
    return static_cast<pid_t>(std::atoi(text.c_str()));
}

bool DaemonProcess::running() {
    if (pid_ <= 0 || reaped_)
        return false;
    pid_t r = waitpid(pid_, &status_, WNOHANG);
    if (r == pid_)
        reaped_ = true;
    return !reaped_;
}

int DaemonProcess::signal(int signo) const {
    return pid_ > 0 ? kill(pid_, signo) : -1;
}

bool DaemonProcess::wait_exit(int *status, std::chrono::milliseconds limit) {
    if (!wait_for([this] { return !running(); }, limit))
        return false;
    if (status != nullptr)
        *status = status_;
    return true;
}

VtyClient::~VtyClient() {
    close();
}

void VtyClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool VtyClient::connect(const std::string &path, std::chrono::milliseconds limit) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path)
        return false;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    bool ok = wait_for(
        [&] {
            close();
            fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            return fd_ >= 0 &&
                   ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
        },
        limit);
    if (!ok) {
        close();
        return false;
    }
    std::string greeting;
    return read_reply(greeting, limit);
}

// A reply ends when the text read so far ends in a prompt: "veskd" then "> " or "# ".
static size_t prompt_start(const std::string &text) {
    if (text.size() < 2 || text.back() != ' ')
        return std::string::npos;
    char mark = text[text.size() - 2];
    if (mark != '>' && mark != '#')
        return std::string::npos;
    size_t line = text.rfind('\n');
    size_t begin = line == std::string::npos ? 0 : line + 1;
    if (text.compare(begin, 5, "veskd") != 0)
        return std::string::npos;
    return begin;
}

bool VtyClient::read_reply(std::string &reply, std::chrono::milliseconds limit) {
    reply.clear();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (fd_ >= 0) {
        size_t p = prompt_start(reply);
        if (p != std::string::npos) {
            prompt_ = reply.substr(p);
            reply.resize(p);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[4096];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) {
            close();
            return false;
        }
        reply.append(buf, static_cast<size_t>(n));
    }
    return false;
}

std::string VtyClient::command(const std::string &line, std::chrono::milliseconds limit) {
    if (fd_ < 0)
        return "";
    std::string text = line + "\n";
    if (send(fd_, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size()))
        return "";
    std::string reply;
    read_reply(reply, limit);
    return reply;
}

ShellResult run_shell(const std::string &cmd) {
    ShellResult r;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

} // namespace vesk_test
