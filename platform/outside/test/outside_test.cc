// Copyright 2026 The Zelkoz Authors. All rights reserved.

#include <dlfcn.h>
#include <link.h>

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "outside_table.h"

namespace {

// Returns the dynamic symbols that a library defines, or fails the test.
std::set<std::string> DefinedSymbols(const std::string& path) {
  const gchar* argv[] = {
      "nm", "-D", "--defined-only", "--format=posix", path.c_str(), nullptr};
  g_autofree gchar* out = nullptr;
  g_autofree gchar* err = nullptr;
  gint status = 0;
  g_autoptr(GError) error = nullptr;
  std::set<std::string> symbols;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr,
                    G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status,
                    &error)) {
    ADD_FAILURE() << "cannot run nm: " << error->message;
    return symbols;
  }
  if (!g_spawn_check_wait_status(status, &error)) {
    ADD_FAILURE() << "nm failed on " << path << ": " << err;
    return symbols;
  }
  g_auto(GStrv) lines = g_strsplit(out, "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    if (**line == '\0') {
      continue;
    }
    g_auto(GStrv) fields = g_strsplit(*line, " ", 2);
    symbols.insert(fields[0]);
  }
  return symbols;
}

std::string BundlePath(const char* file) {
  g_autofree gchar* path = g_build_filename(ZK_BUNDLE_LIB_DIR, file, nullptr);
  return path;
}

int CollectLoadedObject(struct dl_phdr_info* info, size_t, void* data) {
  static_cast<std::set<std::string>*>(data)->insert(info->dlpi_name);
  return 0;
}

}  // namespace

// Every stand-in exports its registration function and nothing else, so the
// application cannot come to depend on anything beyond that entry point.
TEST(OutsideLibrariesTest, ExportOnlyTheirEntryPoint) {
  struct Expected {
    std::string file;
    std::set<std::string> symbols;
  };
  std::vector<Expected> cases;
  for (const auto& library : kOutsideLibraries) {
    cases.push_back({library.file, {library.function}});
  }
  cases.push_back({"libsentry.so", {"sentry_sdk_version"}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    EXPECT_EQ(DefinedSymbols(BundlePath(c.file.c_str())), c.symbols);
  }
}

// Each bundled library loads on its own and its entry point accepts a
// registrar without touching it.
TEST(OutsideLibrariesTest, LoadFromTheBundleAndRegister) {
  for (const auto& library : kOutsideLibraries) {
    SCOPED_TRACE(library.file);
    const std::string path = BundlePath(library.file);
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle, nullptr) << dlerror();
    auto* registration = reinterpret_cast<void (*)(FlPluginRegistrar*)>(
        dlsym(handle, library.function));
    EXPECT_NE(registration, nullptr) << dlerror();
    if (registration != nullptr) {
      registration(nullptr);
    }
    dlclose(handle);
  }
}

// A program linking the interface targets gets every library, libsentry.so
// included although nothing calls it, loaded from the bundle at start-up.
TEST(OutsideLibrariesTest, LinkedLibrariesLoadWithTheProgram) {
  CallEveryRegistration(nullptr);
  std::set<std::string> loaded;
  dl_iterate_phdr(CollectLoadedObject, &loaded);
  std::vector<std::string> expected = {BundlePath("libsentry.so")};
  for (const auto& library : kOutsideLibraries) {
    expected.push_back(BundlePath(library.file));
  }
  for (const auto& path : expected) {
    SCOPED_TRACE(path);
    EXPECT_EQ(loaded.count(path), 1u);
  }
}

// The fallback icon is a real PNG with a transparent margin around an opaque
// tile.
TEST(FallbackIconTest, IsASquarePngWithTransparentCorners) {
  g_autofree gchar* path =
      g_build_filename(ZK_BUNDLE_LIB_DIR, "..", "data", "flutter_assets",
                       "assets", "app_icons", "default.png", nullptr);
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  ASSERT_TRUE(g_file_get_contents(path, &contents, &length, nullptr)) << path;
  ASSERT_GT(length, 8u);
  EXPECT_EQ(std::string(contents, 8), std::string("\x89PNG\r\n\x1a\n", 8));

  g_autoptr(GError) error = nullptr;
  g_autoptr(GdkPixbuf) icon = gdk_pixbuf_new_from_file(path, &error);
  ASSERT_NE(icon, nullptr) << error->message;
  EXPECT_EQ(gdk_pixbuf_get_width(icon), 256);
  EXPECT_EQ(gdk_pixbuf_get_height(icon), 256);
  ASSERT_TRUE(gdk_pixbuf_get_has_alpha(icon));
  const guint8* pixels = gdk_pixbuf_get_pixels(icon);
  const int stride = gdk_pixbuf_get_rowstride(icon);
  auto alpha = [&](int x, int y) { return pixels[y * stride + x * 4 + 3]; };
  const struct {
    int x, y;
    int alpha;
  } probes[] = {{0, 0, 0},       {255, 0, 0},    {0, 255, 0},   {255, 255, 0},
                {128, 128, 255}, {30, 128, 255}, {128, 30, 255}};
  for (const auto& p : probes) {
    SCOPED_TRACE(testing::Message() << p.x << "," << p.y);
    EXPECT_EQ(alpha(p.x, p.y), p.alpha);
  }
}

int main(int argc, char** argv) {
  g_log_set_always_fatal(
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_CRITICAL | G_LOG_LEVEL_ERROR));
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
