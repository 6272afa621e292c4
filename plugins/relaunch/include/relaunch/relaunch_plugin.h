// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_RELAUNCH_INCLUDE_RELAUNCH_RELAUNCH_PLUGIN_H_
#define PLUGINS_RELAUNCH_INCLUDE_RELAUNCH_RELAUNCH_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#define RELAUNCH_PLUGIN_EXPORT __attribute__((visibility("default")))

/**
 * relaunch_plugin_register_with_registrar:
 * @registrar: an #FlPluginRegistrar.
 *
 * Opens the method channel "restart" on the registrar's messenger. The
 * messenger keeps the channel alive for the engine's lifetime.
 */
RELAUNCH_PLUGIN_EXPORT void relaunch_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

/**
 * relaunch_plugin_store_argv:
 * @argc: number of entries of @argv to store.
 * @argv: (nullable): the command line for the next start; needs no NULL
 * terminator.
 *
 * Stores a copy of the command line that a restart hands to the new process;
 * with @argc <= 0 or a NULL @argv the stored copy is dropped. When nothing is
 * stored, the new process gets only its path. Call it on the main thread.
 */
RELAUNCH_PLUGIN_EXPORT void relaunch_plugin_store_argv(int argc, char** argv);

G_END_DECLS

#endif  // PLUGINS_RELAUNCH_INCLUDE_RELAUNCH_RELAUNCH_PLUGIN_H_
