// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  // A failed g_return_if_fail must fail the test, not scroll past.
  g_log_set_always_fatal(
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  // The plugin registry of this build tree, not the user's.
  g_setenv("GST_REGISTRY", ZK_TEST_GST_REGISTRY, TRUE);
  // No sound card here: playbin's audio sink plays into ALSA's null device.
  g_setenv("ALSA_CONFIG_PATH", ZK_TEST_ALSA_CONFIG, TRUE);
  gst_init(&argc, &argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
