// Captures the log lines of a framework handle for tests (zlog_set_sink).
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct lib_globals;
struct zlog;

namespace vesk_test {

// Attaches to zg->log (opening one, on stderr, when zg has none yet) or to a given log, and
// collects every message text (without time stamp). Detaches in its destructor, which is
// safe before or after lib_stop; a log it opened itself it closes. Thread-safe.
class LogCapture {
  public:
    explicit LogCapture(lib_globals *zg);
    explicit LogCapture(struct zlog *log);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines() const;
    // Priorities of the lines, in the same order.
    std::vector<int> priorities() const;
    // Lines that contain text.
    bool contains(const std::string &text) const;
    size_t count(const std::string &text) const;
    // All lines joined with "\n" (for failure messages).
    std::string text() const;
    void clear();

  private:
    static void sink(void *ctx, int priority, const char *line);
    struct zlog *log_ = nullptr;
    lib_globals *zg_ = nullptr;
    bool opened_ = false;
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    std::vector<int> prios_;
};

} // namespace vesk_test
