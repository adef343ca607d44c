// A file descriptor owned by a scope or an object: closed when its guard goes or takes another.
#pragma once

namespace zet {

class fd_guard {
  public:
    explicit fd_guard(int fd = -1) : fd_(fd) {}
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    ~fd_guard() { reset(-1); }
    int get() const { return fd_; }
    // Closes the descriptor held (if any) and holds fd instead; -1 holds none.
    void reset(int fd);

  private:
    int fd_;
};

} // namespace zet
