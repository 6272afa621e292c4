// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "zk_frame_texture.h"

#include <gst/video/video.h>

#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace {

// One fully transparent black pixel, handed out while there is no frame.
constexpr uint8_t kBlank[4] = {0, 0, 0, 0};

constexpr uint32_t kBytesPerPixel = 4;

// One frame the texture holds. When its rows are packed and its memory may
// be kept, that is the decoded buffer itself, mapped: the first frame of a
// video then reaches the engine without a copy of its pixels into fresh
// pages, which took 8 to 10 ms at 1080p and 20 to 30 ms at 4K of the time
// to open it. Otherwise the pixels are copied, packed, into a store of its
// own that keeps its capacity from frame to frame.
struct HeldFrame {
  GstVideoFrame video = {};
  bool mapped = false;  // video maps and holds a buffer.
  std::vector<uint8_t> copy;
  const uint8_t* pixels = nullptr;  // Null: no pixels, the blank is shown.
  uint32_t width = 0;
  uint32_t height = 0;

  // Forgets the mapping and hands it to stale, which must be unmapped once
  // the lock is released: the buffer may go back to its pool there.
  void Drop(GstVideoFrame* stale, bool* stale_mapped) {
    *stale_mapped = mapped;
    if (mapped) {
      *stale = video;
      mapped = false;
    }
    pixels = nullptr;
  }
};

void UnmapStale(GstVideoFrame* stale, bool stale_mapped) {
  if (stale_mapped) {
    gst_video_frame_unmap(stale);
  }
}

// Whether holding buffer for as long as the engine shows it is safe: a pool
// with a bound on its buffers would run dry while the texture holds two of
// them and the sink queues more, and the decoder would wait for ever.
bool MayHold(GstBuffer* buffer) {
  GstBufferPool* pool = buffer->pool;
  if (pool == nullptr) {
    return true;
  }
  GstStructure* config = gst_buffer_pool_get_config(pool);
  guint max_buffers = 1;
  const gboolean read =
      gst_buffer_pool_config_get_params(config, nullptr, nullptr, nullptr,
                                        &max_buffers);
  gst_structure_free(config);
  return read && max_buffers == 0;
}

}  // namespace

struct _ZkFrameTexture {
  FlPixelBufferTexture parent_instance;

  // Guards the two frames and frame_ready.
  std::mutex* mutex;
  // The producer fills back; copy_pixels hands out front. They trade roles
  // only inside copy_pixels.
  HeldFrame* back;
  HeldFrame* front;
  // back holds a frame the engine has not taken yet.
  bool frame_ready;

  // Main thread only: set just before the owner unregisters the texture.
  gboolean detached;
  // Borrowed; main thread only.
  FlTextureRegistrar* registrar;
  // 1 while a frame-available notice is queued on the main loop.
  gint idle_pending;
};

G_DEFINE_TYPE(ZkFrameTexture,
              zk_frame_texture,
              fl_pixel_buffer_texture_get_type())

// Runs on the main loop after frames arrived: tells the engine to draw again.
static gboolean mark_frame_available(gpointer user_data) {
  ZkFrameTexture* self = ZK_FRAME_TEXTURE(user_data);
  // Cleared before telling the engine, so a frame that arrives meanwhile
  // queues a notice of its own and none is left unannounced.
  g_atomic_int_set(&self->idle_pending, 0);
  if (!self->detached && self->registrar != nullptr) {
    fl_texture_registrar_mark_texture_frame_available(self->registrar,
                                                      FL_TEXTURE(self));
  }
  g_object_unref(self);
  return G_SOURCE_REMOVE;
}

// Called by the engine on its drawing thread. Only swaps frames: the pixels
// are there already, and the frame the engine read before goes back.
static gboolean zk_frame_texture_copy_pixels(FlPixelBufferTexture* texture,
                                             const uint8_t** out_buffer,
                                             uint32_t* width,
                                             uint32_t* height,
                                             GError** error) {
  ZkFrameTexture* self = ZK_FRAME_TEXTURE(texture);
  if (self->mutex == nullptr) {
    // Disposed: nothing to show but the blank pixel.
    *out_buffer = kBlank;
    *width = 1;
    *height = 1;
    return TRUE;
  }
  GstVideoFrame stale;
  bool stale_mapped = false;
  {
    std::lock_guard<std::mutex> lock(*self->mutex);
    if (self->frame_ready) {
      std::swap(self->back, self->front);
      self->back->Drop(&stale, &stale_mapped);
      self->frame_ready = false;
    }
    if (self->front->pixels == nullptr) {
      *out_buffer = kBlank;
      *width = 1;
      *height = 1;
    } else {
      *out_buffer = self->front->pixels;
      *width = self->front->width;
      *height = self->front->height;
    }
  }
  UnmapStale(&stale, stale_mapped);
  return TRUE;
}

static void zk_frame_texture_dispose(GObject* object) {
  ZkFrameTexture* self = ZK_FRAME_TEXTURE(object);
  delete self->mutex;
  self->mutex = nullptr;
  for (HeldFrame** frame : {&self->back, &self->front}) {
    if (*frame != nullptr) {
      GstVideoFrame stale;
      bool stale_mapped = false;
      (*frame)->Drop(&stale, &stale_mapped);
      UnmapStale(&stale, stale_mapped);
      delete *frame;
      *frame = nullptr;
    }
  }
  G_OBJECT_CLASS(zk_frame_texture_parent_class)->dispose(object);
}

static void zk_frame_texture_class_init(ZkFrameTextureClass* klass) {
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      zk_frame_texture_copy_pixels;
  G_OBJECT_CLASS(klass)->dispose = zk_frame_texture_dispose;
}

static void zk_frame_texture_init(ZkFrameTexture* self) {
  self->mutex = new std::mutex();
  self->back = new HeldFrame();
  self->front = new HeldFrame();
  self->frame_ready = false;
  self->detached = FALSE;
  self->idle_pending = 0;
}

void zk_frame_texture_set_registrar(ZkFrameTexture* self,
                                    FlTextureRegistrar* registrar) {
  g_return_if_fail(ZK_IS_FRAME_TEXTURE(self));
  self->registrar = registrar;
}

void zk_frame_texture_detach(ZkFrameTexture* self) {
  g_return_if_fail(ZK_IS_FRAME_TEXTURE(self));
  self->detached = TRUE;
}

void zk_frame_texture_take_frame(ZkFrameTexture* self, GstSample* sample) {
  GstCaps* caps = gst_sample_get_caps(sample);
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  if (caps == nullptr || buffer == nullptr || self->mutex == nullptr) {
    return;
  }
  GstVideoInfo info;
  if (!gst_video_info_from_caps(&info, caps)) {
    return;
  }
  // Anything but packed RGBA would be read past its planes' ends below.
  if (GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_RGBA) {
    return;
  }
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
    return;
  }
  const uint32_t width = GST_VIDEO_FRAME_WIDTH(&frame);
  const uint32_t height = GST_VIDEO_FRAME_HEIGHT(&frame);
  const auto* pixels =
      static_cast<const uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
  const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
  const size_t row_bytes = static_cast<size_t>(width) * kBytesPerPixel;
  // A buffer's own video meta may claim rows shorter than the pixels in them,
  // or place rows past the end of the memory that holds them: GStreamer maps
  // such a frame all the same, and the copy would read beyond it.
  const GstMapInfo& plane = frame.map[0];
  const size_t start = static_cast<size_t>(pixels - plane.data);
  if (stride < 0 || static_cast<size_t>(stride) < row_bytes ||
      (height > 0 && row_bytes > 0 &&
       (pixels < plane.data || start > plane.size ||
        (height - 1) * static_cast<uint64_t>(stride) + row_bytes >
            plane.size - start))) {
    gst_video_frame_unmap(&frame);
    return;
  }
  const size_t size = row_bytes * height;
  const bool hold = size > 0 && static_cast<size_t>(stride) == row_bytes &&
                    MayHold(buffer);
  GstVideoFrame stale;
  bool stale_mapped = false;
  {
    std::lock_guard<std::mutex> lock(*self->mutex);
    HeldFrame* back = self->back;
    back->Drop(&stale, &stale_mapped);
    if (hold) {
      // The mapping keeps its own reference to the buffer.
      back->video = frame;
      back->mapped = true;
      back->pixels = pixels;
    } else if (size > 0) {
      back->copy.resize(size);
      uint8_t* destination = back->copy.data();
      if (static_cast<size_t>(stride) == row_bytes) {
        memcpy(destination, pixels, size);
      } else {
        for (uint32_t row = 0; row < height; ++row) {
          memcpy(destination + row * row_bytes,
                 pixels + static_cast<size_t>(row) * stride, row_bytes);
        }
      }
      back->pixels = destination;
    }
    // An empty frame keeps no pixels and shows the blank.
    back->width = width;
    back->height = height;
    self->frame_ready = true;
  }
  if (!hold) {
    gst_video_frame_unmap(&frame);
  }
  UnmapStale(&stale, stale_mapped);

  if (g_atomic_int_compare_and_exchange(&self->idle_pending, 0, 1)) {
    g_idle_add_full(G_PRIORITY_DEFAULT, mark_frame_available,
                    g_object_ref(self), nullptr);
  }
}
