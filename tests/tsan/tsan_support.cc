// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "tsan_support.h"

#include <glib/gstdio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <vector>

#include "media_queue.h"
#include "transcoder.h"

namespace tsan_support {

namespace {

std::string* g_dir = nullptr;

void RemoveDir() {
  GDir* dir = g_dir_open(g_dir->c_str(), 0, nullptr);
  if (dir != nullptr) {
    std::vector<std::string> names;
    while (const gchar* name = g_dir_read_name(dir)) {
      names.emplace_back(name);
    }
    g_dir_close(dir);
    for (const std::string& name : names) {
      g_autofree gchar* path =
          g_build_filename(g_dir->c_str(), name.c_str(), nullptr);
      g_remove(path);
    }
  }
  g_rmdir(g_dir->c_str());
}

gboolean TimeoutCb(gpointer data) {
  *static_cast<bool*>(data) = true;
  return G_SOURCE_REMOVE;
}

// The AAC encoder the plugin would use first, or "".
std::string AacEncoder() {
  const std::vector<std::string> found = AvailableAacEncoders();
  return found.empty() ? "" : found.front();
}

}  // namespace

const std::string& ScratchDir() {
  if (g_dir == nullptr) {
    g_autofree gchar* dir = g_dir_make_tmp("zk-tsan-XXXXXX", nullptr);
    g_dir = new std::string(dir != nullptr ? dir : "");
    atexit(RemoveDir);
  }
  return *g_dir;
}

std::string Clip(const char* name, int frames, bool audio) {
  static std::map<std::string, std::string> made;
  auto it = made.find(name);
  if (it != made.end()) {
    return it->second;
  }
  g_autofree gchar* path =
      g_build_filename(ScratchDir().c_str(), name, nullptr);
  std::string description =
      "videotestsrc num-buffers=" + std::to_string(frames) +
      " ! video/x-raw,format=I420,width=64,height=48,framerate=30/1 ! "
      "x264enc threads=1 key-int-max=10 ! mp4mux name=mux ! filesink "
      "location=\"" +
      std::string(path) + "\"";
  if (audio) {
    const std::string aac = AacEncoder();
    if (aac.empty()) {
      ADD_FAILURE() << "no AAC encoder for the test media";
      return "";
    }
    description += " audiotestsrc num-buffers=" +
                   std::to_string(frames * 48000 / 30 / 1024 + 1) +
                   " ! audioconvert ! " + aac + " ! mux.";
  }
  g_autoptr(GError) error = nullptr;
  GstElement* parsed = gst_parse_launch(description.c_str(), &error);
  if (parsed == nullptr) {
    ADD_FAILURE() << "cannot make " << name << ": " << error->message;
    return "";
  }
  g_autoptr(GstElement) pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline);
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  g_autoptr(GstMessage) message = gst_bus_timed_pop_filtered(
      bus, 60 * GST_SECOND,
      static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  gst_element_set_state(pipeline, GST_STATE_NULL);
  if (message == nullptr || GST_MESSAGE_TYPE(message) != GST_MESSAGE_EOS) {
    ADD_FAILURE() << "cannot make " << name;
    return "";
  }
  made[name] = path;
  return path;
}

bool WaitUntil(const std::function<bool()>& done, guint timeout_ms) {
  bool timed_out = false;
  guint timeout_id = g_timeout_add(timeout_ms, TimeoutCb, &timed_out);
  while (!done() && !timed_out) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!timed_out) {
    g_source_remove(timeout_id);
  }
  return done();
}

void Drain() {
  // Pipelines stopping on the media queue first: their last frame notices
  // and references go through the main loop.
  MediaQueueDrain();
  while (g_main_context_iteration(nullptr, FALSE)) {
  }
}

}  // namespace tsan_support
