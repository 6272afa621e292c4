// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fl_fake_main_loop.h"

namespace {

// Called when the wait's time is up.
gboolean TimeoutCb(gpointer user_data) {
  *static_cast<gboolean*>(user_data) = TRUE;
  return G_SOURCE_REMOVE;
}

}  // namespace

bool fl_fake_run_until(const std::function<bool()>& done, guint timeout_ms) {
  gboolean timed_out = FALSE;
  guint timeout_id = g_timeout_add(timeout_ms, TimeoutCb, &timed_out);
  bool held = false;
  while (!(held = done()) && !timed_out) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!timed_out) {
    g_source_remove(timeout_id);
  }
  return held;
}
