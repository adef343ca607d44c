// A real veskd process for integration and end-to-end tests: started with its arguments and
// environment, watched, signalled and always reaped; plus a small vty client and waiting helpers.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vesk_test {

// The veskd of this build.
std::string veskd_path();
// The whole file, or "" when it cannot be read.
std::string read_file(const std::string &path);
// A fresh directory under /tmp whose name starts with prefix; removed with its files by
// remove_dir.
std::string make_temp_dir(const std::string &prefix);
void remove_dir(const std::string &dir);
// Polls done() every few milliseconds until it holds; false when limit passes first.
bool wait_for(const std::function<bool()> &done,
              std::chrono::milliseconds limit = std::chrono::seconds(10));

// What a shell command printed on its standard output, and its exit status (-1 when it did not
// exit).
struct ShellResult {
    int status = -1;
    std::string out;
};
ShellResult run_shell(const std::string &cmd);

class DaemonProcess {
  public:
    // Files of the process (standard output and error) go into dir.
    explicit DaemonProcess(std::string dir);
    // Ends a process still running (SIGKILL) and reaps it. A test process that dies takes the
    // daemon with it.
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess &) = delete;
    DaemonProcess &operator=(const DaemonProcess &) = delete;

    // Starts program (veskd_path() when empty) with args after argv0, and env added to the
    // test's environment ("NAME=VALUE"). With wrapper_argv0 set the program is started by a
    // shell whose program path is wrapper_argv0, which stays the daemon's parent and appends a
    // line to parent_log for every SIGRTMIN it receives.
    bool start(const std::vector<std::string> &args, const std::vector<std::string> &env = {},
               const std::string &wrapper_argv0 = "", const std::string &parent_log = "");
    // The network namespace (a name under /run/netns) the daemon is started in.
    void set_netns(const std::string &name) { netns_ = name; }
    pid_t pid() const { return pid_; }
    // The daemon itself (the wrapper's child when there is a wrapper); 0 until known.
    pid_t daemon_pid() const;
    bool running();
    int signal(int signo) const;
    // Waits for the process to end: true with its wait status, false when limit passes first.
    bool wait_exit(int *status, std::chrono::milliseconds limit = std::chrono::seconds(10));
    std::string out() const { return read_file(out_path_); }
    std::string err() const { return read_file(err_path_); }

  private:
    std::string dir_;
    std::string out_path_;
    std::string err_path_;
    std::string child_pid_path_;
    std::string netns_;
    pid_t pid_ = -1;
    bool wrapped_ = false;
    bool reaped_ = false;
    int status_ = 0;
};

// A line-mode session on the vty's Unix socket.
class VtyClient {
  public:
    VtyClient() = default;
    ~VtyClient();
    VtyClient(const VtyClient &) = delete;
    VtyClient &operator=(const VtyClient &) = delete;

    // Connects and reads the greeting up to the first prompt; false when it cannot.
    bool connect(const std::string &path,
                 std::chrono::milliseconds limit = std::chrono::seconds(5));
    // Sends one line and gives the reply without its trailing prompt; "" when the session ended.
    std::string command(const std::string &line,
                        std::chrono::milliseconds limit = std::chrono::seconds(10));
    // The prompt that ended the last reply.
    const std::string &prompt() const { return prompt_; }
    void close();

  private:
    bool read_reply(std::string &reply, std::chrono::milliseconds limit);
    int fd_ = -1;
    std::string prompt_;
};

} // namespace vesk_test
