// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "test_media.h"

#include <fcntl.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "fl_fake_main_loop.h"
#include "media_queue.h"

namespace test_media {
namespace {

constexpr guint kJobTimeoutMs = 30000;

// Runs a gst-launch style description to its end.
bool RunPipeline(const std::string& description) {
  g_autoptr(GError) error = nullptr;
  GstElement* parsed = gst_parse_launch(description.c_str(), &error);
  if (parsed == nullptr || error != nullptr) {
    ADD_FAILURE() << "cannot build \"" << description
                  << "\": " << (error != nullptr ? error->message : "");
    if (parsed != nullptr) {
      gst_object_unref(gst_object_ref_sink(parsed));
    }
    return false;
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (message == nullptr || GST_MESSAGE_TYPE(message) != GST_MESSAGE_EOS) {
    g_autoptr(GError) failure = nullptr;
    if (message != nullptr) {
      gst_message_parse_error(message, &failure, nullptr);
    }
    ADD_FAILURE() << "\"" << description << "\" did not run to its end: "
                  << (failure != nullptr ? failure->message : "time-out");
    return false;
  }
  return true;
}

void PutBe32(guint8* at, guint32 value) {
  at[0] = value >> 24;
  at[1] = value >> 16;
  at[2] = value >> 8;
  at[3] = value;
}

// Writes a 90-degree clockwise display matrix into the first track header
// of the movie box: the way MP4 files from cameras carry their orientation.
bool RotateTrackHeader(const std::string& path) {
  std::string data = ReadFile(path);
  size_t moov = data.rfind("moov");
  size_t tkhd = moov == std::string::npos ? moov : data.find("tkhd", moov);
  if (tkhd == std::string::npos || tkhd + 100 > data.size()) {
    ADD_FAILURE() << "no track header in " << path;
    return false;
  }
  auto* box = reinterpret_cast<guint8*>(&data[tkhd + 4]);
  const bool version1 = box[0] == 1;
  // Version and flags, the times, track id and duration, then reserved
  // words, layer, group and volume come before the matrix.
  guint8* matrix = box + 4 + (version1 ? 32 : 20) + 16;
  const guint32 values[9] = {0, 0x00010000, 0, 0xFFFF0000, 0,
                             0, 0,          0, 0x40000000};
  for (int i = 0; i < 9; ++i) {
    PutBe32(matrix + 4 * i, values[i]);
  }
  if (!g_file_set_contents(path.c_str(), data.data(), data.size(), nullptr)) {
    ADD_FAILURE() << "cannot write " << path;
    return false;
  }
  return true;
}

// MakeMedia, with a last touch to the file made.
std::string Make(const char* name,
                 const char* description,
                 bool (*finish)(const std::string&) = nullptr) {
  static std::map<std::string, std::string> made;  // File name to path.
  auto found = made.find(name);
  if (found != made.end()) {
    return found->second;
  }
  if (Scratch().path().empty()) {
    ADD_FAILURE() << "no scratch folder for " << name;
    return "";
  }
  const std::string path = Scratch().File(name);
  g_autofree gchar* launch = g_strdup_printf(description, path.c_str());
  if (!RunPipeline(launch) || (finish != nullptr && !finish(path))) {
    g_remove(path.c_str());
    return "";
  }
  made[name] = path;
  return path;
}

void FakeEncoderClassInit(gpointer klass, gpointer) {
  gst_element_class_set_static_metadata(GST_ELEMENT_CLASS(klass),
                                        "Test encoder", "Codec/Encoder",
                                        "Stands in for an encoder", "tests");
}

// An element type of its own for every stand-in name, so that no real type
// gets a factory it does not have.
GType FakeEncoderType(const std::string& name) {
  g_autofree gchar* type_name = g_strdup_printf("ZkTestFake_%s", name.c_str());
  GType type = g_type_from_name(type_name);
  if (type != 0) {
    return type;
  }
  return g_type_register_static_simple(GST_TYPE_ELEMENT, type_name,
                                       sizeof(GstElementClass),
                                       FakeEncoderClassInit, sizeof(GstElement),
                                       nullptr, static_cast<GTypeFlags>(0));
}

}  // namespace

// ---------------------------------------------------------------------------
// Files.

ScratchDir::ScratchDir() {
  gchar* made = g_dir_make_tmp("zk-video-test-XXXXXX", nullptr);
  if (made == nullptr) {
    ADD_FAILURE() << "cannot make a scratch folder";
    return;
  }
  path_ = made;
  g_free(made);
}

ScratchDir::~ScratchDir() {
  // Links inside are removed, never followed.
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ScratchDir::File(const std::string& name) const {
  g_autofree gchar* file =
      g_build_filename(path_.c_str(), name.c_str(), nullptr);
  return file;
}

ScratchDir& Scratch() {
  static ScratchDir dir;
  return dir;
}

std::string OutputPath(const std::string& name) {
  std::string path = Scratch().File(name);
  g_remove(path.c_str());
  return path;
}

std::string LinkTo(const ScratchDir& dir,
                   const std::string& name,
                   const std::string& target) {
  const std::string link = dir.File(name);
  if (target.empty() || symlink(target.c_str(), link.c_str()) != 0) {
    ADD_FAILURE() << "cannot link " << link << " to " << target;
    return "";
  }
  return link;
}

std::string FirstHalfOf(const ScratchDir& dir,
                        const std::string& name,
                        const std::string& source) {
  const std::string bytes = source.empty() ? "" : ReadFile(source);
  const std::string cut = dir.File(name);
  if (bytes.empty() || !g_file_set_contents(cut.c_str(), bytes.data(),
                                            bytes.size() / 2, nullptr)) {
    ADD_FAILURE() << "cannot write half of " << source << " to " << cut;
    return "";
  }
  return cut;
}

bool Exists(const std::string& path) {
  return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

std::string ReadFile(const std::string& path) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    return "";
  }
  return std::string(contents, length);
}

std::string Uri(const std::string& path) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  return uri != nullptr ? uri : "";
}

// ---------------------------------------------------------------------------
// Media.

std::string VideoClip() {
  return Make("clip.mp4",
              "videotestsrc num-buffers=15 pattern=ball ! "
              "video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
              "x264enc threads=1 key-int-max=1 ! h264parse ! mp4mux ! "
              "filesink location=%s");
}

std::string AudioClip() {
  return Make("tone.wav",
              "audiotestsrc num-buffers=50 samplesperbuffer=441 ! "
              "audio/x-raw,format=S16LE,rate=44100,channels=1 ! wavenc ! "
              "filesink location=%s");
}

std::string RotatedClip() {
  return Make("rotated.mp4",
              "videotestsrc num-buffers=15 pattern=red ! "
              "video/x-raw,width=32,height=32,framerate=30/1 ! videoconvert ! "
              "videobox right=-32 fill=blue ! videoconvert ! "
              "video/x-raw,format=I420,width=64,height=32 ! "
              "x264enc threads=1 key-int-max=1 ! h264parse ! mp4mux ! "
              "filesink location=%s",
              RotateTrackHeader);
}

std::string AvClip() {
  return Make(
      "av.mp4",
      "videotestsrc num-buffers=60 pattern=ball ! "
      "video/x-raw,format=I420,width=320,height=240,framerate=60/1,"
      "pixel-aspect-ratio=16/15 ! x264enc threads=1 speed-preset=ultrafast ! "
      "h264parse ! mp4mux name=m ! filesink location=%s "
      "audiotestsrc num-buffers=44 samplesperbuffer=1024 ! "
      "audio/x-raw,rate=44100,channels=1 ! avenc_aac ! aacparse ! m.");
}

std::string TwoStreamClip() {
  return Make("two_streams.mkv",
              "matroskamux name=m ! filesink location=%s "
              "videotestsrc num-buffers=15 pattern=red ! "
              "video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
              "x264enc threads=1 speed-preset=ultrafast ! h264parse ! m. "
              "videotestsrc num-buffers=15 pattern=blue ! "
              "video/x-raw,format=I420,width=96,height=64,framerate=30/1 ! "
              "x264enc threads=1 speed-preset=ultrafast ! h264parse ! m. "
              "audiotestsrc num-buffers=24 samplesperbuffer=1024 ! "
              "audio/x-raw,rate=48000,channels=2 ! avenc_aac ! aacparse ! m. "
              "audiotestsrc num-buffers=24 samplesperbuffer=1024 wave=square ! "
              "audio/x-raw,rate=48000,channels=1 ! avenc_aac ! aacparse ! m.");
}

std::string SlowClip() {
  return Make("slow.mp4",
              "videotestsrc num-buffers=90 pattern=snow ! "
              "video/x-raw,format=I420,width=640,height=480,framerate=30/1 ! "
              "x264enc threads=1 speed-preset=ultrafast ! h264parse ! mp4mux ! "
              "filesink location=%s");
}

std::string MakeMedia(const char* name, const char* description) {
  return Make(name, description);
}

std::string Shared(const char* name) {
  g_autofree gchar* path = g_build_filename(ZK_MEDIA_DIR, name, nullptr);
  if (!g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
    ADD_FAILURE() << path << " is missing: make the test media first "
                  << "(cmake --build <build dir> --target media)";
    return "";
  }
  return path;
}

// ---------------------------------------------------------------------------
// The main loop.

bool WaitUntil(const std::function<bool()>& done, guint timeout_ms) {
  // Wakes the loop now and then so that done() is looked at again even when
  // nothing else happens: what it waits for may change on another thread.
  guint tick = g_timeout_add(
      5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  const bool held = fl_fake_run_until(done, timeout_ms);
  g_source_remove(tick);
  return held;
}

void RunFor(guint ms) {
  fl_fake_run_until([] { return false; }, ms);
}

void Drain() {
  // Pipelines stopping on the media queue first: their last frame notices
  // and references go through the main loop.
  MediaQueueDrain();
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

Watch::Watch(gpointer object) : object_(object) {
  if (object_ != nullptr) {
    g_object_add_weak_pointer(G_OBJECT(object_), &object_);
  }
}

Watch::~Watch() {
  if (object_ != nullptr) {
    g_object_remove_weak_pointer(G_OBJECT(object_), &object_);
  }
}

::testing::AssertionResult ReadTexture(FlFakeTextureRegistrar* registrar,
                                       int64_t id,
                                       std::string* pixels,
                                       uint32_t* width,
                                       uint32_t* height) {
  g_autoptr(GBytes) bytes = nullptr;
  pixels->clear();
  if (!fl_fake_texture_registrar_read_pixels(registrar, id, &bytes, width,
                                             height) ||
      bytes == nullptr) {
    return ::testing::AssertionFailure() << "texture " << id << " is unread";
  }
  gsize size = 0;
  const auto* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
  pixels->assign(data, size);
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Outputs seen from outside.

std::string Run(const std::vector<std::string>& args) {
  std::vector<gchar*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<gchar*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  g_autofree gchar* out = nullptr;
  g_autofree gchar* err = nullptr;
  gint status = 0;
  g_autoptr(GError) error = nullptr;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr,
                    nullptr, &out, &err, &status, &error)) {
    ADD_FAILURE() << "cannot run " << args[0] << ": " << error->message;
    return "";
  }
  if (!g_spawn_check_wait_status(status, nullptr)) {
    ADD_FAILURE() << args[0] << " failed: " << err;
    return "";
  }
  return out;
}

std::vector<Probe::Entries> Probe::Of(const std::string& type) const {
  std::vector<Entries> found;
  for (const Entries& stream : streams) {
    auto entry = stream.find("codec_type");
    if (entry != stream.end() && entry->second == type) {
      found.push_back(stream);
    }
  }
  return found;
}

Probe FfProbe(const std::string& path) {
  const std::string out = Run({"ffprobe", "-v", "error", "-show_streams",
                               "-show_format", "-of", "flat", path});
  Probe probe;
  g_auto(GStrv) lines = g_strsplit(out.c_str(), "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    // streams.stream.0.codec_name="h264" / format.format_name="mov,mp4,..."
    const gchar* equals = strchr(*line, '=');
    if (equals == nullptr) {
      continue;
    }
    std::string key(*line, equals - *line);
    std::string value(equals + 1);
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);
    }
    if (g_str_has_prefix(key.c_str(), "format.")) {
      probe.format[key.substr(7)] = value;
      continue;
    }
    unsigned index = 0;
    char field[128] = {0};
    if (sscanf(key.c_str(), "streams.stream.%u.%127s", &index, field) != 2) {
      continue;
    }
    if (probe.streams.size() <= index) {
      probe.streams.resize(index + 1);
    }
    probe.streams[index][field] = value;
  }
  return probe;
}

double Rate(const std::string& fraction) {
  int num = 0;
  int den = 0;
  if (sscanf(fraction.c_str(), "%d/%d", &num, &den) != 2 || den == 0) {
    return 0;
  }
  return static_cast<double>(num) / den;
}

std::string FirstFrameRgb(const std::string& path) {
  // Through a file: the frame holds zero bytes.
  const std::string raw = OutputPath("frame.rgb");
  Run({"ffmpeg", "-v", "error", "-y", "-i", path, "-frames:v", "1", "-f",
       "rawvideo", "-pix_fmt", "rgb24", raw});
  std::string pixels = ReadFile(raw);
  g_remove(raw.c_str());
  return pixels;
}

// ---------------------------------------------------------------------------
// Logs.

LogCapture::LogCapture() {
  handler_ = g_log_set_handler(
      nullptr,
      static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_FLAG_FATAL |
                                  G_LOG_FLAG_RECURSION),
      [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
        auto* self = static_cast<LogCapture*>(data);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->messages_.emplace_back(message);
      },
      this);
}

LogCapture::~LogCapture() {
  g_log_remove_handler(nullptr, handler_);
}

std::vector<std::string> LogCapture::messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<std::string> LogCapture::Starting(const std::string& prefix) const {
  std::vector<std::string> found;
  for (const std::string& message : messages()) {
    if (message.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(message);
    }
  }
  return found;
}

// ---------------------------------------------------------------------------
// The registry.

HiddenFactories::HiddenFactories(const std::vector<std::string>& names) {
  GstRegistry* registry = gst_registry_get();
  for (const std::string& name : names) {
    GstPluginFeature* feature =
        gst_registry_lookup_feature(registry, name.c_str());
    if (feature != nullptr) {
      gst_registry_remove_feature(registry, feature);
      hidden_.push_back(feature);
    }
  }
}

HiddenFactories::~HiddenFactories() {
  GstRegistry* registry = gst_registry_get();
  for (const std::string& name : registered_) {
    GstPluginFeature* feature =
        gst_registry_lookup_feature(registry, name.c_str());
    if (feature != nullptr) {
      gst_registry_remove_feature(registry, feature);
      gst_object_unref(feature);
    }
  }
  for (GstPluginFeature* feature : hidden_) {
    gst_registry_add_feature(registry, feature);
    gst_object_unref(feature);
  }
}

void HiddenFactories::Register(const std::string& name,
                               GType type,
                               guint rank) {
  if (type == G_TYPE_INVALID) {
    type = FakeEncoderType(name);
  }
  EXPECT_TRUE(gst_element_register(nullptr, name.c_str(), rank, type))
      << "cannot register " << name;
  registered_.push_back(name);
}

std::vector<std::string> EncoderCatalogue() {
  std::vector<std::string> names = H264EncoderCatalogue();
  for (const std::string& name : AacEncoderCatalogue()) {
    names.push_back(name);
  }
  return names;
}

// ---------------------------------------------------------------------------
// Compression jobs.

std::unique_ptr<Transcoder> MakeJob(const Job& job, Outcome* outcome) {
  return std::make_unique<Transcoder>(
      job.input, job.output, job.width, job.height, 800, 96, job.duration_ms,
      job.has_audio,
      [outcome](double fraction) {
        if (outcome->done_calls > 0) {
          outcome->progress_after_done++;
        }
        outcome->progress.emplace_back(g_get_monotonic_time() / 1000, fraction);
      },
      [outcome](bool ok, bool cancelled) {
        outcome->done_calls++;
        outcome->ok = ok;
        outcome->cancelled = cancelled;
      });
}

Outcome RunJob(const Job& job) {
  Outcome outcome;
  auto transcoder = MakeJob(job, &outcome);
  transcoder->Start();
  EXPECT_TRUE(
      WaitUntil([&outcome] { return outcome.done_calls > 0; }, kJobTimeoutMs))
      << "the job did not end";
  Drain();
  transcoder.reset();
  Drain();
  EXPECT_EQ(outcome.done_calls, 1);
  EXPECT_EQ(outcome.progress_after_done, 0);
  return outcome;
}

::testing::AssertionResult FailedOnce(const Outcome& outcome) {
  if (outcome.done_calls != 1 || outcome.ok || outcome.cancelled) {
    return ::testing::AssertionFailure()
           << "done " << outcome.done_calls << " times, ok " << outcome.ok
           << ", cancelled " << outcome.cancelled;
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// FIFOs.

FifoRescue::FifoRescue(std::string path)
    : path_(std::move(path)), thread_([this] { Run(); }) {}

FifoRescue::~FifoRescue() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  thread_.join();
}

void FifoRescue::Guard(const std::function<void()>& call) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calling_ = true;
  }
  wake_.notify_all();
  call();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calling_ = false;
  }
  wake_.notify_all();
}

bool FifoRescue::rescued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return rescued_;
}

void FifoRescue::Run() {
  constexpr auto kPatience = std::chrono::seconds(5);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    wake_.wait(lock, [this] { return done_ || calling_; });
    if (done_) {
      return;
    }
    if (wake_.wait_for(lock, kPatience, [this] { return !calling_; })) {
      continue;
    }
    break;
  }
  rescued_ = true;
  // A released writer may write on after the test has closed its end.
  signal(SIGPIPE, SIG_IGN);
  const int reader = open(path_.c_str(), O_RDONLY | O_NONBLOCK);
  while (!done_) {
    // Fails with ENXIO unless someone waits to read.
    const int writer = open(path_.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer >= 0) {
      close(writer);
    }
    char discard[4096];
    while (reader >= 0 && read(reader, discard, sizeof(discard)) > 0) {
    }
    wake_.wait_for(lock, std::chrono::milliseconds(50),
                   [this] { return done_; });
  }
  if (reader >= 0) {
    close(reader);
  }
}

}  // namespace test_media
