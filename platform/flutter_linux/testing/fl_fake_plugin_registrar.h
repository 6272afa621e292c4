// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_PLUGIN_REGISTRAR_H_
#define PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_PLUGIN_REGISTRAR_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// A plugin registrar for unit tests, handing out the given messenger and
// texture registrar (which may be NULL) and no view. Holds a reference to
// both.
G_DECLARE_FINAL_TYPE(FlFakePluginRegistrar,
                     fl_fake_plugin_registrar,
                     FL,
                     FAKE_PLUGIN_REGISTRAR,
                     GObject)

FlPluginRegistrar* fl_fake_plugin_registrar_new(
    FlBinaryMessenger* messenger,
    FlTextureRegistrar* texture_registrar);

G_END_DECLS

#endif  // PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_PLUGIN_REGISTRAR_H_
