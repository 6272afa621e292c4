// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_COMPRESS_TEST_UTIL_H_
#define PLUGINS_VIDEO_TEST_COMPRESS_TEST_UTIL_H_

// Helpers shared by the compression tests: generated source files, a look at
// the outputs through ffprobe and ffmpeg, the warnings the job logs, and
// elements hidden from the registry.

#include <glib.h>
#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace compress_test {

// A directory of this test process, removed with what is in it when the
// process ends.
class ScratchDir {
 public:
  ScratchDir() {
    gchar* made = g_dir_make_tmp("zk-compress-test-XXXXXX", nullptr);
    if (made != nullptr) {
      path_ = made;
      g_free(made);
    }
  }
  ~ScratchDir() {
    if (path_.empty()) {
      return;
    }
    GDir* dir = g_dir_open(path_.c_str(), 0, nullptr);
    if (dir != nullptr) {
      while (const gchar* name = g_dir_read_name(dir)) {
        g_autofree gchar* path = g_build_filename(path_.c_str(), name, nullptr);
        g_remove(path);
      }
      g_dir_close(dir);
    }
    g_rmdir(path_.c_str());
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline ScratchDir& Scratch() {
  static ScratchDir dir;
  return dir;
}

// A fresh path in the scratch directory; nothing lies there yet.
inline std::string OutputPath(const std::string& name) {
  std::string path = Scratch().Path(name);
  g_remove(path.c_str());
  return path;
}

// Runs a launch description (whose every "%1$s" is the output path) to its
// end; the path, or "" after a test failure. Made once per process.
inline std::string MakeMedia(const std::string& name,
                             const std::string& description) {
  static std::map<std::string, std::string> made;
  auto found = made.find(name);
  if (found != made.end()) {
    return found->second;
  }
  const std::string path = Scratch().Path(name);
  std::string launch = description;
  for (size_t at = launch.find("%1$s"); at != std::string::npos;
       at = launch.find("%1$s", at)) {
    launch.replace(at, 4, path);
  }
  g_autoptr(GError) error = nullptr;
  GstElement* parsed = gst_parse_launch(launch.c_str(), &error);
  if (parsed == nullptr || error != nullptr) {
    ADD_FAILURE() << "cannot build \"" << launch
                  << "\": " << (error != nullptr ? error->message : "");
    if (parsed != nullptr) {
      gst_object_unref(gst_object_ref_sink(parsed));
    }
    return "";
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (message == nullptr || GST_MESSAGE_TYPE(message) != GST_MESSAGE_EOS) {
    ADD_FAILURE() << "\"" << launch << "\" did not run to its end";
    g_remove(path.c_str());
    return "";
  }
  made[name] = path;
  return path;
}

// 320x240 H.264 at 60 frames/s with 16:15 pixels, 1 s, and 44.1 kHz mono
// AAC: everything the job has to change.
inline std::string AvClip() {
  return MakeMedia(
      "av.mp4",
      "videotestsrc num-buffers=60 pattern=ball ! "
      "video/x-raw,format=I420,width=320,height=240,framerate=60/1,"
      "pixel-aspect-ratio=16/15 ! x264enc threads=1 speed-preset=ultrafast ! "
      "h264parse ! mp4mux name=m ! filesink location=%1$s "
      "audiotestsrc num-buffers=44 samplesperbuffer=1024 ! "
      "audio/x-raw,rate=44100,channels=1 ! avenc_aac ! aacparse ! m.");
}

// Two video and two audio streams in one Matroska file, 0.5 s each.
inline std::string TwoStreamClip() {
  return MakeMedia(
      "two_streams.mkv",
      "matroskamux name=m ! filesink location=%1$s "
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

// A 640x480 clip of noise, 3 s at 30 frames/s, that takes a while to
// compress: long enough for several progress reports.
inline std::string SlowClip() {
  return MakeMedia(
      "slow.mp4",
      "videotestsrc num-buffers=90 pattern=snow ! "
      "video/x-raw,format=I420,width=640,height=480,framerate=30/1 ! "
      "x264enc threads=1 speed-preset=ultrafast ! h264parse ! mp4mux ! "
      "filesink location=%1$s");
}

inline bool Exists(const std::string& path) {
  return g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
}

inline std::string ReadFile(const std::string& path) {
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    return "";
  }
  return std::string(contents, length);
}

// Runs args; its standard output, or "" after a test failure.
inline std::string Run(const std::vector<std::string>& args) {
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

// A media file as ffprobe reports it: one key to value map per stream
// ("codec_type", "codec_name", "width", "profile", ...) and one for the
// container.
struct Probe {
  std::vector<std::map<std::string, std::string>> streams;
  std::map<std::string, std::string> format;

  std::vector<std::map<std::string, std::string>> Of(
      const std::string& type) const {
    std::vector<std::map<std::string, std::string>> found;
    for (const auto& stream : streams) {
      auto entry = stream.find("codec_type");
      if (entry != stream.end() && entry->second == type) {
        found.push_back(stream);
      }
    }
    return found;
  }
};

inline Probe FfProbe(const std::string& path) {
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

// A frame rate "30/1" as a number; 0 when unreadable.
inline double Rate(const std::string& fraction) {
  int num = 0;
  int den = 0;
  if (sscanf(fraction.c_str(), "%d/%d", &num, &den) != 2 || den == 0) {
    return 0;
  }
  return static_cast<double>(num) / den;
}

// The first frame of a video file as packed RGB, through ffmpeg and a file
// (the frame holds zero bytes).
inline std::string FirstFrameRgb(const std::string& path) {
  const std::string raw = Scratch().Path("frame.rgb");
  Run({"ffmpeg", "-v", "error", "-y", "-i", path, "-frames:v", "1", "-f",
       "rawvideo", "-pix_fmt", "rgb24", raw});
  std::string pixels = ReadFile(raw);
  g_remove(raw.c_str());
  return pixels;
}

// Collects the warnings logged without a log domain while it lives.
class LogCapture {
 public:
  LogCapture() {
    handler_ = g_log_set_handler(
        nullptr,
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_FLAG_FATAL |
                                    G_LOG_FLAG_RECURSION),
        [](const gchar*, GLogLevelFlags, const gchar* message, gpointer data) {
          static_cast<LogCapture*>(data)->messages_.emplace_back(message);
        },
        this);
  }
  ~LogCapture() { g_log_remove_handler(nullptr, handler_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  const std::vector<std::string>& messages() const { return messages_; }
  // The messages that begin with prefix.
  std::vector<std::string> Starting(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& message : messages_) {
      if (message.compare(0, prefix.size(), prefix) == 0) {
        found.push_back(message);
      }
    }
    return found;
  }

 private:
  guint handler_ = 0;
  std::vector<std::string> messages_;
};

// Takes element factories out of the default registry while it lives, as if
// their plugins were not installed.
class HiddenFactories {
 public:
  explicit HiddenFactories(const std::vector<std::string>& names) {
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
  ~HiddenFactories() {
    GstRegistry* registry = gst_registry_get();
    for (GstPluginFeature* feature : hidden_) {
      gst_registry_add_feature(registry, feature);
      gst_object_unref(feature);
    }
  }
  HiddenFactories(const HiddenFactories&) = delete;
  HiddenFactories& operator=(const HiddenFactories&) = delete;

 private:
  std::vector<GstPluginFeature*> hidden_;  // One reference each.
};

// The H.264 and AAC encoder names the catalogue knows.
inline std::vector<std::string> AllH264Encoders() {
  return {"x264enc",   "openh264enc", "nvh264enc",
          "vah264enc", "vah264lpenc", "vaapih264enc"};
}
inline std::vector<std::string> AllAacEncoders() {
  return {"avenc_aac", "fdkaacenc", "voaacenc", "faac"};
}

}  // namespace compress_test

#endif  // PLUGINS_VIDEO_TEST_COMPRESS_TEST_UTIL_H_
