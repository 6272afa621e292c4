// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "test_media.h"

#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstring>
#include <map>

namespace test_media {
namespace {

// Removes the process's media directory when the process ends.
class MediaDir {
 public:
  MediaDir() {
    g_autoptr(GError) error = nullptr;
    gchar* made = g_dir_make_tmp("zk-video-test-XXXXXX", &error);
    if (made != nullptr) {
      path_ = made;
      g_free(made);
    }
  }
  ~MediaDir() {
    for (const auto& entry : made_) {
      g_remove(entry.second.c_str());
    }
    if (!path_.empty()) {
      g_rmdir(path_.c_str());
    }
  }
  const std::string& path() const { return path_; }
  std::map<std::string, std::string>& made() { return made_; }

 private:
  std::string path_;
  std::map<std::string, std::string> made_;  // File name to path.
};

MediaDir& Dir() {
  static MediaDir dir;
  return dir;
}

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
      bus, 30 * GST_SECOND,
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
  g_autofree gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    ADD_FAILURE() << "cannot read " << path;
    return false;
  }
  std::string data(contents, length);
  size_t moov = data.rfind("moov");
  size_t tkhd = moov == std::string::npos ? moov : data.find("tkhd", moov);
  if (tkhd == std::string::npos || tkhd + 100 > length) {
    ADD_FAILURE() << "no track header in " << path;
    return false;
  }
  auto* box = reinterpret_cast<guint8*>(contents) + tkhd + 4;
  const bool version1 = box[0] == 1;
  // Version and flags, the times, track id and duration, then reserved
  // words, layer, group and volume come before the matrix.
  guint8* matrix = box + 4 + (version1 ? 32 : 20) + 16;
  const guint32 values[9] = {0, 0x00010000, 0, 0xFFFF0000, 0,
                             0, 0,          0, 0x40000000};
  for (int i = 0; i < 9; ++i) {
    PutBe32(matrix + 4 * i, values[i]);
  }
  if (!g_file_set_contents(path.c_str(), contents, length, nullptr)) {
    ADD_FAILURE() << "cannot write " << path;
    return false;
  }
  return true;
}

// Makes name with the pipeline description (whose "%s" is the output path)
// once per process.
std::string Make(const char* name,
                 const char* description,
                 bool (*finish)(const std::string&) = nullptr) {
  MediaDir& dir = Dir();
  auto found = dir.made().find(name);
  if (found != dir.made().end()) {
    return found->second;
  }
  if (dir.path().empty()) {
    ADD_FAILURE() << "no media directory";
    return "";
  }
  g_autofree gchar* path = g_build_filename(dir.path().c_str(), name, nullptr);
  g_autofree gchar* launch = g_strdup_printf(description, path);
  if (!RunPipeline(launch) || (finish != nullptr && !finish(path))) {
    g_remove(path);
    return "";
  }
  dir.made()[name] = path;
  return path;
}

}  // namespace

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

std::string Shared(const char* name) {
  g_autofree gchar* path = g_build_filename(ZK_MEDIA_DIR, name, nullptr);
  if (!g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
    ADD_FAILURE() << path << " is missing: make the test media first "
                  << "(cmake --build <build dir> --target media)";
    return "";
  }
  return path;
}

std::string Uri(const std::string& path) {
  g_autofree gchar* uri = g_filename_to_uri(path.c_str(), nullptr, nullptr);
  return uri != nullptr ? uri : "";
}

bool WaitUntil(const std::function<bool()>& done, guint timeout_ms) {
  const gint64 deadline =
      g_get_monotonic_time() + timeout_ms * G_TIME_SPAN_MILLISECOND;
  // Wakes the loop now and then so that done() is looked at again even when
  // nothing else happens.
  guint tick = g_timeout_add(
      5, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
  while (!done() && g_get_monotonic_time() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick);
  return done();
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

void Drain() {
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

}  // namespace test_media
