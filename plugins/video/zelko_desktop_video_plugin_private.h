// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_ZELKO_DESKTOP_VIDEO_PLUGIN_PRIVATE_H_
#define PLUGINS_VIDEO_ZELKO_DESKTOP_VIDEO_PLUGIN_PRIVATE_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdint>

#include <zelko_desktop_video/zelko_desktop_video_plugin.h>
#include "player.h"

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(ZelkoDesktopVideoPlugin,
                     zelko_desktop_video_plugin,
                     ZELKO_DESKTOP_VIDEO,
                     PLUGIN,
                     GObject)

// Does the work of zelko_desktop_video_plugin_register_with_registrar and
// returns the plugin object (transfer full), which registration itself drops
// at once: the channel handlers hold it from then on.
ZelkoDesktopVideoPlugin* zelko_desktop_video_plugin_new(
    FlPluginRegistrar* registrar);

G_END_DECLS

// The live player of that id, or nullptr (borrowed).
Player* zelko_desktop_video_plugin_lookup_player(ZelkoDesktopVideoPlugin* self,
                                                 int64_t id);

// Whether the user gave glibc a value of its own for the malloc parameter
// name ("mmap_threshold" for glibc.malloc.mmap_threshold) in tunables, the
// value of GLIBC_TUNABLES, or through the parameter's older variable, whose
// value is variable (each nullptr when unset). The user's value then stands.
bool UserSetsMallocParameter(const char* tunables,
                             const char* name,
                             const char* variable);

// Players, jobs, probes and posters alive in the process; main thread only.
int zelko_desktop_video_plugin_live_work();

#endif  // PLUGINS_VIDEO_ZELKO_DESKTOP_VIDEO_PLUGIN_PRIVATE_H_
