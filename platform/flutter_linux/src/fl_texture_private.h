// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FLUTTER_SHELL_PLATFORM_LINUX_FL_TEXTURE_PRIVATE_H_
#define FLUTTER_SHELL_PLATFORM_LINUX_FL_TEXTURE_PRIVATE_H_

#include "flutter_linux/fl_pixel_buffer_texture.h"
#include "flutter_linux/fl_texture.h"

G_BEGIN_DECLS

// Gives the texture the id the registrar assigned to it.
void fl_texture_set_id(FlTexture* texture, int64_t id);

// Calls the texture's copy_pixels vfunc; width and height are in/out.
gboolean fl_pixel_buffer_texture_copy(FlPixelBufferTexture* texture,
                                      const uint8_t** buffer,
                                      uint32_t* width,
                                      uint32_t* height,
                                      GError** error);

G_END_DECLS

#endif  // FLUTTER_SHELL_PLATFORM_LINUX_FL_TEXTURE_PRIVATE_H_
