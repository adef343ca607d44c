#include "support/log_capture.h"

#include "zet/core/lib.h"
#include "zet/core/log.h"

namespace vesk_test {

LogCapture::LogCapture(lib_globals *zg) : zg_(zg) {
    if (zg_->log == nullptr) {
        openzlog(zg_, 0, zg_->protocol, ZLOG_DEST_STDERR);
        opened_ = true;
    }
    log_ = zg_->log;
    zlog_set_sink(log_, &LogCapture::sink, this);
}

LogCapture::LogCapture(struct zlog *log) : log_(log) {
    zlog_set_sink(log_, &LogCapture::sink, this);
}

LogCapture::~LogCapture() {
    // The log may have been closed (lib_stop frees zg and its log) before the capture goes;
    // an open log means zg is still alive.
    if (!zlog_is_open(log_))
        return;
    zlog_unset_sink(log_, this);
    if (opened_)
        closezlog(zg_, log_);
}

void LogCapture::sink(void *ctx, int priority, const char *line) {
    auto *self = static_cast<LogCapture *>(ctx);
    std::lock_guard lock(self->mu_);
    self->lines_.emplace_back(line);
    self->prios_.push_back(priority);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mu_);
    return lines_;
}

std::vector<int> LogCapture::priorities() const {
    std::lock_guard lock(mu_);
    return prios_;
}

bool LogCapture::contains(const std::string &text) const {
    return count(text) > 0;
}

size_t LogCapture::count(const std::string &text) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const auto &l : lines_)
        if (l.find(text) != std::string::npos)
            n++;
    return n;
}

std::string LogCapture::text() const {
    std::lock_guard lock(mu_);
    std::string all;
    for (const auto &l : lines_) {
        all += l;
        all += '\n';
    }
    return all;
}

void LogCapture::clear() {
    std::lock_guard lock(mu_);
    lines_.clear();
    prios_.clear();
}

} // namespace vesk_test
