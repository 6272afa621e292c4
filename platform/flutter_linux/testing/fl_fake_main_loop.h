// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MAIN_LOOP_H_
#define PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MAIN_LOOP_H_

#include <glib.h>

#include <functional>

// Runs the default main context until done() holds or timeout_ms have passed;
// returns what done() said last. With a done() that never holds it runs for
// the whole timeout, letting every source that falls due fire.
bool fl_fake_run_until(const std::function<bool()>& done, guint timeout_ms);

#endif  // PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MAIN_LOOP_H_
