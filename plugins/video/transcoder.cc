// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "transcoder.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

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

// ---------------------------------------------------------------------------
// Media probe and poster frames. Both block the calling thread on GStreamer
// work of their own and share nothing, so several may run on worker threads
// at once.

namespace {

// The discoverer gives up on a file after this long.
constexpr GstClockTime kProbeTimeout = 10 * GST_SECOND;

// What qtdemux names the container of an ISO file whose brand it does not
// single out; a QuickTime movie is "Quicktime".
constexpr char kIsoContainerFormat[] = "ISO MP4/M4A";

// The URI sits in quotes; FileUri percent-escapes quotes and backslashes, so
// it cannot end them early.
constexpr char kPosterPipeline[] =
    "uridecodebin uri=\"%s\" ! videoconvert ! videoflip video-direction=auto "
    "! videoconvert ! video/x-raw,format=RGB ! appsink name=sink sync=false "
    "max-buffers=1";
constexpr GstClockTime kPosterPrerollTimeout = 15 * GST_SECOND;
constexpr GstClockTime kPosterSampleTimeout = 5 * GST_SECOND;
// The poster frame is a tenth of the way in, but never later than this: the
// opening frame is often black, and seeking far costs time.
constexpr gint64 kPosterLatestNs = GST_SECOND;

int32_t ClampToInt32(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                          std::numeric_limits<int32_t>::max()));
}

// The first structure of caps (borrowed), or nullptr for missing, empty or
// ANY caps.
const GstStructure* FirstStructure(GstCaps* caps) {
  if (caps == nullptr || gst_caps_get_size(caps) == 0) {
    return nullptr;
  }
  return gst_caps_get_structure(caps, 0);
}

bool CapsNamed(GstDiscovererStreamInfo* stream, const char* name) {
  g_autoptr(GstCaps) caps = gst_discoverer_stream_info_get_caps(stream);
  const GstStructure* structure = FirstStructure(caps);
  return structure != nullptr && gst_structure_has_name(structure, name);
}

// The demuxer's "container-format" tag of the top-level stream, or "".
std::string ContainerFormat(GstDiscovererStreamInfo* top) {
  const GstTagList* tags = nullptr;
  if (GST_IS_DISCOVERER_CONTAINER_INFO(top)) {
    tags = gst_discoverer_container_info_get_tags(
        GST_DISCOVERER_CONTAINER_INFO(top));
  }
  if (tags == nullptr) {
    tags = gst_discoverer_stream_info_get_tags(top);
  }
  g_autofree gchar* format = nullptr;
  if (tags == nullptr ||
      !gst_tag_list_get_string(tags, GST_TAG_CONTAINER_FORMAT, &format)) {
    return "";
  }
  return format;
}

// Whether the file is an ISO MP4 rather than some other member of the
// QuickTime family.
bool IsIsoMp4(GstDiscovererStreamInfo* top) {
  g_autoptr(GstCaps) caps = gst_discoverer_stream_info_get_caps(top);
  const GstStructure* structure = FirstStructure(caps);
  if (structure == nullptr ||
      !gst_structure_has_name(structure, "video/quicktime")) {
    return false;
  }
  const gchar* variant = gst_structure_get_string(structure, "variant");
  if (variant != nullptr) {
    return strcmp(variant, "iso") == 0;
  }
  // Typefinding leaves the variant out both for a QuickTime movie (brand
  // "qt  ") and for ISO brands it does not list; only the demuxer, which
  // reads the brand, tells them apart.
  return ContainerFormat(top) == kIsoContainerFormat;
}

// Whether the stream's orientation tag turns the picture a quarter, so that
// it shows with width and height traded.
bool TurnsQuarter(GstDiscovererStreamInfo* stream) {
  const GstTagList* tags = gst_discoverer_stream_info_get_tags(stream);
  g_autofree gchar* orientation = nullptr;
  if (tags == nullptr ||
      !gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION,
                               &orientation)) {
    return false;
  }
  for (const char* quarter :
       {"rotate-90", "rotate-270", "flip-rotate-90", "flip-rotate-270"}) {
    if (strcmp(orientation, quarter) == 0) {
      return true;
    }
  }
  return false;
}

void ProbeVideo(GstDiscovererVideoInfo* video, ProbeResult* result) {
  result->hasVideo = true;
  int64_t width = gst_discoverer_video_info_get_width(video);
  int64_t height = gst_discoverer_video_info_get_height(video);
  const int64_t par_n = gst_discoverer_video_info_get_par_num(video);
  const int64_t par_d = gst_discoverer_video_info_get_par_denom(video);
  if (par_n != 0 && par_d != 0) {
    width = width * par_n / par_d;
  }
  auto* stream = GST_DISCOVERER_STREAM_INFO(video);
  result->h264 = CapsNamed(stream, "video/x-h264");
  if (TurnsQuarter(stream)) {
    std::swap(width, height);
  }
  result->width = ClampToInt32(width);
  result->height = ClampToInt32(height);
}

void ProbeAudio(GstDiscovererAudioInfo* audio, ProbeResult* result) {
  result->hasAudio = true;
  g_autoptr(GstCaps) caps =
      gst_discoverer_stream_info_get_caps(GST_DISCOVERER_STREAM_INFO(audio));
  const GstStructure* structure = FirstStructure(caps);
  if (structure == nullptr || !gst_structure_has_name(structure, "audio/mpeg")) {
    return;
  }
  int version = 0;
  if (!gst_structure_get_int(structure, "mpegversion", &version)) {
    version = 0;
  }
  // MPEG-1 is MP3 and its kin; 2 and 4 are AAC.
  result->aac = version == 2 || version == 4;
}

// Waits for the pipeline to preroll; false on an error or a time-out.
bool WaitForPreroll(GstBus* bus) {
  g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
      bus, kPosterPrerollTimeout,
      static_cast<GstMessageType>(GST_MESSAGE_ASYNC_DONE | GST_MESSAGE_ERROR));
  return message != nullptr &&
         GST_MESSAGE_TYPE(message) == GST_MESSAGE_ASYNC_DONE;
}

// Scales the RGB frame so that its longer side is at most max_side and saves
// it as a JPEG.
bool SaveFrame(GstVideoFrame* frame,
               const std::string& output,
               int32_t max_side) {
  const int width = GST_VIDEO_FRAME_WIDTH(frame);
  const int height = GST_VIDEO_FRAME_HEIGHT(frame);
  // Wraps the mapped frame without copying; the scaled copy below is the
  // only one and owns its pixels.
  g_autoptr(GdkPixbuf) wrapped = gdk_pixbuf_new_from_data(
      static_cast<const guchar*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0)),
      GDK_COLORSPACE_RGB, FALSE, 8, width, height,
      GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), nullptr, nullptr);
  double factor = 1.0;
  const int longer = std::max(width, height);
  if (max_side > 0 && longer > max_side) {
    factor = static_cast<double>(max_side) / longer;
  }
  const int scaled_width = std::max(1, static_cast<int>(width * factor));
  const int scaled_height = std::max(1, static_cast<int>(height * factor));
  g_autoptr(GdkPixbuf) scaled = gdk_pixbuf_scale_simple(
      wrapped, scaled_width, scaled_height, GDK_INTERP_BILINEAR);
  if (scaled == nullptr) {
    return false;
  }
  g_autoptr(GError) error = nullptr;
  if (!gdk_pixbuf_save(scaled, output.c_str(), "jpeg", &error, "quality", "75",
                       nullptr)) {
    if (error != nullptr) {
      g_warning("Video poster: %s", error->message);
    }
    return false;
  }
  return true;
}

// Prerolls the poster pipeline on its frame and saves that frame. The caller
// stops the pipeline afterwards, whatever happened here.
bool RunPoster(GstElement* pipeline,
               GstBus* bus,
               GstAppSink* sink,
               const std::string& output,
               int32_t max_side) {
  gst_element_set_state(pipeline, GST_STATE_PAUSED);
  if (!WaitForPreroll(bus)) {
    return false;
  }
  gint64 duration = 0;
  if (gst_element_query_duration(pipeline, GST_FORMAT_TIME, &duration) &&
      duration > GST_SECOND) {
    const gint64 target = std::min<gint64>(duration / 10, kPosterLatestNs);
    // A key frame near the target is good enough and far cheaper than the
    // exact frame.
    if (gst_element_seek_simple(
            pipeline, GST_FORMAT_TIME,
            static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH |
                                      GST_SEEK_FLAG_KEY_UNIT),
            target)) {
      // Whatever this wait ends with, the sample below tells.
      WaitForPreroll(bus);
    }
  }
  g_autoptr(GstSample) sample =
      gst_app_sink_try_pull_preroll(sink, kPosterSampleTimeout);
  if (sample == nullptr) {
    return false;
  }
  GstCaps* caps = gst_sample_get_caps(sample);
  GstBuffer* buffer = gst_sample_get_buffer(sample);
  GstVideoInfo info;
  if (caps == nullptr || buffer == nullptr ||
      !gst_video_info_from_caps(&info, caps)) {
    return false;
  }
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) {
    return false;
  }
  const bool saved = SaveFrame(&frame, output, max_side);
  gst_video_frame_unmap(&frame);
  return saved;
}

}  // namespace

std::string FileUri(const std::string& path) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  return uri != nullptr ? uri : "";
}

ProbeResult ProbeMedia(const std::string& path) {
  ProbeResult result;
  const std::string uri = FileUri(path);
  if (uri.empty()) {
    return result;
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GstDiscoverer) discoverer =
      gst_discoverer_new(kProbeTimeout, &error);
  if (discoverer == nullptr) {
    return result;
  }
  g_autoptr(GstDiscovererInfo) info =
      gst_discoverer_discover_uri(discoverer, uri.c_str(), &error);
  // Partial information of a failed examination is never used.
  if (info == nullptr ||
      gst_discoverer_info_get_result(info) != GST_DISCOVERER_OK) {
    return result;
  }
  result.ok = true;

  // The discoverer leaves the duration at 0 when it cannot learn it (a
  // stream without an index, a still picture), not at GST_CLOCK_TIME_NONE.
  const GstClockTime duration = gst_discoverer_info_get_duration(info);
  if (duration != GST_CLOCK_TIME_NONE && duration != 0) {
    result.durationMs = static_cast<int64_t>(duration / GST_MSECOND);
  }

  g_autoptr(GstDiscovererStreamInfo) top =
      gst_discoverer_info_get_stream_info(info);
  if (top != nullptr) {
    result.mp4 = IsIsoMp4(top);
  }

  // Only the first stream of each kind counts.
  g_autolist(GstDiscovererStreamInfo) videos =
      gst_discoverer_info_get_video_streams(info);
  if (videos != nullptr) {
    ProbeVideo(GST_DISCOVERER_VIDEO_INFO(videos->data), &result);
  }
  g_autolist(GstDiscovererStreamInfo) audios =
      gst_discoverer_info_get_audio_streams(info);
  if (audios != nullptr) {
    ProbeAudio(GST_DISCOVERER_AUDIO_INFO(audios->data), &result);
  }
  return result;
}

bool WritePoster(const std::string& input,
                 const std::string& output,
                 int32_t max_side) {
  const std::string uri = FileUri(input);
  if (uri.empty()) {
    return false;
  }
  g_autofree gchar* description =
      g_strdup_printf(kPosterPipeline, uri.c_str());
  g_autoptr(GError) parse_error = nullptr;
  GstElement* parsed = gst_parse_launch(description, &parse_error);
  if (parsed == nullptr) {
    return false;
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  g_autoptr(GstElement) sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  const bool saved =
      sink != nullptr && GST_IS_APP_SINK(sink) &&
      RunPoster(pipeline, bus, GST_APP_SINK(sink), output, max_side);
  // Stopped before the bus, the sink and the pipeline are released.
  gst_element_set_state(pipeline, GST_STATE_NULL);
  return saved;
}
