// Copyright 2026 The Zelkoz Authors. All rights reserved.
// The Dart project: bundle paths beside the executable and the entry point's
// arguments.
#include <string>

#include "fl_test_support.h"

namespace {

// A new project finds its bundle beside the running executable; the paths
// can be replaced.
TEST(DartProjectTest, PathsAreBesideTheExecutable) {
  g_autofree gchar* exe = g_file_read_link("/proc/self/exe", nullptr);
  ASSERT_NE(exe, nullptr);
  g_autofree gchar* dir = g_path_get_dirname(exe);
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  const struct {
    const char* label;
    const gchar* (*get)(FlDartProject*);
    void (*set)(FlDartProject*, const gchar*);
    std::string expected;
  } paths[] = {
      {"aot library", fl_dart_project_get_aot_library_path,
       fl_dart_project_set_aot_library_path,
       std::string(dir) + "/lib/libapp.so"},
      {"assets", fl_dart_project_get_assets_path,
       [](FlDartProject* p, const gchar* path) {
         fl_dart_project_set_assets_path(p, const_cast<gchar*>(path));
       },
       std::string(dir) + "/data/flutter_assets"},
      {"icu data", fl_dart_project_get_icu_data_path,
       [](FlDartProject* p, const gchar* path) {
         fl_dart_project_set_icu_data_path(p, const_cast<gchar*>(path));
       },
       std::string(dir) + "/data/icudtl.dat"},
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path.label);
    EXPECT_EQ(path.get(project), path.expected);
    // The project keeps a copy of what it is given.
    gchar* replacement = g_strdup("/elsewhere/file");
    path.set(project, replacement);
    replacement[1] = 'X';
    g_free(replacement);
    EXPECT_STREQ(path.get(project), "/elsewhere/file");
  }
}

// The entry point's arguments are copied in, NULL until set, and can be
// cleared again.
TEST(DartProjectTest, EntrypointArgumentsAreCopied) {
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  EXPECT_EQ(fl_dart_project_get_dart_entrypoint_arguments(project), nullptr);
  gchar** argv = g_strsplit("--one two", " ", -1);
  fl_dart_project_set_dart_entrypoint_arguments(project, argv);
  g_free(argv[0]);
  argv[0] = g_strdup("changed");
  g_strfreev(argv);
  gchar** got = fl_dart_project_get_dart_entrypoint_arguments(project);
  ASSERT_NE(got, nullptr);
  ASSERT_EQ(g_strv_length(got), 2u);
  EXPECT_STREQ(got[0], "--one");
  EXPECT_STREQ(got[1], "two");
  fl_dart_project_set_dart_entrypoint_arguments(project, nullptr);
  EXPECT_EQ(fl_dart_project_get_dart_entrypoint_arguments(project), nullptr);
}

}  // namespace
