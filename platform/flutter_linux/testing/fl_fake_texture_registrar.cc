// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fl_fake_texture_registrar.h"

#include <map>
#include <mutex>

namespace {

// The first id handed out: above 2^32, so a 32-bit truncation shows.
constexpr int64_t kFirstTextureId = (INT64_C(1) << 32) + 7;

struct ReadJob {
  FlPixelBufferTexture* texture;  // Owned for the read.
  GBytes* pixels;                 // Result, owned.
  uint32_t width;
  uint32_t height;
  gboolean ok;
};

// Runs on the reading thread, as the engine's raster thread would.
gpointer ReadThread(gpointer data) {
  auto* job = static_cast<ReadJob*>(data);
  const uint8_t* buffer = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  g_autoptr(GError) error = nullptr;
  auto* klass = FL_PIXEL_BUFFER_TEXTURE_GET_CLASS(job->texture);
  // No buffer is a failed read, as the engine reports it, not a buffer.
  job->ok =
      klass->copy_pixels != nullptr &&
      klass->copy_pixels(job->texture, &buffer, &width, &height, &error) &&
      buffer != nullptr;
  if (job->ok) {
    job->width = width;
    job->height = height;
    job->pixels = g_bytes_new(buffer, static_cast<gsize>(width) * height * 4);
  }
  return nullptr;
}

}  // namespace

struct _FlFakeTextureRegistrar {
  GObject parent_instance;
  GThread* owner;
  std::mutex* lock;                          // Guards textures.
  std::map<int64_t, FlTexture*>* textures;   // Owned references.
  std::map<int64_t, guint>* marks;           // Kept after unregistering.
  int64_t next_id;
};

static void fl_fake_texture_registrar_iface_init(
    FlTextureRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(
    FlFakeTextureRegistrar,
    fl_fake_texture_registrar,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_texture_registrar_get_type(),
                          fl_fake_texture_registrar_iface_init))

namespace {

gboolean OnOwnerThread(FlFakeTextureRegistrar* self, const char* what) {
  if (g_thread_self() == self->owner) {
    return TRUE;
  }
  g_critical("%s from a thread other than the main thread", what);
  return FALSE;
}

}  // namespace

static gboolean register_texture(FlTextureRegistrar* registrar,
                                 FlTexture* texture) {
  auto* self = FL_FAKE_TEXTURE_REGISTRAR(registrar);
  if (!OnOwnerThread(self, "register_texture")) {
    return FALSE;
  }
  int64_t id = self->next_id++;
  FL_TEXTURE_GET_IFACE(texture)->set_id(texture, id);
  FlTexture* replaced = nullptr;
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    FlTexture*& entry = (*self->textures)[id];
    replaced = entry;
    entry = FL_TEXTURE(g_object_ref(texture));
    (*self->marks)[id] = 0;
  }
  if (replaced != nullptr) {
    g_object_unref(replaced);
  }
  return TRUE;
}

static FlTexture* lookup_texture(FlTextureRegistrar* registrar, int64_t id) {
  auto* self = FL_FAKE_TEXTURE_REGISTRAR(registrar);
  std::lock_guard<std::mutex> guard(*self->lock);
  auto it = self->textures->find(id);
  return it == self->textures->end() ? nullptr : it->second;
}

static gboolean mark_texture_frame_available(FlTextureRegistrar* registrar,
                                             FlTexture* texture) {
  auto* self = FL_FAKE_TEXTURE_REGISTRAR(registrar);
  if (!OnOwnerThread(self, "mark_texture_frame_available")) {
    return FALSE;
  }
  int64_t id = fl_texture_get_id(texture);
  std::lock_guard<std::mutex> guard(*self->lock);
  if (self->textures->count(id) == 0) {
    return FALSE;
  }
  (*self->marks)[id]++;
  return TRUE;
}

static gboolean unregister_texture(FlTextureRegistrar* registrar,
                                   FlTexture* texture) {
  auto* self = FL_FAKE_TEXTURE_REGISTRAR(registrar);
  if (!OnOwnerThread(self, "unregister_texture")) {
    return FALSE;
  }
  FlTexture* registered = nullptr;
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    auto it = self->textures->find(fl_texture_get_id(texture));
    if (it == self->textures->end()) {
      return FALSE;
    }
    registered = it->second;
    self->textures->erase(it);
  }
  g_object_unref(registered);
  return TRUE;
}

static void fl_fake_texture_registrar_iface_init(
    FlTextureRegistrarInterface* iface) {
  iface->register_texture = register_texture;
  iface->lookup_texture = lookup_texture;
  iface->mark_texture_frame_available = mark_texture_frame_available;
  iface->unregister_texture = unregister_texture;
}

static void fl_fake_texture_registrar_dispose(GObject* object) {
  auto* self = FL_FAKE_TEXTURE_REGISTRAR(object);
  if (self->textures != nullptr) {
    for (auto& entry : *self->textures) {
      g_object_unref(entry.second);
    }
    delete self->textures;
    self->textures = nullptr;
  }
  delete self->marks;
  self->marks = nullptr;
  delete self->lock;
  self->lock = nullptr;
  G_OBJECT_CLASS(fl_fake_texture_registrar_parent_class)->dispose(object);
}

static void fl_fake_texture_registrar_class_init(
    FlFakeTextureRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_fake_texture_registrar_dispose;
}

static void fl_fake_texture_registrar_init(FlFakeTextureRegistrar* self) {
  self->owner = g_thread_self();
  self->lock = new std::mutex();
  self->textures = new std::map<int64_t, FlTexture*>();
  self->marks = new std::map<int64_t, guint>();
  self->next_id = kFirstTextureId;
}

FlFakeTextureRegistrar* fl_fake_texture_registrar_new() {
  return FL_FAKE_TEXTURE_REGISTRAR(
      g_object_new(fl_fake_texture_registrar_get_type(), nullptr));
}

gboolean fl_fake_texture_registrar_is_registered(FlFakeTextureRegistrar* self,
                                                 int64_t id) {
  g_return_val_if_fail(FL_IS_FAKE_TEXTURE_REGISTRAR(self), FALSE);
  std::lock_guard<std::mutex> guard(*self->lock);
  return self->textures->count(id) > 0;
}

guint fl_fake_texture_registrar_get_registered_count(
    FlFakeTextureRegistrar* self) {
  g_return_val_if_fail(FL_IS_FAKE_TEXTURE_REGISTRAR(self), 0);
  std::lock_guard<std::mutex> guard(*self->lock);
  return self->textures->size();
}

guint fl_fake_texture_registrar_get_frames_marked(FlFakeTextureRegistrar* self,
                                                  int64_t id) {
  g_return_val_if_fail(FL_IS_FAKE_TEXTURE_REGISTRAR(self), 0);
  std::lock_guard<std::mutex> guard(*self->lock);
  auto it = self->marks->find(id);
  return it == self->marks->end() ? 0 : it->second;
}

void fl_fake_texture_registrar_set_next_id(FlFakeTextureRegistrar* self,
                                           int64_t id) {
  g_return_if_fail(FL_IS_FAKE_TEXTURE_REGISTRAR(self));
  self->next_id = id;
}

gboolean fl_fake_texture_registrar_read_pixels(FlFakeTextureRegistrar* self,
                                               int64_t id,
                                               GBytes** pixels,
                                               uint32_t* width,
                                               uint32_t* height) {
  g_return_val_if_fail(FL_IS_FAKE_TEXTURE_REGISTRAR(self), FALSE);
  g_return_val_if_fail(pixels != nullptr, FALSE);
  ReadJob job = {nullptr, nullptr, 0, 0, FALSE};
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    auto it = self->textures->find(id);
    if (it == self->textures->end() ||
        !FL_IS_PIXEL_BUFFER_TEXTURE(it->second)) {
      return FALSE;
    }
    // The read holds its own reference, as the engine's raster thread does.
    job.texture = FL_PIXEL_BUFFER_TEXTURE(g_object_ref(it->second));
  }
  GThread* thread = g_thread_new("fake-raster", ReadThread, &job);
  g_thread_join(thread);
  g_object_unref(job.texture);
  if (!job.ok) {
    return FALSE;
  }
  *pixels = job.pixels;
  if (width != nullptr) {
    *width = job.width;
  }
  if (height != nullptr) {
    *height = job.height;
  }
  return TRUE;
}
