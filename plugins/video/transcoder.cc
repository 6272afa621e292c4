// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "transcoder.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <glib/gstdio.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <gst/video/video.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "frame_memory.h"
#include "media_queue.h"

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

// Whether the two paths name one file: the same text, or two names (links,
// other spellings) of the same inode.
bool SameFile(const std::string& a, const std::string& b) {
  if (a == b) {
    return true;
  }
  GStatBuf a_stat;
  GStatBuf b_stat;
  return g_stat(a.c_str(), &a_stat) == 0 && g_stat(b.c_str(), &b_stat) == 0 &&
         a_stat.st_dev == b_stat.st_dev && a_stat.st_ino == b_stat.st_ino;
}

}  // namespace

std::vector<std::string> H264EncoderCatalogue() {
  std::vector<std::string> names;
  for (const H264Encoder& encoder : kH264Encoders) {
    names.emplace_back(encoder.element);
  }
  return names;
}

std::vector<std::string> AacEncoderCatalogue() {
  return {std::begin(kAacEncoders), std::end(kAacEncoders)};
}

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
// it cannot end them early. Only decoded video leaves uridecodebin: other
// streams are neither decoded nor exposed, so a file without video fails at
// once instead of, at times, waiting out the preroll time-out (an audio pad
// left unlinked does not always stop the demuxer with an error).
constexpr char kPosterPipeline[] =
    "uridecodebin uri=\"%s\" caps=video/x-raw(ANY) expose-all-streams=false "
    "! videoconvert ! videoflip video-direction=auto ! videoconvert "
    "! video/x-raw,format=RGB ! appsink name=sink sync=false max-buffers=1";
constexpr GstClockTime kPosterPrerollTimeout = 15 * GST_SECOND;
constexpr GstClockTime kPosterSampleTimeout = 5 * GST_SECOND;
// The poster frame is a tenth of the way in, but never later than this: the
// opening frame is often black, and seeking far costs time.
constexpr gint64 kPosterLatestNs = GST_SECOND;
// The frame is the key frame at or before that target, and decoding it alone
// is what makes a poster cheap. FLUSH|KEY_UNIT does not give that on qtdemux:
// it starts the segment at the earliest sync point of all its tracks, and the
// audio track (not even decoded here) puts that a few milliseconds before a
// key frame lying right at the target, such as one at 1 s with key frames
// every second. The decoder then decodes the whole group of pictures before
// it, some thirty frames, for a frame just short of the key frame. Trick-mode
// key units make the demuxer (or else the decoder) pass key frames only: the
// key frame at the target is the first one in the segment, and at most the
// one before the segment's start is decoded besides.
constexpr GstSeekFlags kPosterSeekFlags = static_cast<GstSeekFlags>(
    GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT | GST_SEEK_FLAG_TRICKMODE |
    GST_SEEK_FLAG_TRICKMODE_KEY_UNITS);

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
      !gst_tag_list_get_string(tags, GST_TAG_IMAGE_ORIENTATION, &orientation)) {
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
  if (structure == nullptr ||
      !gst_structure_has_name(structure, "audio/mpeg")) {
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
  // Made in memory and written whole: a full disk or a crash while writing
  // leaves the old file, or none, never a cut JPEG under the name.
  g_autoptr(GError) error = nullptr;
  g_autofree gchar* jpeg = nullptr;
  gsize size = 0;
  const bool saved =
      gdk_pixbuf_save_to_buffer(scaled, &jpeg, &size, "jpeg", &error,
                                "quality", "75", nullptr) &&
      g_file_set_contents_full(output.c_str(), jpeg, static_cast<gssize>(size),
                               G_FILE_SET_CONTENTS_CONSISTENT, 0666, &error);
  if (!saved && error != nullptr) {
    g_warning("Video poster: %s", error->message);
  }
  return saved;
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
    if (gst_element_seek_simple(pipeline, GST_FORMAT_TIME, kPosterSeekFlags,
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
  // The discoverer opens the file before its time-out runs: a FIFO would
  // hold this thread, and the reply, for ever.
  if (uri.empty() || IsSpecialFile(path)) {
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
  // Saving over the video would replace it with its own poster.
  if (SameFile(input, output)) {
    g_warning("Video poster: %s is the video itself", output.c_str());
    return false;
  }
  // Saving into a FIFO would block until a reader came, maybe never.
  if (IsSpecialFile(output)) {
    g_warning("Video poster: %s is not a regular file", output.c_str());
    return false;
  }
  const std::string uri = FileUri(input);
  // Setting the pipeline to PAUSED opens the file, before any of the waits
  // below can time out.
  if (uri.empty() || IsSpecialFile(input)) {
    return false;
  }
  g_autofree gchar* description = g_strdup_printf(kPosterPipeline, uri.c_str());
  g_autoptr(GError) parse_error = nullptr;
  GstElement* parsed = gst_parse_launch(description, &parse_error);
  if (parsed == nullptr) {
    return false;
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  DecodeIntoPooledFrames(pipeline);
  g_autoptr(GstElement) sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  const bool saved =
      sink != nullptr && GST_IS_APP_SINK(sink) &&
      RunPoster(pipeline, bus, GST_APP_SINK(sink), output, max_side);
  // Stopped before the bus, the sink and the pipeline are released.
  gst_element_set_state(pipeline, GST_STATE_NULL);
  return saved;
}

// ---------------------------------------------------------------------------
// Transcoder: one compression job.

namespace {

// The video branch. Frames are pinned to 8-bit 4:2:0 before the encoder:
// fed 4:2:2, 4:4:4 or 10-bit frames, x264enc picks profiles that most phones
// and browsers cannot play.
constexpr char kVideoBranch[] =
    "queue ! videoconvert ! videoflip video-direction=auto ! videoconvert ! "
    "videorate max-rate=30 ! videoscale ! "
    "video/x-raw,format=I420,width=%d,height=%d,pixel-aspect-ratio=1/1 ! "
    "videoconvert ! %s %s name=zk_enc %s ! queue";

constexpr char kAudioBranch[] =
    "queue ! audioconvert ! audioresample ! "
    "audio/x-raw,rate=48000,channels=2 ! %s name=zk_audio_enc "
    "bitrate=%" G_GINT64_FORMAT " %s ! queue";

constexpr char kEncoderName[] = "zk_enc";
constexpr char kAudioEncoderName[] = "zk_audio_enc";

// Posted on the bus when the source turns out to have no audio stream.
constexpr char kNoAudioMessage[] = "zk-no-audio";

// Progress is queued and delivered at most this often.
constexpr int64_t kProgressIntervalMs = 120;

const H264Encoder* FindH264Encoder(const std::string& name) {
  for (const H264Encoder& encoder : kH264Encoders) {
    if (name == encoder.element) {
      return &encoder;
    }
  }
  return nullptr;
}

// Milliseconds from the channel in nanoseconds, saturated: any duration may
// arrive.
int64_t DurationNs(int64_t ms) {
  constexpr int64_t kLimit = G_MAXINT64 / 1000000;
  return std::clamp(ms, -kLimit, kLimit) * 1000000;
}

int64_t MonotonicMs() {
  return g_get_monotonic_time() / 1000;
}

// Parses a branch into a bin with ghost pads for its open ends; nullptr with
// the parser's message in *error. A bin that comes with a (recoverable)
// parser error counts as built.
GstElement* ParseBranch(const std::string& description, std::string* error) {
  g_autoptr(GError) parse_error = nullptr;
  GstElement* bin =
      gst_parse_bin_from_description(description.c_str(), TRUE, &parse_error);
  if (bin == nullptr) {
    *error = parse_error != nullptr ? parse_error->message
                                    : "couldn't parse the pipeline";
    return nullptr;
  }
  return bin;
}

// Removes the buffer probe of *pad, if any, and drops the pad.
void RemoveProbe(GstPad** pad, gulong* probe_id) {
  if (*pad != nullptr && *probe_id != 0) {
    gst_pad_remove_probe(*pad, *probe_id);
  }
  *probe_id = 0;
  gst_clear_object(pad);
}

// Adds a buffer probe to the sink pad of the element of that name in bin;
// leaves *pad null when there is no such element.
void AddProbe(GstElement* bin,
              const char* name,
              GstPadProbeCallback callback,
              gpointer user_data,
              GstPad** pad,
              gulong* probe_id) {
  g_autoptr(GstElement) element = gst_bin_get_by_name(GST_BIN(bin), name);
  if (element == nullptr) {
    return;
  }
  *pad = gst_element_get_static_pad(element, "sink");
  if (*pad != nullptr) {
    *probe_id = gst_pad_add_probe(*pad, GST_PAD_PROBE_TYPE_BUFFER, callback,
                                  user_data, nullptr);
  }
}

}  // namespace

LatestValueThrottle::LatestValueThrottle(int64_t interval_ms,
                                         std::function<void(double)> deliver)
    : interval_us_(interval_ms * 1000), deliver_(std::move(deliver)) {}

void LatestValueThrottle::Offer(double value) {
  const int64_t wait_us =
      last_delivery_us_ == 0
          ? 0
          : last_delivery_us_ + interval_us_ - g_get_monotonic_time();
  if (wait_us <= 0) {
    g_clear_handle_id(&due_id_, g_source_remove);
    Deliver(value);
    return;
  }
  waiting_ = value;
  if (due_id_ == 0) {
    // Rounded up: never before the interval has passed.
    due_id_ =
        g_timeout_add(static_cast<guint>((wait_us + 999) / 1000), OnDue, this);
  }
}

void LatestValueThrottle::Stop() {
  g_clear_handle_id(&due_id_, g_source_remove);
}

// Runs on the main loop when a waiting value may go.
gboolean LatestValueThrottle::OnDue(gpointer data) {
  auto* self = static_cast<LatestValueThrottle*>(data);
  self->due_id_ = 0;
  self->Deliver(self->waiting_);
  return G_SOURCE_REMOVE;
}

void LatestValueThrottle::Deliver(double value) {
  deliver_(value);
  // Counted from the end of the delivery, so that whatever the receiver
  // notes during one is at least an interval from the next.
  last_delivery_us_ = g_get_monotonic_time();
}

// Progress made on a streaming thread, waiting for the main loop.
struct Transcoder::ProgressRecord {
  std::shared_ptr<std::atomic<bool>> alive;
  Transcoder* self;
  uint32_t attempt;
  double fraction;
};

// A finished part file on its way to disk, and what flushing it gave.
struct Transcoder::SaveRecord {
  std::shared_ptr<std::atomic<bool>> alive;
  Transcoder* self;
  std::string path;
  int error;  // errno of the failed step; 0 when the file is on disk.
};

Transcoder::Transcoder(std::string input_path,
                       std::string output_path,
                       int32_t width,
                       int32_t height,
                       int32_t video_kbps,
                       int32_t audio_kbps,
                       int64_t duration_ms,
                       bool has_audio,
                       ProgressCallback on_progress,
                       DoneCallback on_done)
    : input_path_(std::move(input_path)),
      output_path_(std::move(output_path)),
      width_(width),
      height_(height),
      video_kbps_(video_kbps),
      audio_kbps_(audio_kbps),
      duration_ns_(DurationNs(duration_ms)),
      has_audio_(has_audio),
      on_progress_(std::move(on_progress)),
      on_done_(std::move(on_done)),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      progress_(kProgressIntervalMs,
                [this](double fraction) { on_progress_(fraction); }) {}

Transcoder::~Transcoder() {
  // Before the pipeline stops: progress queued from now on is dropped.
  alive_->store(false);
  TearDown();
  RemoveParts();
}

void Transcoder::Start() {
  // filesink would truncate the source before a single frame is read.
  if (SameFile(input_path_, output_path_)) {
    output_is_input_ = true;
    Finish(false);
    return;
  }
  // The pipeline opens its source and its output on the main thread as it
  // starts: a FIFO there would freeze the whole application. A device or a
  // directory at the output is no file to write either.
  if (IsSpecialFile(input_path_) || IsSpecialFile(output_path_)) {
    Finish(false);
    return;
  }
  part_ = std::make_unique<PartFile>(output_path_, PartKind::kStream);
  faststart_ = std::make_unique<PartFile>(output_path_, PartKind::kFaststart);
  // Something other than a file planted under a part file's name would
  // block or be written to like one at the output.
  if (IsSpecialFile(part_->path()) || IsSpecialFile(faststart_->path())) {
    Finish(false);
    return;
  }
  // Reading a large folder, maybe on a slow disk, is no work for the main
  // loop; this job's own parts are registered already, so the sweep skips
  // them whenever it runs.
  g_autofree gchar* folder = g_path_get_dirname(output_path_.c_str());
  MediaQueueRunAside([folder = std::string(folder)] {
    RemoveStaleParts(folder);
  });
  encoders_ = AvailableH264Encoders();
  const std::vector<std::string> aac = AvailableAacEncoders();
  if (encoders_.empty() || (has_audio_ && aac.empty())) {
    Finish(false);
    return;
  }
  if (!aac.empty()) {
    audio_encoder_ = aac.front();
  }
  encoder_index_ = 0;
  StartAttempt();
}

// Tries the encoders from encoder_index_ on until one starts; the job fails
// when none does. Parsing a branch links its elements, and each link asks the
// chain for its caps: 15 to 20 ms of CPU for the two branches of a 1080p job,
// which a thread beside the media queue spends instead of the main loop, so
// that jobs start together as they did. The attempt goes on in
// ContinueAttempt, on the main loop.
void Transcoder::StartAttempt() {
  if (encoder_index_ >= encoders_.size()) {
    Finish(false);
    return;
  }
  const H264Encoder* encoder = FindH264Encoder(encoders_[encoder_index_]);
  if (encoder == nullptr) {
    g_warning("Video compress: %s couldn't start: not an encoder of the "
              "catalogue",
              encoders_[encoder_index_].c_str());
    ++encoder_index_;
    StartAttempt();
    return;
  }
  g_autofree gchar* props = g_strdup_printf(encoder->props, video_kbps_);
  const char* parser =
      encoder->needs_parser && HasElement("h264parse") ? "! h264parse" : "";
  g_autofree gchar* video = g_strdup_printf(kVideoBranch, width_, height_,
                                            encoder->element, props, parser);
  std::string audio;
  if (has_audio_ && !source_is_silent_) {
    g_autofree gchar* description =
        g_strdup_printf(kAudioBranch, audio_encoder_.c_str(),
                        static_cast<int64_t>(audio_kbps_) * 1000,
                        HasElement("aacparse") ? "! aacparse" : "");
    audio = description;
  }
  auto* parsed = new ParsedBranches{alive_, this,    std::string(video),
                                    audio,  nullptr, nullptr, std::string()};
  MediaQueueRunAside([parsed] {
    parsed->video = ParseBranch(parsed->video_description, &parsed->error);
    if (parsed->video != nullptr && !parsed->audio_description.empty()) {
      parsed->audio = ParseBranch(parsed->audio_description, &parsed->error);
    }
    g_idle_add(OnBranchesParsed, parsed);
  });
}

// Runs on the main loop once an attempt's branches are parsed.
gboolean Transcoder::OnBranchesParsed(gpointer data) {
  std::unique_ptr<ParsedBranches> parsed(static_cast<ParsedBranches*>(data));
  GstElement* video = std::exchange(parsed->video, nullptr);
  GstElement* audio = std::exchange(parsed->audio, nullptr);
  // A job that was cancelled or destroyed meanwhile has no use for them.
  if (!parsed->alive->load() || parsed->job->finished_) {
    for (GstElement* bin : {video, audio}) {
      if (bin != nullptr) {
        gst_object_unref(gst_object_ref_sink(bin));
      }
    }
    return G_SOURCE_REMOVE;
  }
  parsed->job->ContinueAttempt(video, audio, parsed->error);
  return G_SOURCE_REMOVE;
}

void Transcoder::ContinueAttempt(GstElement* video,
                                 GstElement* audio,
                                 std::string error) {
  const bool wants_audio = has_audio_ && !source_is_silent_;
  if (video != nullptr && (audio != nullptr || !wants_audio)) {
    video_bin_ = video;
    audio_bin_ = audio;
    if (BuildPipeline(&error)) {
      return;
    }
  } else {
    for (GstElement* bin : {video, audio}) {
      if (bin != nullptr) {
        gst_object_unref(gst_object_ref_sink(bin));
      }
    }
  }
  g_warning("Video compress: %s couldn't start: %s",
            encoders_[encoder_index_].c_str(), error.c_str());
  TearDown();
  ++encoder_index_;
  StartAttempt();
}

void Transcoder::Cancel() {
  if (finished_) {
    return;
  }
  cancelled_ = true;
  finished_ = true;
  progress_.Stop();
  TearDown();
  DeleteOutput();
  on_done_(false, true);
}

bool Transcoder::BuildPipeline(std::string* error) {
  pipeline_ = gst_pipeline_new("zk_transcode");
  DecodeIntoPooledFrames(pipeline_);
  GstElement* source = gst_element_factory_make("filesrc", nullptr);
  decodebin_ = gst_element_factory_make("decodebin", nullptr);
  mux_ = gst_element_factory_make("mp4mux", nullptr);
  GstElement* sink = gst_element_factory_make("filesink", nullptr);
  if (source == nullptr || decodebin_ == nullptr || mux_ == nullptr ||
      sink == nullptr) {
    *error = "missing filesrc, decodebin, mp4mux or filesink";
    for (GstElement* made :
         {source, decodebin_, mux_, sink, video_bin_, audio_bin_}) {
      if (made != nullptr) {
        gst_object_unref(gst_object_ref_sink(made));
      }
    }
    decodebin_ = nullptr;
    mux_ = nullptr;
    video_bin_ = nullptr;
    audio_bin_ = nullptr;
    gst_clear_object(&pipeline_);
    return false;
  }
  g_object_set(source, "location", input_path_.c_str(), nullptr);
  // The muxer keeps the media data in a file of its own until the end; by
  // default in /tmp, where a killed job would leave it for good.
  g_object_set(mux_, "faststart", TRUE, "faststart-file",
               faststart_->path().c_str(), nullptr);
  g_object_set(sink, "location", part_->path().c_str(), nullptr);
  gst_bin_add_many(GST_BIN(pipeline_), source, decodebin_, video_bin_, mux_,
                   sink, nullptr);
  if (audio_bin_ != nullptr) {
    gst_bin_add(GST_BIN(pipeline_), audio_bin_);
  }
  if (!gst_element_link(source, decodebin_) || !gst_element_link(mux_, sink) ||
      !gst_element_link(video_bin_, mux_)) {
    *error = "couldn't link the pipeline";
    return false;
  }

  if (audio_bin_ != nullptr) {
    if (!gst_element_link(audio_bin_, mux_)) {
      *error = "couldn't link the audio";
      return false;
    }
  }

  g_signal_connect(decodebin_, "pad-added", G_CALLBACK(OnPadAdded), this);
  g_signal_connect(decodebin_, "no-more-pads", G_CALLBACK(OnNoMorePads), this);
  g_signal_connect(decodebin_, "unknown-type", G_CALLBACK(OnUnknownType), this);

  AddProbe(video_bin_, kEncoderName, OnBufferProbe, this, &probe_pad_,
           &probe_id_);
  if (audio_bin_ != nullptr) {
    AddProbe(audio_bin_, kAudioEncoderName, OnAudioProbe, this,
             &audio_probe_pad_, &audio_probe_id_);
  }

  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline_);
  bus_watch_id_ = gst_bus_add_watch(bus, OnBus, this);
  StartWatch();

  if (gst_element_set_state(pipeline_, GST_STATE_PLAYING) ==
      GST_STATE_CHANGE_FAILURE) {
    *error = "the pipeline wouldn't start";
    return false;
  }
  part_check_id_ = g_timeout_add_seconds(1, CheckPart, this);
  return true;
}

void Transcoder::TryNextEncoder(const std::string& error) {
  g_warning("Video compress: %s failed: %s", encoders_[encoder_index_].c_str(),
            error.c_str());
  EndAttempt();
  ++encoder_index_;
  StartAttempt();
}

void Transcoder::RestartWithoutAudio() {
  source_is_silent_ = true;
  // Said once: the later attempts have no audio branch to miss.
  if (audio_undecodable_.load()) {
    g_warning(
        "Video compress: %s: the source's audio can't be decoded here, "
        "so the output has video only",
        input_path_.c_str());
  }
  EndAttempt();
  StartAttempt();
}

void Transcoder::Finish(bool ok) {
  if (finished_) {
    return;
  }
  finished_ = true;
  progress_.Stop();
  TearDown(ok);
  if (!ok) {
    DeleteOutput();
  }
  on_done_(ok, cancelled_);
}

// Between attempts: the next one starts from an empty file, and nothing
// that the failed one measured reaches the progress bar.
void Transcoder::EndAttempt() {
  attempt_.fetch_add(1);
  progress_.Stop();
  TearDown();
  RemoveParts();
}

// The stream is complete: the muxer has written its index and the media
// data behind it. The pipeline stops on the media queue, and the part file
// is flushed there after it, once the sink has closed it: flushing hundreds
// of megabytes can take seconds. The rename, which is what makes the file
// appear under its name, comes back to the main loop.
void Transcoder::Save() {
  TearDown(true);
  auto* record = new SaveRecord{alive_, this, part_->path(), 0};
  MediaQueueRun([record] { SyncPart(record); });
}

void Transcoder::SyncPart(SaveRecord* record) {
  const int fd = open(record->path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 || fsync(fd) != 0) {
    record->error = errno;
  }
  if (fd >= 0) {
    close(fd);
  }
  g_idle_add_full(
      G_PRIORITY_DEFAULT, OnPartSynced, record,
      [](gpointer data) { delete static_cast<SaveRecord*>(data); });
}

// Runs on the main loop once the part file is on disk, or failed to get
// there.
gboolean Transcoder::OnPartSynced(gpointer data) {
  auto* record = static_cast<SaveRecord*>(data);
  // Destroyed meanwhile (the part file went with it), or cancelled.
  if (!record->alive->load() || record->self->finished_) {
    return G_SOURCE_REMOVE;
  }
  Transcoder* self = record->self;
  // The muxer removes its own store at a normal end.
  self->faststart_->Remove();
  int error = record->error;
  if (error == 0 &&
      g_rename(record->path.c_str(), self->output_path_.c_str()) != 0) {
    error = errno;
  }
  if (error != 0) {
    g_warning("Video compress: %s failed: couldn't save the output: %s",
              self->encoders_[self->encoder_index_].c_str(),
              g_strerror(error));
  }
  self->Finish(error == 0);
  return G_SOURCE_REMOVE;
}

// Runs every second while an attempt writes. A folder removed under a
// running job (or its part file deleted) would otherwise show only when the
// rename fails at the end, maybe many minutes later.
gboolean Transcoder::CheckPart(gpointer user_data) {
  auto* self = static_cast<Transcoder*>(user_data);
  if (g_file_test(self->part_->path().c_str(), G_FILE_TEST_EXISTS)) {
    return G_SOURCE_CONTINUE;
  }
  self->part_check_id_ = 0;
  self->TryNextEncoder("the output file went away");
  return G_SOURCE_REMOVE;
}

void Transcoder::TearDown(bool finished) {
  g_clear_handle_id(&part_check_id_, g_source_remove);
  // The probes go first, then the pipeline stops (which waits for the
  // streaming threads), and only then does its bus watch go.
  RemoveProbe(&probe_pad_, &probe_id_);
  RemoveProbe(&audio_probe_pad_, &audio_probe_id_);
  if (pipeline_ != nullptr && finished) {
    // Every stream has reached the file: no streaming thread calls into
    // this job any more. Stopping the pipeline still waits for them, about
    // 6 ms of CPU at the end of a 1080p job, which the media queue spends
    // instead of the main loop.
    g_clear_handle_id(&bus_watch_id_, g_source_remove);
    GstElement* pipeline = std::exchange(pipeline_, nullptr);
    MediaQueueRun([pipeline] {
      gst_element_set_state(pipeline, GST_STATE_NULL);
      gst_object_unref(pipeline);
    });
  } else if (pipeline_ != nullptr) {
    gst_element_set_state(pipeline_, GST_STATE_NULL);
    g_clear_handle_id(&bus_watch_id_, g_source_remove);
    gst_clear_object(&pipeline_);
  }
  watch_.Stop();
  video_linked_ = false;
  audio_linked_ = false;
  decodebin_ = nullptr;
  video_bin_ = nullptr;
  audio_bin_ = nullptr;
  mux_ = nullptr;
}

void Transcoder::DeleteOutput() {
  RemoveParts();
  // Only a file this job may have written: remove() would also take an
  // empty directory, or a device node such as /dev/null, given as output.
  if (!output_is_input_ && !IsSpecialFile(output_path_)) {
    std::remove(output_path_.c_str());
  }
}

void Transcoder::RemoveParts() {
  if (part_ != nullptr) {
    part_->Remove();
    faststart_->Remove();
  }
}

void Transcoder::LinkDecodedPad(GstPad* pad) {
  watch_.MarkOpened();
  g_autoptr(GstCaps) caps = gst_pad_get_current_caps(pad);
  if (caps == nullptr) {
    caps = gst_pad_query_caps(pad, nullptr);
  }
  const gchar* kind = nullptr;
  if (caps != nullptr && gst_caps_get_size(caps) > 0) {
    kind = gst_structure_get_name(gst_caps_get_structure(caps, 0));
  }
  GstElement* branch = nullptr;
  if (kind != nullptr && g_str_has_prefix(kind, "video/") &&
      !video_linked_.exchange(true)) {
    branch = video_bin_;
  } else if (kind != nullptr && g_str_has_prefix(kind, "audio/") &&
             audio_bin_ != nullptr && !audio_linked_.exchange(true)) {
    branch = audio_bin_;
  }
  if (branch != nullptr) {
    g_autoptr(GstPad) sink_pad = gst_element_get_static_pad(branch, "sink");
    const GstPadLinkReturn linked = gst_pad_link(pad, sink_pad);
    if (linked != GST_PAD_LINK_OK) {
      // A size or format that the encoder or the muxer refuses (the muxer
      // takes no picture under 16 pixels a side) leaves the branch without
      // data and the muxer waiting for it: no element reports that, so the
      // attempt fails here as a bus error would.
      g_autoptr(GError) error =
          g_error_new(GST_STREAM_ERROR, GST_STREAM_ERROR_FORMAT,
                      "couldn't link the decoded %s: %s",
                      branch == video_bin_ ? "video" : "audio",
                      gst_pad_link_get_name(linked));
      gst_element_post_message(
          decodebin_,
          gst_message_new_error(GST_OBJECT(decodebin_), error, nullptr));
    }
    return;
  }
  // Streams past the first of their kind, and audio without an audio
  // branch, are decoded into nothing.
  GstElement* fakesink = gst_element_factory_make("fakesink", nullptr);
  if (fakesink == nullptr) {
    return;
  }
  g_object_set(fakesink, "sync", FALSE, "async", FALSE, nullptr);
  gst_bin_add(GST_BIN(pipeline_), fakesink);
  g_autoptr(GstPad) sink_pad = gst_element_get_static_pad(fakesink, "sink");
  gst_pad_link(pad, sink_pad);
  gst_element_sync_state_with_parent(fakesink);
}

// Runs on a streaming thread once decodebin has announced every stream.
void Transcoder::OnDecodedPadsDone() {
  // The muxer would wait for ever on a branch that nothing feeds.
  if (!video_linked_) {
    g_autoptr(GError) error =
        g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_WRONG_TYPE,
                            "the source has no video");
    gst_element_post_message(
        decodebin_,
        gst_message_new_error(GST_OBJECT(decodebin_), error, nullptr));
    return;
  }
  // A source without sound: the muxer keeps an empty track for a released
  // pad, so the attempt starts again without an audio branch.
  if (audio_bin_ != nullptr && !audio_linked_) {
    gst_element_post_message(
        decodebin_,
        gst_message_new_application(GST_OBJECT(decodebin_),
                                    gst_structure_new_empty(kNoAudioMessage)));
  }
}

void Transcoder::OnPadAdded(GstElement* element,
                            GstPad* pad,
                            gpointer user_data) {
  static_cast<Transcoder*>(user_data)->LinkDecodedPad(pad);
}

void Transcoder::OnNoMorePads(GstElement* element, gpointer user_data) {
  static_cast<Transcoder*>(user_data)->OnDecodedPadsDone();
}

// Runs on the video branch's streaming thread for every frame that enters
// the encoder; queues progress at most every 120 ms.
GstPadProbeReturn Transcoder::OnBufferProbe(GstPad* pad,
                                            GstPadProbeInfo* info,
                                            gpointer user_data) {
  auto* self = static_cast<Transcoder*>(user_data);
  GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
  if (buffer != nullptr) {
    self->watch_.Touch();
  }
  if (buffer == nullptr || self->duration_ns_ <= 0 ||
      !GST_BUFFER_PTS_IS_VALID(buffer)) {
    return GST_PAD_PROBE_OK;
  }
  const int64_t now_ms = MonotonicMs();
  if (now_ms - self->last_progress_ms_.load() < kProgressIntervalMs) {
    return GST_PAD_PROBE_OK;
  }
  self->last_progress_ms_.exchange(now_ms);
  double fraction = static_cast<double>(GST_BUFFER_PTS(buffer)) /
                    static_cast<double>(self->duration_ns_);
  fraction = std::min(std::max(fraction, 0.0), 1.0);
  auto* record =
      new ProgressRecord{self->alive_, self, self->attempt_.load(), fraction};
  g_idle_add_full(
      G_PRIORITY_DEFAULT, DeliverProgress, record,
      [](gpointer data) { delete static_cast<ProgressRecord*>(data); });
  return GST_PAD_PROBE_OK;
}

// Runs on the audio branch's streaming thread for every buffer that enters
// the audio encoder: a source whose video ends well before its audio is
// still at work.
GstPadProbeReturn Transcoder::OnAudioProbe(GstPad* pad,
                                           GstPadProbeInfo* info,
                                           gpointer user_data) {
  static_cast<Transcoder*>(user_data)->watch_.Touch();
  return GST_PAD_PROBE_OK;
}

// Runs on a streaming thread when decodebin finds a stream that no decoder
// here takes.
void Transcoder::OnUnknownType(GstElement* element,
                               GstPad* pad,
                               GstCaps* caps,
                               gpointer user_data) {
  const GstStructure* structure = caps != nullptr && gst_caps_get_size(caps) > 0
                                      ? gst_caps_get_structure(caps, 0)
                                      : nullptr;
  if (structure != nullptr &&
      g_str_has_prefix(gst_structure_get_name(structure), "audio/")) {
    static_cast<Transcoder*>(user_data)->audio_undecodable_.store(true);
  }
}

// Runs on the main loop for each queued progress record.
gboolean Transcoder::DeliverProgress(gpointer user_data) {
  auto* record = static_cast<ProgressRecord*>(user_data);
  if (!record->alive->load() || record->self->finished_ ||
      record->attempt != record->self->attempt_.load()) {
    return G_SOURCE_REMOVE;
  }
  record->self->progress_.Offer(record->fraction);
  return G_SOURCE_REMOVE;
}

// Fails an attempt whose source does not open, or that goes too long
// without a frame, as a bus error would. decodebin sometimes drops the error
// of a demuxer that fails the moment it starts (an MP4 cut before its index,
// say, about one attempt in twenty), and the pipeline then waits for ever:
// the job would never answer, and every later "compress" would be refused as
// busy.
void Transcoder::StartWatch() {
  const WatchdogLimits& limits = CurrentWatchdogLimits();
  watch_.Start(
      GST_BIN(pipeline_), limits.job_open_ms, limits.job_stall_ms,
      [this](OpenWatchdog::Failure failure, int64_t limit_ms) {
        g_autofree gchar* error = nullptr;
        switch (failure) {
          case OpenWatchdog::Failure::kDemuxerStopped:
            error = g_strdup("the demuxer stopped before it found a stream");
            break;
          case OpenWatchdog::Failure::kNotOpened:
            error = g_strdup_printf(
                "the source did not open within %" G_GINT64_FORMAT " ms",
                limit_ms);
            break;
          case OpenWatchdog::Failure::kStalled:
            error = g_strdup_printf("no frame for %" G_GINT64_FORMAT " ms",
                                    limit_ms);
            break;
        }
        TryNextEncoder(error);
      });
}

// The pipeline's bus, on the main loop.
gboolean Transcoder::OnBus(GstBus* bus,
                           GstMessage* message,
                           gpointer user_data) {
  auto* self = static_cast<Transcoder*>(user_data);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
      g_autoptr(GError) error = nullptr;
      g_autofree gchar* debug = nullptr;
      gst_message_parse_error(message, &error, &debug);
      self->TryNextEncoder(error != nullptr ? error->message : "");
      break;
    }
    case GST_MESSAGE_EOS:
      self->Save();
      break;
    case GST_MESSAGE_APPLICATION:
      if (gst_message_has_name(message, kNoAudioMessage)) {
        self->RestartWithoutAudio();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
