// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "zk_frame_texture.h"

#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fl_fake_texture_registrar.h"
#include "test_media.h"

namespace {

// The pixel byte of (x, y, channel) in the synthetic frames.
guint8 PixelByte(guint x, guint y, guint channel, guint8 seed) {
  return static_cast<guint8>(seed + y * 40 + x * 4 + channel);
}

// Bytes past a row's pixels: they must never reach the texture.
constexpr guint8 kPadding = 0xEE;

// A sample of an RGBA frame whose rows are stride bytes apart. A stride
// other than width * 4 is carried by a video meta, as decoders do.
GstSample* MakeFrame(guint width, guint height, guint stride, guint8 seed) {
  const gsize size = static_cast<gsize>(stride) * height;
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  if (size > 0) {
    memset(map.data, kPadding, size);
  }
  for (guint y = 0; y < height; ++y) {
    for (guint x = 0; x < width; ++x) {
      for (guint c = 0; c < 4; ++c) {
        map.data[y * stride + x * 4 + c] = PixelByte(x, y, c, seed);
      }
    }
  }
  gst_buffer_unmap(buffer, &map);
  if (stride != width * 4) {
    gsize offsets[GST_VIDEO_MAX_PLANES] = {0};
    gint strides[GST_VIDEO_MAX_PLANES] = {static_cast<gint>(stride)};
    gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE,
                                   GST_VIDEO_FORMAT_RGBA, width, height, 1,
                                   offsets, strides);
  }
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, height, "framerate",
                                      GST_TYPE_FRACTION, 0, 1, nullptr);
  GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  return sample;
}

std::string Expected(guint width, guint height, guint8 seed) {
  std::string bytes;
  for (guint y = 0; y < height; ++y) {
    for (guint x = 0; x < width; ++x) {
      for (guint c = 0; c < 4; ++c) {
        bytes.push_back(static_cast<char>(PixelByte(x, y, c, seed)));
      }
    }
  }
  return bytes;
}

class ZkFrameTextureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    registrar_ = fl_fake_texture_registrar_new();
    Attach();
  }

  void TearDown() override {
    Release();
    g_clear_object(&registrar_);
  }

  // A new texture on the registrar, in place of none.
  void Attach() {
    texture_ =
        ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
    zk_frame_texture_set_registrar(texture_, FL_TEXTURE_REGISTRAR(registrar_));
    ASSERT_TRUE(fl_texture_registrar_register_texture(
        FL_TEXTURE_REGISTRAR(registrar_), FL_TEXTURE(texture_)));
    id_ = fl_texture_get_id(FL_TEXTURE(texture_));
  }

  // Lets the texture's notices run, then takes it off the registrar.
  void Release() {
    test_media::Drain();
    if (texture_ != nullptr) {
      zk_frame_texture_detach(texture_);
      fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(registrar_),
                                              FL_TEXTURE(texture_));
      g_clear_object(&texture_);
    }
  }

  void Take(GstSample* sample) {
    zk_frame_texture_take_frame(texture_, sample);
    gst_sample_unref(sample);
  }

  // Reads the texture as the engine does, on the registrar's own thread.
  std::string Read(uint32_t* width, uint32_t* height) {
    std::string pixels;
    EXPECT_TRUE(
        test_media::ReadTexture(registrar_, id_, &pixels, width, height));
    return pixels;
  }

  // copy_pixels called directly, to see the pointer it hands out.
  const uint8_t* CopyPixels(uint32_t* width, uint32_t* height) {
    const uint8_t* buffer = nullptr;
    g_autoptr(GError) error = nullptr;
    EXPECT_TRUE(FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(texture_)->copy_pixels(
        FL_PIXEL_BUFFER_TEXTURE(texture_), &buffer, width, height, &error));
    EXPECT_EQ(error, nullptr);
    return buffer;
  }

  guint Marks() {
    return fl_fake_texture_registrar_get_frames_marked(registrar_, id_);
  }

  FlFakeTextureRegistrar* registrar_ = nullptr;
  ZkFrameTexture* texture_ = nullptr;
  int64_t id_ = 0;
};

const std::string kBlank(4, '\0');

// Before any frame the engine gets one transparent black pixel.
TEST_F(ZkFrameTextureTest, BlankBeforeAnyFrame) {
  uint32_t width = 0;
  uint32_t height = 0;
  EXPECT_EQ(Read(&width, &height), kBlank);
  EXPECT_EQ(width, 1u);
  EXPECT_EQ(height, 1u);
}

// Whatever the row stride, the engine gets tightly packed rows.
TEST_F(ZkFrameTextureTest, FramesArriveTightlyPacked) {
  const struct {
    guint width;
    guint height;
    guint stride;
  } cases[] = {{3, 2, 12}, {3, 2, 16}, {5, 3, 64}, {1, 7, 4}, {64, 4, 320}};
  guint8 seed = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.width << "x" << c.height << " stride " << c.stride);
    Take(MakeFrame(c.width, c.height, c.stride, seed));
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(Read(&width, &height), Expected(c.width, c.height, seed));
    EXPECT_EQ(width, c.width);
    EXPECT_EQ(height, c.height);
    seed += 50;
  }
}

// A frame without pixels brings the blank pixel back.
TEST_F(ZkFrameTextureTest, ZeroSizedFrameShowsBlank) {
  const struct {
    guint width;
    guint height;
  } cases[] = {{0, 0}, {4, 0}, {0, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.width << "x" << c.height);
    Take(MakeFrame(2, 2, 8, 9));
    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_EQ(Read(&width, &height), Expected(2, 2, 9));
    Take(MakeFrame(c.width, c.height, c.width * 4, 9));
    EXPECT_EQ(Read(&width, &height), kBlank);
    EXPECT_EQ(width, 1u);
    EXPECT_EQ(height, 1u);
  }
}

// Size and pixels change together, in both directions of growth.
TEST_F(ZkFrameTextureTest, SizeChangeComesWithItsPixels) {
  const struct {
    guint width;
    guint height;
  } sizes[] = {{4, 2}, {2, 3}, {8, 8}, {8, 8}, {1, 1}, {16, 2}};
  guint8 seed = 3;
  for (const auto& s : sizes) {
    SCOPED_TRACE(testing::Message() << s.width << "x" << s.height);
    Take(MakeFrame(s.width, s.height, s.width * 4, seed));
    uint32_t width = 0;
    uint32_t height = 0;
    const std::string pixels = Read(&width, &height);
    EXPECT_EQ(width, s.width);
    EXPECT_EQ(height, s.height);
    EXPECT_EQ(pixels, Expected(s.width, s.height, seed));
    seed += 17;
  }
}

// Without a new frame the same pixels are handed out again; a new frame
// lands in the other buffer and leaves the one being read alone.
TEST_F(ZkFrameTextureTest, FrontBufferStaysUntilNextCopy) {
  Take(MakeFrame(4, 4, 16, 20));
  uint32_t width = 0;
  uint32_t height = 0;
  const uint8_t* first = CopyPixels(&width, &height);
  uint32_t again_width = 0;
  uint32_t again_height = 0;
  EXPECT_EQ(CopyPixels(&again_width, &again_height), first);
  EXPECT_EQ(again_width, 4u);
  EXPECT_EQ(again_height, 4u);

  Take(MakeFrame(4, 4, 16, 90));
  const std::string held(reinterpret_cast<const char*>(first), 4 * 4 * 4);
  EXPECT_EQ(held, Expected(4, 4, 20)) << "the producer wrote into the pixels "
                                         "the engine is reading";
  const uint8_t* second = CopyPixels(&width, &height);
  EXPECT_NE(second, first);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(second), 64),
            Expected(4, 4, 90));
}

// However many frames come before the main loop runs, one notice is queued;
// the next frame after it ran queues the next.
TEST_F(ZkFrameTextureTest, BurstQueuesOneNotice) {
  for (int i = 0; i < 5; ++i) {
    Take(MakeFrame(2, 2, 8, i));
  }
  EXPECT_EQ(Marks(), 0u) << "the engine was told off the main loop";
  test_media::Drain();
  EXPECT_EQ(Marks(), 1u);
  test_media::Drain();
  EXPECT_EQ(Marks(), 1u);
  Take(MakeFrame(2, 2, 8, 7));
  test_media::Drain();
  EXPECT_EQ(Marks(), 2u);
  uint32_t width = 0;
  uint32_t height = 0;
  EXPECT_EQ(Read(&width, &height), Expected(2, 2, 7));
}

// A notice that runs after the texture was detached tells the engine
// nothing and only lets go of the texture.
TEST_F(ZkFrameTextureTest, NoticeAfterDetachTouchesNothing) {
  Take(MakeFrame(2, 2, 8, 1));
  zk_frame_texture_detach(texture_);
  test_media::Drain();
  EXPECT_EQ(Marks(), 0u);

  // The queued notice keeps the texture alive on its own.
  Take(MakeFrame(2, 2, 8, 2));
  fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(registrar_),
                                          FL_TEXTURE(texture_));
  test_media::Watch texture(texture_);
  g_clear_object(&texture_);
  EXPECT_TRUE(texture.alive()) << "the queued notice holds no reference";
  test_media::Drain();
  EXPECT_FALSE(texture.alive()) << "the notice kept its reference";
  EXPECT_EQ(Marks(), 0u);
}

// Samples that do not carry a packed RGBA frame change nothing.
TEST_F(ZkFrameTextureTest, UnusableSamplesChangeNothing) {
  Take(MakeFrame(2, 2, 8, 5));
  test_media::Drain();
  const guint marks = Marks();

  g_autoptr(GstBuffer) small = gst_buffer_new_allocate(nullptr, 16, nullptr);
  g_autoptr(GstCaps) rgba = gst_caps_from_string(
      "video/x-raw,format=RGBA,width=8,height=8,framerate=0/1");
  g_autoptr(GstCaps) audio = gst_caps_from_string(
      "audio/x-raw,format=S16LE,layout=interleaved,rate=8000,channels=1");
  g_autoptr(GstCaps) i420 = gst_caps_from_string(
      "video/x-raw,format=I420,width=2,height=2,framerate=0/1");
  g_autoptr(GstBuffer) i420_buffer =
      gst_buffer_new_allocate(nullptr, 64, nullptr);
  gst_buffer_memset(i420_buffer, 0, 0x55, 64);
  const struct {
    const char* what;
    GstBuffer* buffer;
    GstCaps* caps;
  } cases[] = {
      {"no caps", small, nullptr},
      {"no buffer", nullptr, rgba},
      {"audio caps", small, audio},
      {"planar video", i420_buffer, i420},
      {"buffer smaller than its caps", small, rgba},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Take(gst_sample_new(c.buffer, c.caps, nullptr, nullptr));
    test_media::Drain();
    EXPECT_EQ(Marks(), marks);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(Read(&width, &height), Expected(2, 2, 5));
    EXPECT_EQ(width, 2u);
  }
}

// ---------------------------------------------------------------------------
// Frames whose video meta places the rows: they must lie inside the buffer.

constexpr guint kWidth = 4;
constexpr guint kHeight = 3;
constexpr gint kRow = kWidth * 4;

// An RGBA sample, kHeight rows of width, whose buffer holds size bytes of
// value fill and whose video meta puts the first row at offset and the rows
// stride bytes apart.
GstSample* MakeSample(guint width,
                      gsize size,
                      gsize offset,
                      gint stride,
                      guint8 fill) {
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  gst_buffer_memset(buffer, 0, fill, size);
  gsize offsets[GST_VIDEO_MAX_PLANES] = {offset};
  gint strides[GST_VIDEO_MAX_PLANES] = {stride};
  gst_buffer_add_video_meta_full(buffer, GST_VIDEO_FRAME_FLAG_NONE,
                                 GST_VIDEO_FORMAT_RGBA, width, kHeight, 1,
                                 offsets, strides);
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, kHeight, nullptr);
  GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  return sample;
}

// A frame whose video meta places rows past the end of the memory that holds
// them is refused: the texture keeps the frame it had and reads nothing
// outside the buffer. Rows that end exactly at the buffer's end are taken.
TEST_F(ZkFrameTextureTest, RefusesRowsPastTheBuffer) {
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
    Release();
    ASSERT_NO_FATAL_FAILURE(Attach());

    // A first, sound frame of 0x11 bytes.
    Take(MakeSample(kWidth, tight, 0, kRow, 0x11));
    std::string before;
    ASSERT_TRUE(test_media::ReadTexture(registrar_, id_, &before));

    Take(MakeSample(kWidth, c.size, c.offset, c.stride, 0x22));
    std::string after;
    uint32_t width = 0;
    uint32_t height = 0;
    ASSERT_TRUE(
        test_media::ReadTexture(registrar_, id_, &after, &width, &height));
    EXPECT_EQ(width, kWidth);
    EXPECT_EQ(height, kHeight);
    EXPECT_EQ(after,
              std::string(tight, static_cast<char>(c.taken ? 0x22 : 0x11)));
  }
}

// A frame of width 0 whose video meta pads its rows empties the texture, as
// any empty frame does: the engine gets the blank pixel again, and the empty
// buffer is never handed to a copy (undefined even for zero bytes).
TEST_F(ZkFrameTextureTest, EmptiesOnZeroWidthPaddedRows) {
  Take(MakeSample(kWidth, kRow * kHeight, 0, kRow, 0x11));
  std::string before;
  ASSERT_TRUE(test_media::ReadTexture(registrar_, id_, &before));
  // A texture that dropped every frame would be blank from the start.
  ASSERT_EQ(before, std::string(kRow * kHeight, '\x11'));

  Take(MakeSample(0, 64, 0, 16, 0x22));

  std::string after;
  uint32_t width = 0;
  uint32_t height = 0;
  ASSERT_TRUE(
      test_media::ReadTexture(registrar_, id_, &after, &width, &height));
  EXPECT_EQ(width, 1u);
  EXPECT_EQ(height, 1u);
  EXPECT_EQ(after, kBlank);
}

// Packed frames are shown from the decoded buffer itself, held until the
// engine has moved on to the next one; a buffer of a pool with a bound on
// its buffers is copied instead, or the pool would run dry while the engine
// shows it and the decoder would wait for ever.
TEST_F(ZkFrameTextureTest, HoldsOnlyBuffersThatMayBeHeld) {
  GstSample* shape = MakeFrame(4, 2, 16, 0);
  GstCaps* caps = gst_sample_get_caps(shape);
  for (const guint max_buffers : {0u, 2u}) {
    SCOPED_TRACE(testing::Message() << "pool of at most " << max_buffers);
    GstBufferPool* pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(pool);
    gst_buffer_pool_config_set_params(config, caps, 32, 0, max_buffers);
    ASSERT_TRUE(gst_buffer_pool_set_config(pool, config));
    ASSERT_TRUE(gst_buffer_pool_set_active(pool, TRUE));
    GstBuffer* buffer = nullptr;
    ASSERT_EQ(gst_buffer_pool_acquire_buffer(pool, &buffer, nullptr),
              GST_FLOW_OK);
    gst_buffer_fill(buffer, 0, Expected(4, 2, 30).data(), 32);
    Take(gst_sample_new(buffer, caps, nullptr, nullptr));
    const bool held = GST_MINI_OBJECT_REFCOUNT_VALUE(buffer) > 1;
    gst_buffer_unref(buffer);
    EXPECT_EQ(held, max_buffers == 0);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(Read(&width, &height), Expected(4, 2, 30));
    // The next frame shown lets the held one go back to its pool.
    Take(MakeFrame(4, 2, 16, 60));
    EXPECT_EQ(Read(&width, &height), Expected(4, 2, 60));
    GstBufferPoolAcquireParams params = {};
    params.flags = GST_BUFFER_POOL_ACQUIRE_FLAG_DONTWAIT;
    GstBuffer* again[2] = {nullptr, nullptr};
    for (GstBuffer*& one : again) {
      EXPECT_EQ(gst_buffer_pool_acquire_buffer(pool, &one, &params),
                GST_FLOW_OK);
    }
    for (GstBuffer* one : again) {
      if (one != nullptr) {
        gst_buffer_unref(one);
      }
    }
    gst_buffer_pool_set_active(pool, FALSE);
    gst_object_unref(pool);
  }
  gst_sample_unref(shape);
}

}  // namespace
