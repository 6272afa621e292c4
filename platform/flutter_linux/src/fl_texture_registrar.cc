// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_texture_registrar.h"

G_DEFINE_INTERFACE(FlTextureRegistrar, fl_texture_registrar, G_TYPE_OBJECT)

static void fl_texture_registrar_default_init(
    FlTextureRegistrarInterface* iface) {}

G_MODULE_EXPORT gboolean fl_texture_registrar_register_texture(
    FlTextureRegistrar* self,
    FlTexture* texture) {
  g_return_val_if_fail(FL_IS_TEXTURE_REGISTRAR(self), FALSE);
  g_return_val_if_fail(FL_IS_TEXTURE(texture), FALSE);
  return FL_TEXTURE_REGISTRAR_GET_IFACE(self)->register_texture(self, texture);
}

G_MODULE_EXPORT gboolean fl_texture_registrar_mark_texture_frame_available(
    FlTextureRegistrar* self,
    FlTexture* texture) {
  g_return_val_if_fail(FL_IS_TEXTURE_REGISTRAR(self), FALSE);
  g_return_val_if_fail(FL_IS_TEXTURE(texture), FALSE);
  return FL_TEXTURE_REGISTRAR_GET_IFACE(self)->mark_texture_frame_available(
      self, texture);
}

G_MODULE_EXPORT gboolean fl_texture_registrar_unregister_texture(
    FlTextureRegistrar* self,
    FlTexture* texture) {
  g_return_val_if_fail(FL_IS_TEXTURE_REGISTRAR(self), FALSE);
  g_return_val_if_fail(FL_IS_TEXTURE(texture), FALSE);
  return FL_TEXTURE_REGISTRAR_GET_IFACE(self)->unregister_texture(self,
                                                                  texture);
}
