// A GoogleTest suite with one private scheduler for all its tests, started
// by the suite's SetUpTestSuite; every test is skipped, with the reason,
// where none could start.
#ifndef VELLUM_TESTS_SCHEDULER_SUITE_H
#define VELLUM_TESTS_SCHEDULER_SUITE_H

#include <string>

#include <gtest/gtest.h>

#include "private_scheduler.h"

namespace vellum_test {

class SchedulerSuite : public testing::Test {
protected:
  static inline PrivateScheduler *cupsd_ = nullptr;
  static inline std::string why_not_;

  // Starts the suite's scheduler with the filters under test and the
  // capture backend; false when it could not start.
  static bool StartScheduler(const std::string &log_level) {
    cupsd_ = new PrivateScheduler;
    SchedulerSetup setup;
    setup.log_level = log_level;
    setup.capture_backend = CAPTURE_BACKEND_PATH;
    why_not_ = cupsd_->Start(setup);
    return why_not_.empty();
  }

  static void TearDownTestSuite() {
    delete cupsd_;
    cupsd_ = nullptr;
  }

  void SetUp() override {
    if (!why_not_.empty())
      GTEST_SKIP() << why_not_;
  }
};

} // namespace vellum_test

#endif
