// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The video plugin's frame texture fed samples that no well-behaved pipeline
// would make: caps of any video format and of none, sizes from 0 to huge,
// buffers shorter or longer than the caps claim, video metas with their own
// offsets and strides. The producer runs on the main thread or on threads of
// its own, while the engine's side reads through copy_pixels from one reading
// thread, at the same time or in between. Whatever copy_pixels hands out is
// read whole; it is always a picture the texture was given, the blank pixel,
// or the picture before, and a plain RGBA frame shows exactly as it was
// given. Once detached the texture makes no more engine calls.
#include <flutter_linux/flutter_linux.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fl_fake_texture_registrar.h"
#include "fuzz_support.h"
#include "zk_frame_texture.h"

namespace {

using zk_fuzz::Fail;

constexpr int kMaxOperations = 24;
// Buffers are never made larger than this, whatever the caps say.
constexpr size_t kMaxBufferSize = 8 * 1024 * 1024;

// A picture as the engine received it.
struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  std::string pixels;

  bool operator==(const Picture& other) const {
    return width == other.width && height == other.height &&
           pixels == other.pixels;
  }
};

Picture Blank() {
  return Picture{1, 1, std::string(4, '\0')};
}

// The engine's texture-reading thread: one thread, one read at a time, as
// the engine promises the texture.
class Reader {
 public:
  explicit Reader(FlPixelBufferTexture* texture)
      : texture_(texture), thread_([this] { Loop(); }) {}
  ~Reader() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Starts a read.
  void Request() {
    std::lock_guard<std::mutex> lock(mutex_);
    requested_++;
    wake_.notify_all();
  }
  // Waits for the reads requested so far; the last one's picture.
  Picture Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return done_ == requested_; });
    return last_;
  }
  Picture Read() {
    Request();
    return Wait();
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return quit_ || done_ < requested_; });
      if (done_ < requested_) {
        lock.unlock();
        Picture picture = CopyPixels();
        lock.lock();
        last_ = std::move(picture);
        done_++;
        wake_.notify_all();
        continue;
      }
      return;
    }
  }

  Picture CopyPixels() {
    const uint8_t* buffer = nullptr;
    uint32_t width = 0;
    uint32_t height = 0;
    g_autoptr(GError) error = nullptr;
    if (!FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(texture_)->copy_pixels(
            texture_, &buffer, &width, &height, &error)) {
      Fail("copy_pixels failed: %s",
           error != nullptr ? error->message : "(no error)");
    }
    if (buffer == nullptr || width == 0 || height == 0) {
      Fail("copy_pixels handed out %p as %ux%u", buffer, width, height);
    }
    // Read it whole, as the engine does; a buffer shorter than its size is
    // an overflow that AddressSanitizer reports here.
    Picture picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.assign(reinterpret_cast<const char*>(buffer),
                          static_cast<size_t>(width) * height * 4);
    return picture;
  }

  FlPixelBufferTexture* texture_;
  std::mutex mutex_;
  std::condition_variable wake_;
  int requested_ = 0;
  int done_ = 0;
  bool quit_ = false;
  Picture last_;
  std::thread thread_;
};

const char* const kFormats[] = {"RGBA", "RGBA", "RGBA", "RGBA", "RGBx",
                                "BGRA", "ARGB", "RGB",  "I420", "NV12",
                                "GRAY8", "v210", "UYVY", "RGBA64_LE",
                                "ENCODED", "nonsense"};

const char* const kMediaTypes[] = {"video/x-raw", "video/x-raw",
                                   "video/x-raw", "video/x-raw(memory:DMABuf)",
                                   "image/jpeg",  "audio/x-raw"};

int32_t GenerateDimension(zk_fuzz::Input* in) {
  const int32_t special[] = {0,    1,     2,     3,      7,
                             64,   255,   4097,  16384,  65535,
                             -1,   G_MAXINT32, 1 << 20};
  switch (in->Below(4)) {
    case 0:
      return special[in->Below(G_N_ELEMENTS(special))];
    case 1:
      return static_cast<int32_t>(in->U32());
    default:
      return 1 + in->Below(48);
  }
}

// One made-up sample and, when it can be told, the picture it holds.
struct Sample {
  GstSample* sample = nullptr;  // Owned.
  // Set when the sample is packed RGBA whose rows all lie in its buffer:
  // then it may only show as exactly this.
  std::optional<Picture> picture;
  // Set when the sample may change the picture at all.
  bool may_show = false;
  // Set when it may, and is a frame of no pixels: it shows as blank.
  bool empty = false;

  ~Sample() {
    if (sample != nullptr) {
      gst_sample_unref(sample);
    }
  }
};

void MakeSample(zk_fuzz::Input* in, Sample* out) {
  const char* format = kFormats[in->Below(G_N_ELEMENTS(kFormats))];
  const char* media_type = kMediaTypes[in->Below(G_N_ELEMENTS(kMediaTypes))];
  const int32_t width = GenerateDimension(in);
  const int32_t height = GenerateDimension(in);
  g_autoptr(GstCaps) caps = nullptr;
  switch (in->Below(8)) {
    case 0:
      break;  // No caps at all.
    case 1:
      caps = gst_caps_from_string(media_type);  // No fields.
      break;
    default: {
      g_autofree gchar* text = g_strdup_printf(
          "%s,format=%s,width=%d,height=%d,framerate=%d/1%s", media_type,
          format, width, height, in->Below(61),
          in->Below(4) == 0 ? ",interlace-mode=interleaved" : "");
      caps = gst_caps_from_string(text);
      break;
    }
  }

  GstVideoInfo info;
  const bool described =
      caps != nullptr && gst_video_info_from_caps(&info, caps);
  const size_t claimed = described ? GST_VIDEO_INFO_SIZE(&info) : 0;
  size_t size = 0;
  switch (in->Below(6)) {
    case 0:
      size = 0;
      break;
    case 1:
      size = in->Below(4096);
      break;
    case 2:
      size = claimed > 0 ? claimed - std::min<size_t>(claimed, 1 + in->Below(64))
                         : 0;
      break;
    case 3:
      size = claimed + in->Below(256);
      break;
    default:
      size = claimed;
      break;
  }
  size = std::min(size, kMaxBufferSize);

  g_autoptr(GstBuffer) buffer = nullptr;
  if (in->Below(16) != 0) {
    buffer = gst_buffer_new_allocate(nullptr, size, nullptr);
    GstMapInfo map;
    if (size > 0 && gst_buffer_map(buffer, &map, GST_MAP_WRITE)) {
      // A pattern that differs from row to row, repeated past its first
      // block: filling megabytes byte by byte would dominate the run.
      const uint8_t seed = in->Byte();
      const size_t block = std::min<size_t>(map.size, 65521);
      for (size_t i = 0; i < block; i++) {
        map.data[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
      }
      for (size_t done = block; done < map.size;) {
        const size_t n = std::min(block, map.size - done);
        memcpy(map.data + done, map.data, n);
        done += n;
      }
      gst_buffer_unmap(buffer, &map);
    }
  }

  // A video meta of the buffer's own, consistent with the caps except for
  // where its first plane starts and how long its rows are.
  gsize offset = 0;
  gint stride = described ? GST_VIDEO_INFO_PLANE_STRIDE(&info, 0) : 0;
  bool with_meta = false;
  if (buffer != nullptr && described && in->Below(3) == 0) {
    gsize offsets[GST_VIDEO_MAX_PLANES] = {};
    gint strides[GST_VIDEO_MAX_PLANES] = {};
    for (guint plane = 0; plane < GST_VIDEO_INFO_N_PLANES(&info); plane++) {
      offsets[plane] = GST_VIDEO_INFO_PLANE_OFFSET(&info, plane);
      strides[plane] = GST_VIDEO_INFO_PLANE_STRIDE(&info, plane);
    }
    const int64_t row = static_cast<int64_t>(GST_VIDEO_INFO_WIDTH(&info)) * 4;
    const int64_t choices[] = {row,        row + 4, row + 64,
                               row - 4,    0,       -row,
                               G_MAXINT32, static_cast<int32_t>(in->U32())};
    strides[0] = static_cast<gint>(std::clamp<int64_t>(
        choices[in->Below(G_N_ELEMENTS(choices))], G_MININT32, G_MAXINT32));
    offsets[0] = in->Below(3) == 0 ? in->Below(size + 2) : 0;
    gst_buffer_add_video_meta_full(
        buffer, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_INFO_FORMAT(&info),
        GST_VIDEO_INFO_WIDTH(&info), GST_VIDEO_INFO_HEIGHT(&info),
        GST_VIDEO_INFO_N_PLANES(&info), offsets, strides);
    offset = offsets[0];
    stride = strides[0];
    with_meta = true;
  }

  if (g_getenv("ZK_FUZZ_VERBOSE") != nullptr) {
    g_autofree gchar* text = caps != nullptr ? gst_caps_to_string(caps) : nullptr;
    fprintf(stderr, "sample: %s, buffer %s of %zu bytes, meta %d offset %zu stride %d\n",
            text != nullptr ? text : "(no caps)", buffer != nullptr ? "yes" : "no", size,
            with_meta, offset, stride);
  }
  out->sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  out->may_show = described && buffer != nullptr &&
                  GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_RGBA;
  if (!out->may_show) {
    return;
  }
  const size_t w = GST_VIDEO_INFO_WIDTH(&info);
  const size_t h = GST_VIDEO_INFO_HEIGHT(&info);
  const size_t row = w * 4;
  if (w == 0 || h == 0) {
    out->empty = true;
    return;
  }
  if (stride < 0 || static_cast<size_t>(stride) < row) {
    return;
  }
  const size_t end = offset + (h - 1) * static_cast<size_t>(stride) + row;
  if (end > size || (!with_meta && size < claimed)) {
    return;
  }
  Picture picture;
  picture.width = w;
  picture.height = h;
  GstMapInfo map;
  gst_buffer_map(buffer, &map, GST_MAP_READ);
  for (size_t r = 0; r < h; r++) {
    picture.pixels.append(
        reinterpret_cast<const char*>(map.data) + offset + r * stride, row);
  }
  gst_buffer_unmap(buffer, &map);
  out->picture = std::move(picture);
}

class Run {
 public:
  Run() {
    textures_ = fl_fake_texture_registrar_new();
    texture_ =
        ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
    zk_frame_texture_set_registrar(texture_, FL_TEXTURE_REGISTRAR(textures_));
    fl_texture_registrar_register_texture(FL_TEXTURE_REGISTRAR(textures_),
                                          FL_TEXTURE(texture_));
    id_ = fl_texture_get_id(FL_TEXTURE(texture_));
    reader_ = new Reader(FL_PIXEL_BUFFER_TEXTURE(texture_));
    shown_ = reader_->Read();
    if (!(shown_ == Blank())) {
      Fail("a texture without frames shows something else than blank");
    }
  }

  ~Run() {
    delete reader_;
    g_clear_object(&texture_);
    g_object_unref(textures_);
  }

  void Execute(zk_fuzz::Input* in) {
    for (int i = 0; i < kMaxOperations && !in->empty(); i++) {
      switch (in->Below(6)) {
        case 0:
        case 1:
        case 2:
          Frame(in, false);
          break;
        case 3:
          Frame(in, true);
          break;
        case 4:
          Check(reader_->Read(), nullptr, "a second read");
          break;
        default:
          zk_fuzz::DrainLoop();
          break;
      }
    }
  }

  void Finish() {
    zk_fuzz::DrainLoop();
    if (taken_ > 0 &&
        fl_fake_texture_registrar_get_frames_marked(textures_, id_) == 0) {
      Fail("frames arrived and the engine was never told");
    }
    // Notices may still be queued; after the detach they do nothing.
    zk_frame_texture_detach(texture_);
    const guint marked =
        fl_fake_texture_registrar_get_frames_marked(textures_, id_);
    Sample sample;
    zk_fuzz::Input plain(nullptr, 0);
    MakeSample(&plain, &sample);
    zk_frame_texture_take_frame(texture_, sample.sample);
    zk_fuzz::DrainLoop();
    if (fl_fake_texture_registrar_get_frames_marked(textures_, id_) != marked) {
      Fail("a detached texture still marks frames");
    }
    fl_texture_registrar_unregister_texture(FL_TEXTURE_REGISTRAR(textures_),
                                            FL_TEXTURE(texture_));
    delete reader_;
    reader_ = nullptr;
    g_clear_object(&texture_);
    zk_fuzz::DrainLoop();
  }

 private:
  // A read shows the picture before or, when the sample could change it,
  // exactly what the sample holds.
  void Check(const Picture& read, const Sample* sample, const char* when) {
    if (read == shown_) {
      return;
    }
    if (sample != nullptr && sample->picture.has_value() &&
        read == *sample->picture) {
      shown_ = read;
      return;
    }
    if (sample != nullptr && sample->empty && read == Blank()) {
      shown_ = read;
      return;
    }
    Fail("%s shows a %ux%u picture the texture was never given", when,
         read.width, read.height);
  }

  void Frame(zk_fuzz::Input* in, bool while_reading) {
    Sample sample;
    MakeSample(in, &sample);
    const bool on_thread = in->Bool();
    if (while_reading) {
      reader_->Request();
    }
    if (on_thread) {
      // A streaming thread of its own, as each pipeline has.
      std::thread producer(
          [this, &sample] { zk_frame_texture_take_frame(texture_, sample.sample); });
      producer.join();
    } else {
      zk_frame_texture_take_frame(texture_, sample.sample);
    }
    if (while_reading) {
      // Read while the frame came in: the frame before or this one.
      Check(reader_->Wait(), &sample, "a read during a frame");
    }
    const Picture read = reader_->Read();
    Check(read, &sample, "a read after a frame");
    if (sample.picture.has_value() && !(read == *sample.picture)) {
      Fail("a plain %ux%u RGBA frame did not show as given",
           sample.picture->width, sample.picture->height);
    }
    if (sample.picture.has_value()) {
      taken_++;
    }
  }

  FlFakeTextureRegistrar* textures_ = nullptr;
  ZkFrameTexture* texture_ = nullptr;
  int64_t id_ = 0;
  Reader* reader_ = nullptr;
  Picture shown_;
  int taken_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zk_fuzz::InitEnvironment(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zk_fuzz::Input in(data, size);
  Run run;
  run.Execute(&in);
  run.Finish();
  return 0;
}
