// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_FRAME_MEMORY_H_
#define PLUGINS_VIDEO_FRAME_MEMORY_H_

#include <gst/gst.h>

// Makes the libav decoders that bin will hold, at any depth, decode into
// frames of the pipeline's buffer pools. With direct rendering, the decoder
// keeps a reference to each frame it outputs, and the video decoder base
// class copies every frame into a new block (3 MB at 1080p) to make it
// writable; pooled frames are written once and used again. Call before the
// pipeline leaves NULL.
void DecodeIntoPooledFrames(GstElement* bin);

#endif  // PLUGINS_VIDEO_FRAME_MEMORY_H_
