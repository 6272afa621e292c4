// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gst/video/video.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_fake_texture_registrar.h"
#include "player.h"
#include "tsan_support.h"
#include "zk_frame_texture.h"

namespace {

// An RGBA sample of width x height whose bytes all hold value.
GstSample* MakeFrame(int width, int height, guint8 value) {
  const gsize size = static_cast<gsize>(width) * height * 4;
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  gst_buffer_memset(buffer, 0, value, size);
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, height, nullptr);
  GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  return sample;
}

// Reads the texture the way the engine's raster thread does, over and over,
// until told to stop; every picture is read whole and must be of one value.
class Reader {
 public:
  explicit Reader(FlPixelBufferTexture* texture)
      : texture_(FL_PIXEL_BUFFER_TEXTURE(g_object_ref(texture))),
        thread_([this] { Loop(); }) {}
  ~Reader() {
    Stop();
    g_object_unref(texture_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  void Stop() {
    stop_ = true;
    if (thread_.joinable()) {
      thread_.join();
    }
  }
  int reads() const { return reads_; }
  int mixed() const { return mixed_; }

 private:
  void Loop() {
    auto* klass = FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(texture_);
    std::vector<uint8_t> copy;
    while (!stop_) {
      const uint8_t* buffer = nullptr;
      uint32_t width = 0;
      uint32_t height = 0;
      if (!klass->copy_pixels(texture_, &buffer, &width, &height, nullptr)) {
        continue;
      }
      copy.assign(buffer, buffer + static_cast<size_t>(width) * height * 4);
      for (uint8_t byte : copy) {
        if (byte != copy[0]) {
          mixed_++;
          break;
        }
      }
      reads_++;
    }
  }

  FlPixelBufferTexture* texture_;
  std::atomic<bool> stop_{false};
  std::atomic<int> reads_{0};
  std::atomic<int> mixed_{0};
  std::thread thread_;
};

// A producer thread fills the texture while the engine's thread reads it and
// the main loop delivers frame notices; at the end the texture goes while
// notices may still be queued. Every picture read is one whole frame.
TEST(FrameTextureThreads, ProducerReaderAndNotices) {
  g_autoptr(FlFakeTextureRegistrar) registrar = fl_fake_texture_registrar_new();
  ZkFrameTexture* texture =
      ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
  gpointer alive = texture;
  g_object_add_weak_pointer(G_OBJECT(texture), &alive);
  zk_frame_texture_set_registrar(texture, FL_TEXTURE_REGISTRAR(registrar));
  ASSERT_TRUE(fl_texture_registrar_register_texture(
      FL_TEXTURE_REGISTRAR(registrar), FL_TEXTURE(texture)));
  const int64_t id = fl_texture_get_id(FL_TEXTURE(texture));

  constexpr int kFrames = 400;
  std::atomic<bool> produced{false};
  {
    Reader reader(FL_PIXEL_BUFFER_TEXTURE(texture));
    std::thread producer([texture, &produced] {
      const int sizes[][2] = {{8, 8}, {16, 4}, {3, 5}, {0, 0}, {32, 32}};
      for (int i = 0; i < kFrames; i++) {
        const auto& size = sizes[i % G_N_ELEMENTS(sizes)];
        GstSample* sample = MakeFrame(size[0], size[1], i & 0xff);
        zk_frame_texture_take_frame(texture, sample);
        gst_sample_unref(sample);
      }
      produced = true;
    });
    EXPECT_TRUE(tsan_support::WaitUntil([&] { return produced.load(); },
                                        60000));
    producer.join();
    tsan_support::WaitUntil([&] { return reader.reads() > 0; }, 10000);
    reader.Stop();
    EXPECT_GT(reader.reads(), 0);
    EXPECT_EQ(reader.mixed(), 0) << "a read saw parts of two frames";
  }
  tsan_support::Drain();
  const guint marked = fl_fake_texture_registrar_get_frames_marked(registrar, id);
  EXPECT_GE(marked, 1u);
  EXPECT_LE(marked, static_cast<guint>(kFrames));

  // A last frame queues a notice that must find the texture detached.
  GstSample* last = MakeFrame(4, 4, 7);
  std::thread([texture, last] { zk_frame_texture_take_frame(texture, last); })
      .join();
  gst_sample_unref(last);
  zk_frame_texture_detach(texture);
  fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(registrar),
                                          FL_TEXTURE(texture));
  g_object_unref(texture);
  tsan_support::Drain();
  EXPECT_EQ(fl_fake_texture_registrar_get_frames_marked(registrar, id), marked);
  EXPECT_EQ(alive, nullptr) << "the texture outlived its last notice";
}

// A playing player: GStreamer's streaming thread copies frames in, the
// engine's thread reads them, the main loop announces them; the player is
// destroyed while all of that goes on.
TEST(FrameTextureThreads, PlayingPlayer) {
  const std::string clip = tsan_support::Clip("player.mp4", 45, false);
  ASSERT_FALSE(clip.empty());
  g_autofree gchar* uri = g_filename_to_uri(clip.c_str(), nullptr, nullptr);
  g_autoptr(FlFakeTextureRegistrar) registrar = fl_fake_texture_registrar_new();
  g_autoptr(FlFakeMessenger) messenger = fl_fake_messenger_new();
  for (int round = 0; round < 3; round++) {
    SCOPED_TRACE(round);
    auto player = std::make_unique<Player>(FL_TEXTURE_REGISTRAR(registrar),
                                           FL_BINARY_MESSENGER(messenger), uri);
    ASSERT_TRUE(player->HasPipeline());
    const int64_t id = player->Id();
    Reader reader(FL_PIXEL_BUFFER_TEXTURE(player->Texture()));
    player->Play();
    EXPECT_TRUE(tsan_support::WaitUntil(
        [&] {
          return fl_fake_texture_registrar_get_frames_marked(registrar, id) >=
                 static_cast<guint>(3 + round * 5);
        },
        30000));
    // Torn down mid-stream, the reader still reading.
    player.reset();
    reader.Stop();
    EXPECT_GT(reader.reads(), 0);
    EXPECT_FALSE(fl_fake_texture_registrar_is_registered(registrar, id));
    tsan_support::Drain();
  }
}

}  // namespace
