// The scriptable peer module (tools/vesk-nsm-peer) as a child process of a test, ordered
// through its standard input; a test may kill it and start another on the same path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace nsm_test {

class PeerProcess {
  public:
    // answer_wait bounds how long order waits for an answer; orders that wait in the peer
    // (wait-client, wait-request) need it at least as long as their own wait.
    explicit PeerProcess(const std::string &path,
                         std::chrono::milliseconds answer_wait = std::chrono::seconds(5))
        : answer_wait_(answer_wait) {
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
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
    }
    ~PeerProcess() { kill_now(SIGTERM); }
    PeerProcess(const PeerProcess &) = delete;
    PeerProcess &operator=(const PeerProcess &) = delete;

    // Ends the peer at once (no goodbye to its client) and reaps it; later orders get "".
    void kill_now(int signo = SIGKILL) {
        if (to_ >= 0)
            close(to_);
        if (from_ >= 0)
            close(from_);
        to_ = from_ = -1;
        if (pid_ > 0) {
            kill(pid_, signo);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
    }

    // Sends one order and gives the peer's answer ("" when it gives none in time).
    std::string order(const std::string &line) {
        std::string text = line + "\n";
        if (to_ < 0 || write(to_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
            return "";
        return read_line();
    }

  private:
    std::string read_line() {
        auto deadline = std::chrono::steady_clock::now() + answer_wait_;
        for (;;) {
            size_t eol = buf_.find('\n');
            if (eol != std::string::npos) {
                std::string line = buf_.substr(0, eol);
                buf_.erase(0, eol + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd p{from_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return "";
            char chunk[512];
            ssize_t n = read(from_, chunk, sizeof chunk);
            if (n <= 0)
                return "";
            buf_.append(chunk, static_cast<size_t>(n));
        }
    }

    std::chrono::milliseconds answer_wait_;
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    std::string buf_;
};

inline std::string hex(const std::vector<uint8_t> &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace nsm_test
