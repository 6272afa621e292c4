// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_TEXTURE_REGISTRAR_H_
#define PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_TEXTURE_REGISTRAR_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// A texture registrar for unit tests. Ids are unique and above 2^32, as the
// engine's; pixels are read on a thread of the registrar's own, never on the
// caller's. Marks and registrations are counted per id and kept after
// unregistering. Calls from any thread but the one that made it are refused
// with a critical.
G_DECLARE_FINAL_TYPE(FlFakeTextureRegistrar,
                     fl_fake_texture_registrar,
                     FL,
                     FAKE_TEXTURE_REGISTRAR,
                     GObject)

FlFakeTextureRegistrar* fl_fake_texture_registrar_new();

gboolean fl_fake_texture_registrar_is_registered(
    FlFakeTextureRegistrar* registrar,
    int64_t id);
guint fl_fake_texture_registrar_get_registered_count(
    FlFakeTextureRegistrar* registrar);
// How often mark_texture_frame_available was called for id.
guint fl_fake_texture_registrar_get_frames_marked(
    FlFakeTextureRegistrar* registrar,
    int64_t id);
// The id that the next registration gets; later ones count up from it. An
// id handed out before makes the registrar misbehave as a faulty engine
// would: the new texture replaces the one registered under it.
void fl_fake_texture_registrar_set_next_id(FlFakeTextureRegistrar* registrar,
                                           int64_t id);
// Calls copy_pixels of the pixel-buffer texture registered under id on the
// registrar's reading thread and copies what it handed out. Returns FALSE when
// no such texture is registered or copy_pixels failed. *pixels (transfer full)
// holds width x height x 4 bytes.
gboolean fl_fake_texture_registrar_read_pixels(
    FlFakeTextureRegistrar* registrar,
    int64_t id,
    GBytes** pixels,
    uint32_t* width,
    uint32_t* height);

G_END_DECLS

#endif  // PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_TEXTURE_REGISTRAR_H_
