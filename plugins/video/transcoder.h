// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TRANSCODER_H_
#define PLUGINS_VIDEO_TRANSCODER_H_

#include <string>
#include <vector>

// Names of the H.264 encoder elements this GStreamer installation provides,
// in order of preference. Asks the registry on every call.
std::vector<std::string> AvailableH264Encoders();

// Names of the AAC encoder elements this GStreamer installation provides, in
// order of preference. Asks the registry on every call.
std::vector<std::string> AvailableAacEncoders();

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
