// A suite of end-to-end tests that run the built player under one Xvfb
// server shared by the suite's tests: a test is skipped where Xvfb cannot
// start and fails where the player has not been built.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include "tests/e2e/player_run.h"
#include "tests/platform/xvfb.h"

namespace e2e {

template <typename Base = ::testing::Test>
class XvfbSuite : public Base {
 protected:
  static void SetUpTestSuite() { server_ = new TestXServer(24); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (!server_->running()) GTEST_SKIP() << "Xvfb is not available";
    ASSERT_EQ(access(PLAYER.c_str(), X_OK), 0) << "build the quillmere program first: " << PLAYER;
  }
  static inline TestXServer* server_ = nullptr;
};

}  // namespace e2e
