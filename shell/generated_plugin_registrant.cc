// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "generated_plugin_registrant.h"

#include <amplify_db_common/amplify_db_common_plugin.h>
#include <audioplayers_linux/audioplayers_linux_plugin.h>
#include <emoji_picker_flutter/emoji_picker_flutter_plugin.h>
#include <file_selector_linux/file_selector_plugin.h>
#include <flutter_secure_storage_linux/flutter_secure_storage_linux_plugin.h>
#include <flutter_timezone/flutter_timezone_plugin.h>
#include <gtk/gtk_plugin.h>
#include <isar_community_flutter_libs/isar_flutter_libs_plugin.h>
#include <record_linux/record_linux_plugin.h>
#include <relaunch/relaunch_plugin.h>
#include <url_launcher_linux/url_launcher_plugin.h>
#include <zelko_desktop_video/zelko_desktop_video_plugin.h>

// The crash reporter's Flutter plugin has no native side on Linux; its
// registrar is still taken, as for every plugin of the application.
extern "C" void sentry_flutter_plugin_register_with_registrar(
    FlPluginRegistrar* registrar) {}

namespace {

struct Registration {
  const char* name;
  void (*register_with_registrar)(FlPluginRegistrar* registrar);
};

constexpr Registration kPlugins[] = {
    {"AmplifyDbCommonPlugin", amplify_db_common_plugin_register_with_registrar},
    {"AudioplayersLinuxPlugin",
     audioplayers_linux_plugin_register_with_registrar},
    {"EmojiPickerFlutterPlugin",
     emoji_picker_flutter_plugin_register_with_registrar},
    {"FileSelectorPlugin", file_selector_plugin_register_with_registrar},
    {"FlutterSecureStorageLinuxPlugin",
     flutter_secure_storage_linux_plugin_register_with_registrar},
    {"FlutterTimezonePlugin", flutter_timezone_plugin_register_with_registrar},
    {"GtkPlugin", gtk_plugin_register_with_registrar},
    {"IsarFlutterLibsPlugin", isar_flutter_libs_plugin_register_with_registrar},
    {"RecordLinuxPlugin", record_linux_plugin_register_with_registrar},
    {"RelaunchPlugin", relaunch_plugin_register_with_registrar},
    {"ZelkoDesktopVideoPlugin",
     zelko_desktop_video_plugin_register_with_registrar},
    {"SentryFlutterPlugin", sentry_flutter_plugin_register_with_registrar},
    {"UrlLauncherPlugin", url_launcher_plugin_register_with_registrar},
};

constexpr size_t kPluginCount = sizeof(kPlugins) / sizeof(kPlugins[0]);

}  // namespace

void fl_register_plugins(FlPluginRegistry* registry) {
  // Every registrar stays held until the last registration has returned.
  FlPluginRegistrar* registrars[kPluginCount] = {};
  for (size_t i = 0; i < kPluginCount; i++) {
    registrars[i] =
        fl_plugin_registry_get_registrar_for_plugin(registry, kPlugins[i].name);
    kPlugins[i].register_with_registrar(registrars[i]);
  }
  for (size_t i = kPluginCount; i > 0; i--) {
    g_object_unref(registrars[i - 1]);
  }
}
