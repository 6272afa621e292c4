// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "transcoder.h"

#include <gst/gst.h>

namespace {

struct H264Encoder {
  const char* element;
  // Appended after the element name in the video branch; "%d" receives the
  // video bitrate in kbit/s.
  const char* props;
  // The encoder's output goes through h264parse when that element exists.
  bool needs_parser;
};

// Software encoders first, then NVIDIA, then the VA plugin (normal, then
// low-power), then the older VA-API plugin. Every row asks for a key frame
// every 60 frames under the property name its element uses; openh264enc takes
// bit/s, hence the zeros after the placeholder.
constexpr H264Encoder kH264Encoders[] = {
    {"x264enc", "bitrate=%d speed-preset=veryfast key-int-max=60 bframes=0",
     false},
    {"openh264enc", "bitrate=%d000 complexity=high gop-size=60", true},
    {"nvh264enc", "bitrate=%d gop-size=60", true},
    {"vah264enc", "bitrate=%d key-int-max=60", true},
    {"vah264lpenc", "bitrate=%d key-int-max=60", true},
    {"vaapih264enc", "bitrate=%d keyframe-period=60", true},
};

constexpr const char* kAacEncoders[] = {"avenc_aac", "fdkaacenc", "voaacenc",
                                        "faac"};

// Whether the registry knows an element factory of this name. No element is
// made: an encoder that cannot run here fails in its own attempt.
bool HasElement(const char* name) {
  GstElementFactory* factory = gst_element_factory_find(name);
  if (factory == nullptr) {
    return false;
  }
  gst_object_unref(factory);
  return true;
}

}  // namespace

std::vector<std::string> AvailableH264Encoders() {
  std::vector<std::string> names;
  for (const H264Encoder& encoder : kH264Encoders) {
    if (HasElement(encoder.element)) {
      names.emplace_back(encoder.element);
    }
  }
  return names;
}

std::vector<std::string> AvailableAacEncoders() {
  std::vector<std::string> names;
  for (const char* element : kAacEncoders) {
    if (HasElement(element)) {
      names.emplace_back(element);
    }
  }
  return names;
}
