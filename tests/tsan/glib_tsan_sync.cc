// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// Tells ThreadSanitizer about the ordering that GLib provides. On Linux
// GLib's GMutex and GCond are built on futexes, not on pthread, and GLib is
// not instrumented, so ThreadSanitizer sees neither the locks that GStreamer
// takes through them nor the hand-over of an idle or timeout callback from
// the thread that adds it to the main loop that runs it. Without this, every
// value handed to the main loop would be reported as a race.
//
// The functions below take the place of GLib's own for every caller outside
// GLib (this program and GStreamer; the executable is linked with -rdynamic),
// call GLib's, and add what GLib guarantees:
//  - unlocking a mutex happens before the next lock of it, also across a
//    condition wait;
//  - adding an idle or timeout source happens before its callback and its
//    destroy notification run.
// Nothing else is made to look ordered: plain data shared without these
// still shows up.
#include <dlfcn.h>
#include <glib.h>
#include <sanitizer/tsan_interface.h>

#include <cstdio>
#include <cstdlib>

namespace {

template <typename Function>
Function Real(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) {
    fprintf(stderr, "glib_tsan_sync: no %s in GLib\n", name);
    abort();
  }
  return reinterpret_cast<Function>(symbol);
}

#define REAL(name) \
  static auto real = Real<decltype(&name)>(#name)

// One source's callback on its way to the main loop.
struct Hop {
  GSourceFunc function;
  gpointer data;
  GDestroyNotify notify;
};

gboolean HopDispatch(gpointer user_data) {
  auto* hop = static_cast<Hop*>(user_data);
  __tsan_acquire(hop);
  return hop->function(hop->data);
}

void HopDestroy(gpointer user_data) {
  auto* hop = static_cast<Hop*>(user_data);
  __tsan_acquire(hop);
  if (hop->notify != nullptr) {
    hop->notify(hop->data);
  }
  delete hop;
}

// Attaches source to the default main context with the callback behind a
// hop; everything this thread did so far happens before the callback.
guint Attach(GSource* source,
             gint priority,
             GSourceFunc function,
             gpointer data,
             GDestroyNotify notify) {
  auto* hop = new Hop{function, data, notify};
  if (priority != G_PRIORITY_DEFAULT) {
    g_source_set_priority(source, priority);
  }
  g_source_set_callback(source, HopDispatch, hop, HopDestroy);
  __tsan_release(hop);
  const guint id = g_source_attach(source, nullptr);
  g_source_unref(source);
  return id;
}

}  // namespace

extern "C" {

void g_mutex_lock(GMutex* mutex) {
  REAL(g_mutex_lock);
  real(mutex);
  __tsan_acquire(mutex);
}

gboolean g_mutex_trylock(GMutex* mutex) {
  REAL(g_mutex_trylock);
  const gboolean locked = real(mutex);
  if (locked) {
    __tsan_acquire(mutex);
  }
  return locked;
}

void g_mutex_unlock(GMutex* mutex) {
  REAL(g_mutex_unlock);
  __tsan_release(mutex);
  real(mutex);
}

void g_cond_wait(GCond* cond, GMutex* mutex) {
  REAL(g_cond_wait);
  __tsan_release(mutex);
  real(cond, mutex);
  __tsan_acquire(mutex);
}

gboolean g_cond_wait_until(GCond* cond, GMutex* mutex, gint64 end_time) {
  REAL(g_cond_wait_until);
  __tsan_release(mutex);
  const gboolean signalled = real(cond, mutex, end_time);
  __tsan_acquire(mutex);
  return signalled;
}

// Built from GLib's public parts as GLib builds it, so that the source
// itself is made before the hand-over point.
guint g_idle_add_full(gint priority,
                      GSourceFunc function,
                      gpointer data,
                      GDestroyNotify notify) {
  return Attach(g_idle_source_new(), priority, function, data, notify);
}

guint g_idle_add(GSourceFunc function, gpointer data) {
  return g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, function, data, nullptr);
}

guint g_timeout_add_full(gint priority,
                         guint interval,
                         GSourceFunc function,
                         gpointer data,
                         GDestroyNotify notify) {
  return Attach(g_timeout_source_new(interval), priority, function, data,
                notify);
}

guint g_timeout_add(guint interval, GSourceFunc function, gpointer data) {
  return g_timeout_add_full(G_PRIORITY_DEFAULT, interval, function, data,
                            nullptr);
}

}  // extern "C"
