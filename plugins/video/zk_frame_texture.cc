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

}  // namespace

struct _ZkFrameTexture {
  FlPixelBufferTexture parent_instance;

  // Guards the two buffer pointers, the four sizes and frame_ready.
  std::mutex* mutex;
  // Tightly packed RGBA, width * height * 4 bytes for their sizes. The
  // producer fills back_buffer; copy_pixels hands out front_buffer. They trade
  // roles only inside copy_pixels, so both keep their capacity.
  std::vector<uint8_t>* back_buffer;
  std::vector<uint8_t>* front_buffer;
  uint32_t back_width;
  uint32_t back_height;
  uint32_t front_width;
  uint32_t front_height;
  // back_buffer holds a frame the engine has not taken yet.
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

// Called by the engine on its drawing thread. Only swaps buffers: the pixels
// were copied once already, on the streaming thread.
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
  std::lock_guard<std::mutex> lock(*self->mutex);
  if (self->frame_ready) {
    std::swap(self->back_buffer, self->front_buffer);
    self->front_width = self->back_width;
    self->front_height = self->back_height;
    self->frame_ready = false;
  }
  if (self->front_buffer->empty()) {
    *out_buffer = kBlank;
    *width = 1;
    *height = 1;
  } else {
    *out_buffer = self->front_buffer->data();
    *width = self->front_width;
    *height = self->front_height;
  }
  return TRUE;
}

static void zk_frame_texture_dispose(GObject* object) {
  ZkFrameTexture* self = ZK_FRAME_TEXTURE(object);
  delete self->mutex;
  self->mutex = nullptr;
  delete self->back_buffer;
  self->back_buffer = nullptr;
  delete self->front_buffer;
  self->front_buffer = nullptr;
  G_OBJECT_CLASS(zk_frame_texture_parent_class)->dispose(object);
}

static void zk_frame_texture_class_init(ZkFrameTextureClass* klass) {
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      zk_frame_texture_copy_pixels;
  G_OBJECT_CLASS(klass)->dispose = zk_frame_texture_dispose;
}

static void zk_frame_texture_init(ZkFrameTexture* self) {
  self->mutex = new std::mutex();
  self->back_buffer = new std::vector<uint8_t>();
  self->front_buffer = new std::vector<uint8_t>();
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
  {
    std::lock_guard<std::mutex> lock(*self->mutex);
    const size_t size = row_bytes * height;
    self->back_buffer->resize(size);
    uint8_t* destination = self->back_buffer->data();
    if (size == 0) {
      // An empty frame: the buffer has no storage to copy into, and memcpy
      // must not be handed its null pointer even for zero bytes.
    } else if (static_cast<size_t>(stride) == row_bytes) {
      // Rows without padding: one block copy, markedly faster at 4K than
      // row by row.
      memcpy(destination, pixels, size);
    } else {
      for (uint32_t row = 0; row < height; ++row) {
        memcpy(destination + row * row_bytes,
               pixels + static_cast<size_t>(row) * stride, row_bytes);
      }
    }
    self->back_width = width;
    self->back_height = height;
    self->frame_ready = true;
  }
  gst_video_frame_unmap(&frame);

  if (g_atomic_int_compare_and_exchange(&self->idle_pending, 0, 1)) {
    g_idle_add_full(G_PRIORITY_DEFAULT, mark_frame_available,
                    g_object_ref(self), nullptr);
  }
}
