// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_RELAUNCH_RELAUNCH_PLUGIN_PRIVATE_H_
#define PLUGINS_RELAUNCH_RELAUNCH_PLUGIN_PRIVATE_H_

// What the plugin's own files and its tests share. Nothing here is exported
// from the library.

#include <flutter_linux/flutter_linux.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "include/relaunch/relaunch_plugin.h"
#include "relaunch_argv.h"

// Size of the buffer the executable's path is read into.
constexpr size_t kRelaunchPathBufferSize = 4096;

// 1 while an accepted restart request is on its way (checked, replied to,
// scheduled or running), 0 otherwise. Set only by compare-and-exchange from
// 0, reset only by exchange.
extern std::atomic<int32_t> g_restart_pending;

// The source that runs do_restart once a "relaunch" has been answered; 0
// when none is scheduled. Main thread only.
extern guint g_restart_source;

enum class RelaunchResolve {
  kOk,             // out holds the executable's path.
  kUnresolvable,   // The link is unreadable, empty or too long.
  kNotExecutable,  // out holds a path this process may not execute.
};

// Reads the symbolic link link_path into out (out_size bytes, at least 2),
// drops a trailing " (deleted)" that the kernel adds once the running file
// was replaced or removed, and tests the result for execute permission. A
// target of out_size - 1 bytes or more may have been cut short and counts as
// unresolvable. On failure errno tells why.
RelaunchResolve relaunch_resolve_executable(const char* link_path,
                                            char* out,
                                            size_t out_size);

// Returns the reply to an accepted "relaunch" (transfer full): "ok", or the
// map {"success": true, "mode": "process"} when structured is non-zero.
FlMethodResponse* restart_success_response(int structured);

// Replaces the process with a fresh start of its executable. Runs once from
// the main loop after a "relaunch" was answered; returns (always FALSE) only
// when the restart failed, with the pending flag reset.
gboolean do_restart(gpointer user_data);

// What the plugin reaches outside itself through. Unit tests and fuzzers
// replace it so that they can steer the restart and never have their own
// process replaced.
struct RelaunchHooks {
  // The link the executable is resolved through, normally "/proc/self/exe".
  // Not copied: it must stay valid while installed.
  const char* link_path;
  // What replaces the process image, normally execv.
  int (*exec)(const char* path, char* const argv[]);
  // The allocator behind the argument-vector copies, normally calloc, malloc
  // and free.
  void* (*calloc_fn)(size_t count, size_t size);
  void* (*malloc_fn)(size_t size);
  void (*free_fn)(void* block);
};

// The hooks in force, every member set. Only SetRelaunchHooksForTesting
// changes them.
extern RelaunchHooks g_relaunch_hooks;

// Installs hooks; a NULL member, or NULL hooks, keeps the normal one.
void SetRelaunchHooksForTesting(const RelaunchHooks* hooks);

#endif  // PLUGINS_RELAUNCH_RELAUNCH_PLUGIN_PRIVATE_H_
