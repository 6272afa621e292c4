// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Both are read when the process starts, before main: the sanitizer's
// options, and GSlice's, which must hand its blocks to malloc so that the
// sanitizer sees each block's life (GSlice passes blocks from thread to
// thread through lists it cannot see). Restarts the program with them
// unless they are set already, so that it runs the same by hand as under
// CTest.
//
// ignore_noninstrumented_modules: what GLib, GStreamer and libav allocate,
// copy and free among their own threads is not watched; they order it with
// atomics and locks inside themselves that the sanitizer cannot see. Every
// access of this project's code is watched, and glib_tsan_sync.cc makes the
// ordering that GLib gives it visible.
void SetStartupEnvironment(char** argv) {
  if (getenv("ZK_TSAN_STARTED") != nullptr) {
    return;
  }
  setenv("ZK_TSAN_STARTED", "1", 1);
  setenv("G_SLICE", "always-malloc", 1);
  if (getenv("TSAN_OPTIONS") == nullptr) {
    setenv("TSAN_OPTIONS",
           "halt_on_error=1:ignore_noninstrumented_modules=1:"
           "second_deadlock_stack=1:history_size=4:"
           "suppressions=" ZK_TSAN_SUPPRESSIONS,
           1);
  }
  execv("/proc/self/exe", argv);
  perror("zk_tsan_test: cannot restart itself");
  exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  SetStartupEnvironment(argv);
  // A failed g_return_if_fail must fail the test, not scroll past.
  g_log_set_always_fatal(
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  // The plugin registry of this build tree, not the user's.
  g_setenv("GST_REGISTRY", ZK_TSAN_GST_REGISTRY, TRUE);
  // No sound card here: audio plays into ALSA's null device.
  g_setenv("ALSA_CONFIG_PATH", ZK_TSAN_ALSA_CONFIG, TRUE);
  gst_init(&argc, &argv);
  // The default main context and its wake-up file descriptor exist before
  // any thread does, as in the application: GLib creates them lazily under
  // a lock of its own that the sanitizer cannot see.
  g_main_context_default();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
