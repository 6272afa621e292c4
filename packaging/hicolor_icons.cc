// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// Writes the application's icon for the hicolor icon theme, scaled down from
// the bundle's icon: hicolor_icons SOURCE.png OUTPUT_DIR NAME makes
// OUTPUT_DIR/<n>x<n>/apps/NAME.png for every usual theme size n up to the
// source's own side. A picture is never enlarged: a blown-up icon looks worse
// than the theme scaling the next larger one down.

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>

namespace {

constexpr int kThemeSizes[] = {16, 22, 24, 32, 48, 64, 128, 256, 512};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    g_printerr("usage: %s SOURCE.png OUTPUT_DIR NAME\n", argv[0]);
    return 2;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GdkPixbuf) source = gdk_pixbuf_new_from_file(argv[1], &error);
  if (source == nullptr) {
    g_printerr("hicolor_icons: %s\n", error->message);
    return 1;
  }
  const int side = gdk_pixbuf_get_width(source);
  if (side != gdk_pixbuf_get_height(source) || side < kThemeSizes[0]) {
    g_printerr("hicolor_icons: %s is %dx%d, not a square of at least %d\n",
               argv[1], side, gdk_pixbuf_get_height(source), kThemeSizes[0]);
    return 1;
  }
  for (int size : kThemeSizes) {
    if (size > side) {
      break;
    }
    g_autofree gchar* folder_name = g_strdup_printf("%dx%d", size, size);
    g_autofree gchar* folder =
        g_build_filename(argv[2], folder_name, "apps", nullptr);
    g_autofree gchar* file_name = g_strconcat(argv[3], ".png", nullptr);
    g_autofree gchar* path = g_build_filename(folder, file_name, nullptr);
    if (g_mkdir_with_parents(folder, 0755) != 0) {
      g_printerr("hicolor_icons: cannot make %s\n", folder);
      return 1;
    }
    g_autoptr(GdkPixbuf) scaled =
        size == side
            ? GDK_PIXBUF(g_object_ref(source))
            : gdk_pixbuf_scale_simple(source, size, size, GDK_INTERP_HYPER);
    if (scaled == nullptr ||
        !gdk_pixbuf_save(scaled, path, "png", &error, nullptr)) {
      g_printerr("hicolor_icons: %s: %s\n", path,
                 error != nullptr ? error->message : "out of memory");
      return 1;
    }
  }
  return 0;
}
