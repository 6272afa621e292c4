// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/texture_image.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace dart_peer {
namespace {

const uint8_t kPixels[] = {0xff, 0x00, 0x00, 0xff, 0x00, 0xff, 0x00, 0xff,
                           0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0x80};
constexpr char kPixelsSha256[] =
    "67ba0d52cacdb5b17a5622d0b1e24fabdb214298575205e3c99e8034ba5870f7";

FlValue* Reply(FlValue* width, FlValue* height, FlValue* pixels) {
  FlValue* map = fl_value_new_map();
  if (width != nullptr) {
    fl_value_set_string_take(map, "width", width);
  }
  if (height != nullptr) {
    fl_value_set_string_take(map, "height", height);
  }
  if (pixels != nullptr) {
    fl_value_set_string_take(map, "pixels", pixels);
  }
  return map;
}

// A well-formed reply gives the picture, its digest and its centre pixel.
TEST(TextureImageTest, ReadsAReply) {
  g_autoptr(FlValue) reply =
      Reply(fl_value_new_int(2), fl_value_new_int(2),
            fl_value_new_uint8_list(kPixels, sizeof(kPixels)));
  TextureImage image;
  std::string error;
  ASSERT_TRUE(TextureImageFromValue(reply, &image, &error)) << error;
  EXPECT_EQ(image.width, 2);
  EXPECT_EQ(image.height, 2);
  EXPECT_EQ(image.Sha256(), kPixelsSha256);
  EXPECT_EQ(image.Center(), (std::array<uint8_t, 4>{0xff, 0xff, 0xff, 0x80}));
  EXPECT_EQ(image.Pixel(1, 0),
            (std::array<uint8_t, 4>{0x00, 0xff, 0x00, 0xff}));
  EXPECT_EQ(image.Pixel(0, 1),
            (std::array<uint8_t, 4>{0x00, 0x00, 0xff, 0xff}));
}

// Replies whose size and pixels disagree, or that lack a field, are
// refused.
TEST(TextureImageTest, RefusesInconsistentReplies) {
  const struct {
    const char* name;
    std::function<FlValue*()> make;
  } cases[] = {
      {"not a map", [] { return fl_value_new_int(1); }},
      {"no pixels",
       [] { return Reply(fl_value_new_int(2), fl_value_new_int(2), nullptr); }},
      {"float width",
       [] {
         return Reply(fl_value_new_float(2.0), fl_value_new_int(2),
                      fl_value_new_uint8_list(kPixels, sizeof(kPixels)));
       }},
      {"too few pixels",
       [] {
         return Reply(fl_value_new_int(2), fl_value_new_int(2),
                      fl_value_new_uint8_list(kPixels, 12));
       }},
      {"negative height",
       [] {
         return Reply(fl_value_new_int(2), fl_value_new_int(-2),
                      fl_value_new_uint8_list(kPixels, sizeof(kPixels)));
       }},
      {"huge size",
       [] {
         return Reply(fl_value_new_int(1LL << 32), fl_value_new_int(1LL << 32),
                      fl_value_new_uint8_list(nullptr, 0));
       }},
      {"pixels as int32 list",
       [] {
         const int32_t words[] = {1, 2, 3, 4};
         return Reply(fl_value_new_int(2), fl_value_new_int(2),
                      fl_value_new_int32_list(words, 4));
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) reply = c.make();
    TextureImage image;
    std::string error;
    EXPECT_FALSE(TextureImageFromValue(reply, &image, &error));
    EXPECT_NE(error, "");
  }
}

// The saved PNG holds exactly the texture's pixels, alpha included.
TEST(TextureImageTest, SavesPng) {
  TextureImage image;
  image.width = 2;
  image.height = 2;
  image.pixels.assign(kPixels, kPixels + sizeof(kPixels));
  g_autofree gchar* dir = g_dir_make_tmp("dart-peer-png-XXXXXX", nullptr);
  ASSERT_NE(dir, nullptr);
  g_autofree gchar* path = g_build_filename(dir, "t.png", nullptr);
  std::string error;
  ASSERT_TRUE(SaveTexturePng(image, path, &error)) << error;

  g_autoptr(GError) load_error = nullptr;
  g_autoptr(GdkPixbuf) loaded = gdk_pixbuf_new_from_file(path, &load_error);
  ASSERT_NE(loaded, nullptr) << load_error->message;
  ASSERT_EQ(gdk_pixbuf_get_width(loaded), 2);
  ASSERT_EQ(gdk_pixbuf_get_height(loaded), 2);
  ASSERT_TRUE(gdk_pixbuf_get_has_alpha(loaded));
  const guint8* data = gdk_pixbuf_read_pixels(loaded);
  int stride = gdk_pixbuf_get_rowstride(loaded);
  for (int y = 0; y < 2; y++) {
    EXPECT_EQ(memcmp(data + y * stride, kPixels + y * 8, 8), 0) << "row " << y;
  }
  g_unlink(path);
  g_rmdir(dir);

  TextureImage empty;
  EXPECT_FALSE(SaveTexturePng(empty, "/nonexistent/x.png", &error));
  EXPECT_FALSE(SaveTexturePng(image, "/nonexistent/dir/x.png", &error));
}

}  // namespace
}  // namespace dart_peer
