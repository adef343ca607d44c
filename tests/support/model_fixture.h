// The daemon's world (support/world.h) as a GoogleTest fixture: SetUp starts it (no command
// tables, bridge "1" made, every debug flag zero) and captures its log lines (log()); TearDown
// fails the test when the model contradicts itself (support/model_check.h) or a record of the
// model is still live after the daemon's own release. A test that breaks the model or leaks on
// purpose clears check_model_ or check_model_leaks_.
//
// Use: class MyTest : public vesk_test::ModelFixture {};  TEST_F(MyTest, ...) { ... }
#pragma once

#include <algorithm>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "support/log_capture.h"
#include "support/world.h"

namespace vesk_test {

class ModelFixture : public ::testing::Test, protected World {
  protected:
    ModelFixture() : World([](const std::string &fault) { ADD_FAILURE() << fault; }) {}
    void SetUp() override {
        ASSERT_TRUE(start());
        log_ = std::make_unique<LogCapture>(handle());
    }
    void TearDown() override {
        log_.reset();
        stop(check_model_leaks_ ? Leaks::MODEL : Leaks::NONE, check_model_);
    }

    LogCapture &log() { return *log_; }
    // Captured lines equal to line (the log drops trailing line ends).
    size_t log_count_exact(const std::string &line) const {
        const std::vector<std::string> lines = log_->lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    bool check_model_ = true;
    bool check_model_leaks_ = true;

  private:
    std::unique_ptr<LogCapture> log_;
};

} // namespace vesk_test
