// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tsan_support.h"

namespace {

struct Shared {
  int value = 0;
  std::atomic<bool> seen{false};
  int read = -1;
};

gboolean ReadValue(gpointer data) {
  auto* shared = static_cast<Shared*>(data);
  shared->read = shared->value;
  shared->seen = true;
  return G_SOURCE_REMOVE;
}

// A thread writes, then hands over to the main loop, which reads: GLib
// orders the two, and the sanitizer must see that order.
TEST(GlibTsanSync, OrdersWhatCameBeforeTheHandOver) {
  Shared shared;
  std::thread worker([&shared] {
    shared.value = 42;
    g_idle_add(ReadValue, &shared);
  });
  ASSERT_TRUE(tsan_support::WaitUntil([&] { return shared.seen.load(); },
                                      10000));
  worker.join();
  EXPECT_EQ(shared.read, 42);
}

// The same, but the thread writes again after the hand-over: nothing orders
// that write with the main loop's read, and the sanitizer must say so. This
// is what shows that the hand-over is not made to order everything.
TEST(GlibTsanSync, StillSeesARacePastTheHandOver) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        Shared shared;
        std::atomic<bool> added{false};
        std::thread worker([&] {
          g_idle_add(ReadValue, &shared);
          added = true;
          for (int i = 0; i < 1000000 && !shared.seen; i++) {
            shared.value = i;
          }
        });
        while (!added) {
        }
        tsan_support::WaitUntil([&] { return shared.seen.load(); }, 10000);
        worker.join();
        exit(0);
      },
      ::testing::ExitedWithCode(66), "ThreadSanitizer: data race");
}

}  // namespace
