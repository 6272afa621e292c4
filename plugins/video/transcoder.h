// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TRANSCODER_H_
#define PLUGINS_VIDEO_TRANSCODER_H_

#include <cstdint>
#include <string>
#include <vector>

// Names of the H.264 encoder elements this GStreamer installation provides,
// in order of preference. Asks the registry on every call.
std::vector<std::string> AvailableH264Encoders();

// Names of the AAC encoder elements this GStreamer installation provides, in
// order of preference. Asks the registry on every call.
std::vector<std::string> AvailableAacEncoders();

// What the discoverer tells of one media file. Every field other than ok is
// meaningful only when ok is true; a value still at its starting value was
// not determined.
struct ProbeResult {
  bool ok = false;           // The file was examined successfully.
  int64_t durationMs = -1;   // Negative when the duration is not known.
  int32_t width = 0;         // First video stream as displayed: square
  int32_t height = 0;        // pixels, turned upright; 0 without video.
  bool hasVideo = false;
  bool hasAudio = false;
  bool h264 = false;         // The first video stream is H.264.
  bool aac = false;          // The first audio stream is MPEG-2/4 AAC.
  bool mp4 = false;          // The container is an ISO MP4.
};

// Examines the local file at an absolute path with GStreamer's discoverer,
// waiting at most 10 s. Blocks the calling thread; safe on any thread.
ProbeResult ProbeMedia(const std::string& path);

// The file URI of an absolute path, percent-escaped; "" for a relative path,
// an empty string or anything that already is a URI.
std::string FileUri(const std::string& path);

// Writes a JPEG of one frame of the video at input (an absolute path) to
// output, taken a tenth of the way in but no later than 1 s, upright, with
// its longer side scaled down to max_side (0 or less: no limit). Returns
// whether the JPEG was saved. Blocks the calling thread for up to about 35 s;
// safe on any thread.
bool WritePoster(const std::string& input,
                 const std::string& output,
                 int32_t max_side);

// The compression job of one "compress" call, owned by the plugin's job
// holder.
// TODO(compress): the pipeline, the encoder fallback and the progress report
// come with the compression work; until then no job is ever made and the
// holder stays empty.
class Transcoder {
 public:
  Transcoder(const Transcoder&) = delete;
  Transcoder& operator=(const Transcoder&) = delete;
  ~Transcoder() = default;

 private:
  Transcoder() = default;
};

#endif  // PLUGINS_VIDEO_TRANSCODER_H_
