// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "media_queue.h"

#include <glib.h>

#include <utility>

namespace {

// Guards the three below.
GMutex g_lock;
// Signalled whenever g_unfinished drops to 0.
GCond g_finished;
// Tasks queued and not run yet, the one running included.
int g_unfinished = 0;
// Created with the first task; one thread, so that tasks run in order.
GThreadPool* g_pool = nullptr;

// Runs one task on the pool's thread.
void RunTask(gpointer data, gpointer user_data) {
  (void)user_data;
  auto* task = static_cast<std::function<void()>*>(data);
  (*task)();
  delete task;
  g_mutex_lock(&g_lock);
  if (--g_unfinished == 0) {
    g_cond_broadcast(&g_finished);
  }
  g_mutex_unlock(&g_lock);
}

}  // namespace

void MediaQueueRun(std::function<void()> task) {
  g_mutex_lock(&g_lock);
  if (g_pool == nullptr) {
    g_pool = g_thread_pool_new(RunTask, nullptr, 1, FALSE, nullptr);
  }
  ++g_unfinished;
  g_mutex_unlock(&g_lock);
  // A pool that is not exclusive queues the task even when it cannot start
  // a thread now, and starts one with a later push.
  g_thread_pool_push(g_pool, new std::function<void()>(std::move(task)),
                     nullptr);
}

void MediaQueueDrain() {
  g_mutex_lock(&g_lock);
  while (g_unfinished > 0) {
    g_cond_wait(&g_finished, &g_lock);
  }
  g_mutex_unlock(&g_lock);
}
