// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_RELAUNCH_RELAUNCH_ARGV_H_
#define PLUGINS_RELAUNCH_RELAUNCH_ARGV_H_

#include <stddef.h>

// Argument vectors for the relaunched process. A vector made here is one
// zeroed array of argc + 1 pointers whose first argc entries each point to a
// string of their own and whose last entry is NULL. All of it is released with
// relaunch_free_argv.

// The command line stored for the next start, NULL when none is stored. Only
// relaunch_plugin_store_argv changes it, on the main thread; it is never
// released at exit.
extern char** g_argv;

// Returns a deep copy of the first argc entries of argv (a NULL entry becomes
// an empty string; argv needs no NULL terminator), or NULL when argc <= 0,
// argv is NULL or memory runs out. Nothing is left allocated on failure.
char** relaunch_copy_argv(int argc, char** argv);

// Releases a vector made by relaunch_copy_argv. NULL is ignored.
void relaunch_free_argv(char** argv);

// Stores a copy of argv in *slot, releasing what it held, and returns true.
// With argc <= 0 or a NULL argv the slot is cleared instead. Returns false,
// leaving *slot untouched, when slot is NULL or copying fails.
bool relaunch_replace_argv(char*** slot, int argc, char** argv);

#endif  // PLUGINS_RELAUNCH_RELAUNCH_ARGV_H_
