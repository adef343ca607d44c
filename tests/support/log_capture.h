// Captures a framework handle's log lines and priorities (thread-safe), opening a log on standard
// error when zg has none; detaching is safe before or after lib_stop.
#pragma once

#include <mutex>
#include <string>
#include <vector>

struct lib_globals;
struct zlog;

namespace vesk_test {

class LogCapture {
  public:
    explicit LogCapture(lib_globals *zg);
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::vector<std::string> lines() const;
    std::vector<int> priorities() const;
    bool contains(const std::string &text) const { return count(text) > 0; }
    size_t count(const std::string &text) const; // lines that contain text
    std::string text() const;                    // every line, each ended by "\n"
    void clear();

  private:
    struct zlog *log_ = nullptr;
    lib_globals *zg_ = nullptr;
    bool opened_ = false;
    mutable std::mutex mu_;
    std::vector<std::string> lines_;
    std::vector<int> prios_;
};

} // namespace vesk_test
