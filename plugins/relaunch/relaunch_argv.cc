// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "relaunch_argv.h"

#include <glib.h>
#include <string.h>

#include "relaunch_plugin_private.h"

char** g_argv = nullptr;

char** relaunch_copy_argv(int argc, char** argv) {
  if (argc <= 0 || argv == nullptr) {
    return nullptr;
  }
  auto** copy = static_cast<char**>(
      g_relaunch_hooks.calloc_fn(static_cast<size_t>(argc) + 1, sizeof(char*)));
  if (copy == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < argc; i++) {
    const char* source = argv[i] != nullptr ? argv[i] : "";
    size_t size = strlen(source) + 1;
    copy[i] = static_cast<char*>(g_relaunch_hooks.malloc_fn(size));
    if (copy[i] == nullptr) {
      // The entries after i are still NULL, so the release stops at i.
      relaunch_free_argv(copy);
      return nullptr;
    }
    memcpy(copy[i], source, size);
  }
  return copy;
}

void relaunch_free_argv(char** argv) {
  if (argv == nullptr) {
    return;
  }
  for (char** entry = argv; *entry != nullptr; entry++) {
    g_relaunch_hooks.free_fn(*entry);
  }
  g_relaunch_hooks.free_fn(argv);
}

bool relaunch_replace_argv(char*** slot, int argc, char** argv) {
  if (slot == nullptr) {
    return false;
  }
  char** copy = nullptr;
  if (argc > 0 && argv != nullptr) {
    copy = relaunch_copy_argv(argc, argv);
    if (copy == nullptr) {
      return false;
    }
  }
  relaunch_free_argv(*slot);
  *slot = copy;
  return true;
}

void relaunch_plugin_store_argv(int argc, char** argv) {
  if (!relaunch_replace_argv(&g_argv, argc, argv)) {
    g_warning("relaunch: failed to copy command-line arguments");
  }
}
