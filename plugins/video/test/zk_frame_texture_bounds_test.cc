// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "fl_fake_texture_registrar.h"
#include "test_media.h"
#include "zk_frame_texture.h"

namespace {

constexpr guint kWidth = 4;
constexpr guint kHeight = 3;
constexpr gint kRow = kWidth * 4;

// An RGBA sample whose buffer holds size bytes of value fill and whose video
// meta puts the first row at offset and the rows stride bytes apart.
GstSample* MakeSample(gsize size, gsize offset, gint stride, guint8 fill) {
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  gst_buffer_memset(buffer, 0, fill, size);
  gsize offsets[GST_VIDEO_MAX_PLANES] = {offset};
  gint strides[GST_VIDEO_MAX_PLANES] = {stride};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE,
                                 GST_VIDEO_FORMAT_RGBA, kWidth, kHeight, 1,
                                 offsets, strides);
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, kWidth,
                                      "height", G_TYPE_INT, kHeight, nullptr);
  GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  return sample;
}

// A frame whose video meta places rows past the end of the memory that holds
// them is refused: the texture keeps the frame it had and reads nothing
// outside the buffer. Rows that end exactly at the buffer's end are taken.
TEST(ZkFrameTextureBounds, RefusesRowsPastTheBuffer) {
  const gsize tight = static_cast<gsize>(kRow) * kHeight;
  const struct {
    const char* name;
    gsize size;
    gsize offset;
    gint stride;
    bool taken;
  } cases[] = {
      {"rows that fill the buffer", tight, 0, kRow, true},
      {"padded rows that end at the buffer's end", 2 * kRow * 2 + kRow, 0,
       2 * kRow, true},
      {"an offset that leaves room", tight + 8, 8, kRow, true},
      {"the last row one byte short", tight - 1, 0, kRow, false},
      {"an offset that pushes the last row out", tight, 4, kRow, false},
      {"a stride one byte too long", tight, 0, kRow + 1, false},
      {"a stride far past the buffer", tight, 0, G_MAXINT32, false},
      {"an offset past the rows", tight + 64, tight + 32, kRow, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlFakeTextureRegistrar) registrar =
        fl_fake_texture_registrar_new();
    g_autoptr(ZkFrameTexture) texture =
        ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
    zk_frame_texture_set_registrar(texture, FL_TEXTURE_REGISTRAR(registrar));
    ASSERT_TRUE(fl_texture_registrar_register_texture(
        FL_TEXTURE_REGISTRAR(registrar), FL_TEXTURE(texture)));
    const int64_t id = fl_texture_get_id(FL_TEXTURE(texture));

    // A first, sound frame of 0x11 bytes.
    GstSample* first = MakeSample(tight, 0, kRow, 0x11);
    zk_frame_texture_take_frame(texture, first);
    gst_sample_unref(first);
    g_autoptr(GBytes) before = nullptr;
    ASSERT_TRUE(fl_fake_texture_registrar_read_pixels(registrar, id, &before,
                                                      nullptr, nullptr));

    GstSample* sample = MakeSample(c.size, c.offset, c.stride, 0x22);
    zk_frame_texture_take_frame(texture, sample);
    gst_sample_unref(sample);
    g_autoptr(GBytes) after = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_TRUE(fl_fake_texture_registrar_read_pixels(registrar, id, &after,
                                                      &width, &height));
    EXPECT_EQ(width, kWidth);
    EXPECT_EQ(height, kHeight);
    const std::string expected(tight, static_cast<char>(c.taken ? 0x22 : 0x11));
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(after, &size));
    EXPECT_EQ(std::string(data, size), expected);

    test_media::Drain();
    zk_frame_texture_detach(texture);
    fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(registrar),
                                            FL_TEXTURE(texture));
  }
}

// A frame of width 0 whose video meta pads its rows empties the texture, as
// any empty frame does: the engine gets the blank pixel again, and the empty
// buffer is never handed to a copy (undefined even for zero bytes).
TEST(ZkFrameTextureBounds, EmptiesOnZeroWidthPaddedRows) {
  g_autoptr(FlFakeTextureRegistrar) registrar = fl_fake_texture_registrar_new();
  g_autoptr(ZkFrameTexture) texture =
      ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
  zk_frame_texture_set_registrar(texture, FL_TEXTURE_REGISTRAR(registrar));
  ASSERT_TRUE(fl_texture_registrar_register_texture(
      FL_TEXTURE_REGISTRAR(registrar), FL_TEXTURE(texture)));
  const int64_t id = fl_texture_get_id(FL_TEXTURE(texture));

  GstSample* first = MakeSample(kRow * kHeight, 0, kRow, 0x11);
  zk_frame_texture_take_frame(texture, first);
  gst_sample_unref(first);
  g_autoptr(GBytes) before = nullptr;
  ASSERT_TRUE(fl_fake_texture_registrar_read_pixels(registrar, id, &before,
                                                    nullptr, nullptr));

  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, 64, nullptr);
  gst_buffer_memset(buffer, 0, 0x22, 64);
  gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
  gint strides[GST_VIDEO_MAX_PLANES] = {16};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE,
                                 GST_VIDEO_FORMAT_RGBA, 0, kHeight, 1,
                                 offsets, strides);
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, 0, "height",
                                      G_TYPE_INT, kHeight, nullptr);
  GstSample* empty = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  zk_frame_texture_take_frame(texture, empty);
  gst_sample_unref(empty);

  g_autoptr(GBytes) after = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  ASSERT_TRUE(fl_fake_texture_registrar_read_pixels(registrar, id, &after,
                                                    &width, &height));
  EXPECT_EQ(width, 1u);
  EXPECT_EQ(height, 1u);
  gsize size = 0;
  const char* data = static_cast<const char*>(g_bytes_get_data(after, &size));
  EXPECT_EQ(std::string(data, size), std::string(4, '\0'));

  test_media::Drain();
  zk_frame_texture_detach(texture);
  fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(registrar),
                                          FL_TEXTURE(texture));
}

}  // namespace
