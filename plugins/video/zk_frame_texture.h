// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_ZK_FRAME_TEXTURE_H_
#define PLUGINS_VIDEO_ZK_FRAME_TEXTURE_H_

#include <flutter_linux/flutter_linux.h>
#include <gst/gst.h>

G_BEGIN_DECLS

// The engine texture one player draws its video into. GStreamer's streaming
// threads hand it RGBA frames; the engine reads the newest one from its own
// thread through copy_pixels. Frames are double-buffered under a mutex and
// announced to the engine from the main loop, at most one notice queued at a
// time.
G_DECLARE_FINAL_TYPE(ZkFrameTexture,
                     zk_frame_texture,
                     ZK,
                     FRAME_TEXTURE,
                     FlPixelBufferTexture)

// Sets the registrar that frame-available notices go to (borrowed). Called by
// the owner on the main thread right after g_object_new, before registering.
void zk_frame_texture_set_registrar(ZkFrameTexture* texture,
                                    FlTextureRegistrar* registrar);

// Makes queued and future frame-available notices do nothing. Called by the
// owner on the main thread just before it unregisters the texture.
void zk_frame_texture_detach(ZkFrameTexture* texture);

// Makes the frame of sample (borrowed; RGBA) the back frame, holding its
// buffer when the rows are packed and the buffer's pool has no bound, else a
// packed copy, and queues a frame-available notice unless one is queued
// already. Samples
// without caps or buffer, or whose caps are not raw 4-byte RGBA video, are
// ignored. Called on a GStreamer streaming thread.
void zk_frame_texture_take_frame(ZkFrameTexture* texture, GstSample* sample);

G_END_DECLS

#endif  // PLUGINS_VIDEO_ZK_FRAME_TEXTURE_H_
