// The test world (support/world.h) as a GoogleTest fixture capturing its log: the tear-down fails
// the test when the model contradicts itself or a model record outlives the daemon's release.
#pragma once

#include <memory>

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
        stop(Leaks::MODEL);
    }
    LogCapture &log() { return *log_; }

  private:
    std::unique_ptr<LogCapture> log_;
};

} // namespace vesk_test
