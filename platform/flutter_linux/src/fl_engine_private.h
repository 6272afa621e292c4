// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FLUTTER_SHELL_PLATFORM_LINUX_FL_ENGINE_PRIVATE_H_
#define FLUTTER_SHELL_PLATFORM_LINUX_FL_ENGINE_PRIVATE_H_

#include "flutter_linux/fl_engine.h"
#include <cairo.h>

#include "flutter_linux/fl_value.h"
#include "flutter_linux/fl_view.h"

G_BEGIN_DECLS

// The environment variable naming the Unix socket of the Dart-side peer.
#define FL_ENGINE_PEER_ENV "FLUTTER_LINUX_PEER"

// Starts the engine: connects to the peer (sending HELLO) and starts the
// raster thread. Without a peer, view's first frame follows at once. Runs
// once; later calls do nothing.
void fl_engine_start(FlEngine* engine);

// Removes every channel handler (running their destroy notifications), stops
// the raster thread and closes the peer connection. Idempotent.
void fl_engine_shutdown(FlEngine* engine);

// Whether a Dart-side peer is connected.
gboolean fl_engine_has_peer(FlEngine* engine);

// The view the engine draws into (weak; NULL for none).
void fl_engine_set_view(FlEngine* engine, FlView* view);

// Hooks of the view that the engine's control channel drives. All run on the
// main thread.
void fl_view_handle_first_frame(FlView* view);
void fl_view_show_texture(FlView* view, int64_t id, gboolean show);
FlValue* fl_view_build_state(FlView* view);
void fl_view_request_close(FlView* view);
// A frame of texture id has been marked available.
void fl_view_texture_frame_available(FlView* view, int64_t id);

typedef void (*FlEngineTextureReadCallback)(gboolean found,
                                            GBytes* pixels,
                                            uint32_t width,
                                            uint32_t height,
                                            gpointer user_data);

// Reads texture id through copy_pixels on the raster thread; callback runs on
// the main thread with found FALSE when no texture is registered under id,
// and pixels NULL when copy_pixels failed.
void fl_engine_read_texture(FlEngine* engine,
                            int64_t id,
                            FlEngineTextureReadCallback callback,
                            gpointer user_data);

typedef void (*FlEngineTextureSurfaceCallback)(gboolean found,
                                               cairo_surface_t* surface,
                                               uint32_t texture_width,
                                               uint32_t texture_height,
                                               gpointer user_data);

// Reads texture id for display: the picture arrives as a cairo image (NULL
// when copy_pixels failed; owned by the caller only for the callback's
// duration, take a reference to keep it), scaled down to fit within
// fit_width x fit_height on the raster thread, never up.
void fl_engine_read_texture_fitted(FlEngine* engine,
                                   int64_t id,
                                   int fit_width,
                                   int fit_height,
                                   FlEngineTextureSurfaceCallback callback,
                                   gpointer user_data);

G_END_DECLS

#endif  // FLUTTER_SHELL_PLATFORM_LINUX_FL_ENGINE_PRIVATE_H_
