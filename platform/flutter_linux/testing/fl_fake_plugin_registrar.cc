// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fl_fake_plugin_registrar.h"

struct _FlFakePluginRegistrar {
  GObject parent_instance;
  FlBinaryMessenger* messenger;           // Owned.
  FlTextureRegistrar* texture_registrar;  // Owned, may be NULL.
};

static void fl_fake_plugin_registrar_iface_init(
    FlPluginRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlFakePluginRegistrar,
    fl_fake_plugin_registrar,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                          fl_fake_plugin_registrar_iface_init))

static FlBinaryMessenger* get_messenger(FlPluginRegistrar* registrar) {
  return FL_FAKE_PLUGIN_REGISTRAR(registrar)->messenger;
}

static FlTextureRegistrar* get_texture_registrar(FlPluginRegistrar* registrar) {
  return FL_FAKE_PLUGIN_REGISTRAR(registrar)->texture_registrar;
}

static FlView* get_view(FlPluginRegistrar* registrar) {
  return nullptr;
}

static void fl_fake_plugin_registrar_iface_init(
    FlPluginRegistrarInterface* iface) {
  iface->get_messenger = get_messenger;
  iface->get_texture_registrar = get_texture_registrar;
  iface->get_view = get_view;
}

static void fl_fake_plugin_registrar_dispose(GObject* object) {
  auto* self = FL_FAKE_PLUGIN_REGISTRAR(object);
  g_clear_object(&self->messenger);
  g_clear_object(&self->texture_registrar);
  G_OBJECT_CLASS(fl_fake_plugin_registrar_parent_class)->dispose(object);
}

static void fl_fake_plugin_registrar_class_init(
    FlFakePluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_fake_plugin_registrar_dispose;
}

static void fl_fake_plugin_registrar_init(FlFakePluginRegistrar* self) {}

FlPluginRegistrar* fl_fake_plugin_registrar_new(
    FlBinaryMessenger* messenger,
    FlTextureRegistrar* texture_registrar) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  auto* self = FL_FAKE_PLUGIN_REGISTRAR(
      g_object_new(fl_fake_plugin_registrar_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  if (texture_registrar != nullptr) {
    self->texture_registrar =
        FL_TEXTURE_REGISTRAR(g_object_ref(texture_registrar));
  }
  return FL_PLUGIN_REGISTRAR(self);
}
