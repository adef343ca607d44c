#include "support/log_capture.h"

#include <algorithm>

#include "zet/core/lib.h"
#include "zet/core/log.h"

namespace vesk_test {

LogCapture::LogCapture(lib_globals *zg) : zg_(zg), opened_(zg->log == nullptr) {
    if (opened_)
        openzlog(zg_, 0, ZLOG_DEST_STDERR);
    log_ = zg_->log;
    zlog_set_sink(
        log_,
        [](void *ctx, int priority, const char *line) {
            auto *self = static_cast<LogCapture *>(ctx);
            std::lock_guard lock(self->mu_);
            self->lines_.emplace_back(line);
            self->prios_.push_back(priority);
        },
        this);
}

LogCapture::~LogCapture() {
    // lib_stop frees zg with its log; an open log means zg is still alive.
    if (!zlog_is_open(log_))
        return;
    zlog_unset_sink(log_, this);
    if (opened_)
        closezlog(zg_, log_);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mu_);
    return lines_;
}

std::vector<int> LogCapture::priorities() const {
    std::lock_guard lock(mu_);
    return prios_;
}

size_t LogCapture::count(const std::string &text) const {
    const std::vector<std::string> all = lines();
    return std::count_if(all.begin(), all.end(),
                         [&](const std::string &l) { return l.find(text) != std::string::npos; });
}

std::string LogCapture::text() const {
    std::string all;
    for (const std::string &l : lines())
        all += l + '\n';
    return all;
}

void LogCapture::clear() {
    std::lock_guard lock(mu_);
    lines_.clear();
    prios_.clear();
}

} // namespace vesk_test
