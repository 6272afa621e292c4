// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_dart_project.h"

#include <gio/gio.h>

struct _FlDartProject {
  GObject parent_instance;
  gchar* aot_library_path;  // Owned.
  gchar* assets_path;       // Owned.
  gchar* icu_data_path;     // Owned.
  gchar** dart_entrypoint_arguments;  // Owned copy, NULL when none was set.
};

G_DEFINE_TYPE(FlDartProject, fl_dart_project, G_TYPE_OBJECT)

namespace {

// The directory of the running executable, or "." when it cannot be read.
gchar* ExecutableDir() {
  g_autofree gchar* exe = g_file_read_link("/proc/self/exe", nullptr);
  if (exe == nullptr) {
    return g_strdup(".");
  }
  return g_path_get_dirname(exe);
}

}  // namespace

static void fl_dart_project_dispose(GObject* object) {
  FlDartProject* self = FL_DART_PROJECT(object);
  g_clear_pointer(&self->aot_library_path, g_free);
  g_clear_pointer(&self->assets_path, g_free);
  g_clear_pointer(&self->icu_data_path, g_free);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  G_OBJECT_CLASS(fl_dart_project_parent_class)->dispose(object);
}

static void fl_dart_project_class_init(FlDartProjectClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_dart_project_dispose;
}

static void fl_dart_project_init(FlDartProject* self) {}

G_MODULE_EXPORT FlDartProject* fl_dart_project_new() {
  auto* self =
      FL_DART_PROJECT(g_object_new(fl_dart_project_get_type(), nullptr));
  g_autofree gchar* dir = ExecutableDir();
  self->aot_library_path = g_build_filename(dir, "lib", "libapp.so", nullptr);
  self->assets_path = g_build_filename(dir, "data", "flutter_assets", nullptr);
  self->icu_data_path = g_build_filename(dir, "data", "icudtl.dat", nullptr);
  return self;
}

G_MODULE_EXPORT void fl_dart_project_set_aot_library_path(FlDartProject* self,
                                                          const gchar* path) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_free(self->aot_library_path);
  self->aot_library_path = g_strdup(path);
}

G_MODULE_EXPORT const gchar* fl_dart_project_get_aot_library_path(
    FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->aot_library_path;
}

G_MODULE_EXPORT void fl_dart_project_set_assets_path(FlDartProject* self,
                                                     gchar* path) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_free(self->assets_path);
  self->assets_path = g_strdup(path);
}

G_MODULE_EXPORT const gchar* fl_dart_project_get_assets_path(
    FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->assets_path;
}

G_MODULE_EXPORT void fl_dart_project_set_icu_data_path(FlDartProject* self,
                                                       gchar* path) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  g_free(self->icu_data_path);
  self->icu_data_path = g_strdup(path);
}

G_MODULE_EXPORT const gchar* fl_dart_project_get_icu_data_path(
    FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->icu_data_path;
}

G_MODULE_EXPORT void fl_dart_project_set_dart_entrypoint_arguments(
    FlDartProject* self,
    char** argv) {
  g_return_if_fail(FL_IS_DART_PROJECT(self));
  // A copy: the caller keeps ownership of its vector.
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  self->dart_entrypoint_arguments = g_strdupv(argv);
}

G_MODULE_EXPORT gchar** fl_dart_project_get_dart_entrypoint_arguments(
    FlDartProject* self) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(self), nullptr);
  return self->dart_entrypoint_arguments;
}
