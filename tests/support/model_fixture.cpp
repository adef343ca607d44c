#include "support/model_fixture.h"

#include <algorithm>

namespace vesk_test {

ModelFixture::ModelFixture() : World([](const std::string &fault) { ADD_FAILURE() << fault; }) {}

void ModelFixture::SetUp() {
    ASSERT_TRUE(start());
    log_ = std::make_unique<LogCapture>(handle());
}

void ModelFixture::TearDown() {
    log_.reset();
    stop(check_model_leaks_ ? Leaks::MODEL : Leaks::NONE, check_model_);
}

size_t ModelFixture::log_count_exact(const std::string &line) const {
    const std::vector<std::string> lines = log_->lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

} // namespace vesk_test
