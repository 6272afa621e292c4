// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FLUTTER_SHELL_PLATFORM_LINUX_PUBLIC_FLUTTER_LINUX_FL_DART_PROJECT_H_
#define FLUTTER_SHELL_PLATFORM_LINUX_PUBLIC_FLUTTER_LINUX_FL_DART_PROJECT_H_

#if !defined(__FLUTTER_LINUX_INSIDE__) && !defined(FLUTTER_LINUX_COMPILATION)
#error "Only <flutter_linux/flutter_linux.h> can be included directly."
#endif

#include <glib-object.h>
#include <gmodule.h>

G_BEGIN_DECLS


G_MODULE_EXPORT
G_DECLARE_FINAL_TYPE(FlDartProject, fl_dart_project, FL, DART_PROJECT, GObject)

FlDartProject* fl_dart_project_new();
void fl_dart_project_set_aot_library_path(FlDartProject* project,
                                          const gchar* path);
const gchar* fl_dart_project_get_aot_library_path(FlDartProject* project);
void fl_dart_project_set_assets_path(FlDartProject* project, gchar* path);
const gchar* fl_dart_project_get_assets_path(FlDartProject* project);
void fl_dart_project_set_icu_data_path(FlDartProject* project, gchar* path);
const gchar* fl_dart_project_get_icu_data_path(FlDartProject* project);
void fl_dart_project_set_dart_entrypoint_arguments(FlDartProject* project,
                                                   char** argv);
gchar** fl_dart_project_get_dart_entrypoint_arguments(FlDartProject* project);

G_END_DECLS

#endif  // FLUTTER_SHELL_PLATFORM_LINUX_PUBLIC_FLUTTER_LINUX_FL_DART_PROJECT_H_
