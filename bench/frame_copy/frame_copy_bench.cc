// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// How much a decoded frame costs the frame texture on the streaming thread,
// next to the least any copy of it can cost: one memcpy of the whole frame.
// Both run in the same process on frames of the same bytes, interleaved, so
// that the ratio holds even when the machine's speed drifts. Each has sources
// of its own, so that neither reads a frame the other just pulled into the
// cache.
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "zk_frame_texture.h"

namespace {

using Clock = std::chrono::steady_clock;

// Source frames per contender, cycled: more than the caches hold.
constexpr int kSources = 4;

struct Size {
  int width;
  int height;
  int frames;
};

constexpr Size kSizes[] = {{1920, 1080, 300}, {3840, 2160, 120}};

GstSample* MakeFrame(int width, int height, guint8 seed) {
  const gsize size = static_cast<gsize>(width) * height * 4;
  GstBuffer* buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_WRITE);
  for (gsize i = 0; i < size; ++i) {
    map.data[i] = static_cast<guint8>(seed + i * 7);
  }
  gst_buffer_unmap(buffer, &map);
  GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING,
                                      "RGBA", "width", G_TYPE_INT, width,
                                      "height", G_TYPE_INT, height, "framerate",
                                      GST_TYPE_FRACTION, 30, 1, nullptr);
  GstSample* sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  gst_buffer_unref(buffer);
  gst_caps_unref(caps);
  return sample;
}

// What the engine does between frames: take the frame (a buffer swap) and
// run the frame-available notice.
void Consume(ZkFrameTexture* texture) {
  const uint8_t* pixels = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(texture)->copy_pixels(
      FL_PIXEL_BUFFER_TEXTURE(texture), &pixels, &width, &height, nullptr);
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double Mean(const std::vector<double>& values) {
  double sum = 0;
  for (double value : values) {
    sum += value;
  }
  return sum / values.size();
}

void Measure(const Size& size) {
  const gsize bytes = static_cast<gsize>(size.width) * size.height * 4;
  GstSample* samples[kSources];
  // The same bytes again, in memory of their own, for the memcpy.
  GstSample* copies[kSources];
  GstMapInfo maps[kSources];
  for (int i = 0; i < kSources; ++i) {
    samples[i] = MakeFrame(size.width, size.height, static_cast<guint8>(i));
    copies[i] = MakeFrame(size.width, size.height, static_cast<guint8>(i));
    gst_buffer_map(gst_sample_get_buffer(copies[i]), &maps[i], GST_MAP_READ);
  }
  // Two destinations, as the texture's two buffers trade roles.
  std::vector<uint8_t> destinations[2] = {std::vector<uint8_t>(bytes, 1),
                                          std::vector<uint8_t>(bytes, 2)};
  // No registrar: the notices run but tell no engine.
  auto* texture =
      ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));

  for (int i = 0; i < 2 * kSources; ++i) {
    zk_frame_texture_take_frame(texture, samples[i % kSources]);
    Consume(texture);
    memcpy(destinations[i % 2].data(), maps[i % kSources].data, bytes);
  }

  std::vector<double> take_ms;
  std::vector<double> memcpy_ms;
  for (int i = 0; i < size.frames; ++i) {
    const auto start = Clock::now();
    zk_frame_texture_take_frame(texture, samples[i % kSources]);
    const auto taken = Clock::now();
    Consume(texture);
    const auto copy_start = Clock::now();
    memcpy(destinations[i % 2].data(), maps[i % kSources].data, bytes);
    const auto copied = Clock::now();
    take_ms.push_back(
        std::chrono::duration<double, std::milli>(taken - start).count());
    memcpy_ms.push_back(
        std::chrono::duration<double, std::milli>(copied - copy_start).count());
  }

  const double take_mean = Mean(take_ms);
  const double memcpy_mean = Mean(memcpy_ms);
  g_print("%dx%d RGBA, %" G_GSIZE_FORMAT " bytes, %d frames\n", size.width,
          size.height, bytes, size.frames);
  g_print("  take_frame  %7.3f ms/frame (median %.3f), %6.1f frames/s\n",
          take_mean, Median(take_ms), 1000.0 / take_mean);
  g_print("  memcpy      %7.3f ms/frame (median %.3f), %6.1f frames/s\n",
          memcpy_mean, Median(memcpy_ms), 1000.0 / memcpy_mean);
  g_print(
      "  ratio       %7.3f of the means, %.3f of the medians "
      "(take_frame / memcpy; target at most 1.10)\n",
      take_mean / memcpy_mean, Median(take_ms) / Median(memcpy_ms));
  // One row of the benchmark table that bench/run prints.
  g_print("TABLE|take_frame %dx%d, median|%.3f ms|one memcpy of the frame|"
          "%.3f ms|%.2fx|<= 1.10x\n",
          size.width, size.height, Median(take_ms), Median(memcpy_ms),
          Median(take_ms) / Median(memcpy_ms));

  g_object_unref(texture);
  for (int i = 0; i < kSources; ++i) {
    gst_buffer_unmap(gst_sample_get_buffer(copies[i]), &maps[i]);
    gst_sample_unref(copies[i]);
    gst_sample_unref(samples[i]);
  }
}

}  // namespace

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  for (const Size& size : kSizes) {
    Measure(size);
  }
  return 0;
}
