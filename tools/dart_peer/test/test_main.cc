// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fake_engine.h"

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], fake_engine::kFlag) == 0) {
    return fake_engine::Run(std::vector<std::string>(argv + 2, argv + argc));
  }
  // A failed g_return_if_fail must fail the test, not scroll past.
  g_log_set_always_fatal(
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
