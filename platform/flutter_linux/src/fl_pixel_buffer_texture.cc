// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_pixel_buffer_texture.h"

#include <gio/gio.h>

#include "fl_texture_private.h"

typedef struct {
  int64_t id;
} FlPixelBufferTexturePrivate;

static void fl_pixel_buffer_texture_iface_init(FlTextureInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlPixelBufferTexture,
    fl_pixel_buffer_texture,
    G_TYPE_OBJECT,
    G_ADD_PRIVATE(FlPixelBufferTexture)
        G_IMPLEMENT_INTERFACE(fl_texture_get_type(),
                              fl_pixel_buffer_texture_iface_init))

static void fl_pixel_buffer_texture_set_id(FlTexture* texture, int64_t id) {
  auto* priv = static_cast<FlPixelBufferTexturePrivate*>(
      fl_pixel_buffer_texture_get_instance_private(
          FL_PIXEL_BUFFER_TEXTURE(texture)));
  priv->id = id;
}

static int64_t fl_pixel_buffer_texture_get_id(FlTexture* texture) {
  auto* priv = static_cast<FlPixelBufferTexturePrivate*>(
      fl_pixel_buffer_texture_get_instance_private(
          FL_PIXEL_BUFFER_TEXTURE(texture)));
  return priv->id;
}

static void fl_pixel_buffer_texture_iface_init(FlTextureInterface* iface) {
  iface->set_id = fl_pixel_buffer_texture_set_id;
  iface->get_id = fl_pixel_buffer_texture_get_id;
}

static void fl_pixel_buffer_texture_class_init(
    FlPixelBufferTextureClass* klass) {}

static void fl_pixel_buffer_texture_init(FlPixelBufferTexture* self) {
  auto* priv = static_cast<FlPixelBufferTexturePrivate*>(
      fl_pixel_buffer_texture_get_instance_private(self));
  // Not registered yet.
  priv->id = -1;
}

gboolean fl_pixel_buffer_texture_copy(FlPixelBufferTexture* self,
                                      const uint8_t** buffer,
                                      uint32_t* width,
                                      uint32_t* height,
                                      GError** error) {
  g_return_val_if_fail(FL_IS_PIXEL_BUFFER_TEXTURE(self), FALSE);
  auto* klass = FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(self);
  if (klass->copy_pixels == nullptr) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_NOT_SUPPORTED,
                        "texture has no copy_pixels");
    return FALSE;
  }
  return klass->copy_pixels(self, buffer, width, height, error);
}
