// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FLUTTER_PLUGIN_ZELKO_DESKTOP_VIDEO_PLUGIN_H_
#define FLUTTER_PLUGIN_ZELKO_DESKTOP_VIDEO_PLUGIN_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

#ifdef FLUTTER_PLUGIN_IMPL
#define FLUTTER_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define FLUTTER_PLUGIN_EXPORT
#endif

// Initialises GStreamer and opens the channels "zelko_desktop_video" and
// "zelko_desktop_video/compress" on the registrar's messenger. Called once,
// on the main thread; the registrar is not taken over.
FLUTTER_PLUGIN_EXPORT void zelko_desktop_video_plugin_register_with_registrar(
    FlPluginRegistrar* registrar);

G_END_DECLS

#endif  // FLUTTER_PLUGIN_ZELKO_DESKTOP_VIDEO_PLUGIN_H_
