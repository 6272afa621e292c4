// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "player.h"

#include <gst/app/gstappsink.h>
#include <gst/video/video.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "frame_memory.h"
#include "media_guard.h"
#include "media_queue.h"

namespace {

// Turns the picture upright by its orientation tag and hands packed RGBA to
// the appsink, which presents frames against the clock and drops the oldest
// rather than stall the decoder when the texture lags behind.
constexpr char kVideoSinkDescription[] =
    "videoconvert ! videoflip video-direction=auto ! videoconvert ! "
    "video/x-raw,format=RGBA ! "
    "appsink name=zk_appsink sync=true max-buffers=2 drop=true";

constexpr char kAppSinkName[] = "zk_appsink";

// Called on a streaming thread with a frame: the preroll frame (Pull is
// gst_app_sink_pull_preroll) or, while playing, every frame.
template <GstSample* (*Pull)(GstAppSink*)>
GstFlowReturn on_frame(GstAppSink* sink, gpointer user_data) {
  GstSample* sample = Pull(sink);
  if (sample != nullptr) {
    zk_frame_texture_take_frame(static_cast<ZkFrameTexture*>(user_data),
                                sample);
    gst_sample_unref(sample);
  }
  return GST_FLOW_OK;
}

// Whether uri names a local FIFO, device, socket or directory.
bool NamesSpecialFile(const std::string& uri) {
  g_autofree gchar* path = g_filename_from_uri(uri.c_str(), nullptr, nullptr);
  return path != nullptr && IsSpecialFile(path);
}

FlValue* EventMap(const char* name) {
  FlValue* event = fl_value_new_map();
  fl_value_set_string_take(event, "event", fl_value_new_string(name));
  return event;
}

}  // namespace

Player::Player(FlTextureRegistrar* registrar,
               FlBinaryMessenger* messenger,
               const std::string& uri)
    : registrar_(registrar) {
  texture_ =
      ZK_FRAME_TEXTURE(g_object_new(zk_frame_texture_get_type(), nullptr));
  // The notices need the registrar before the engine can ask for a frame.
  zk_frame_texture_set_registrar(texture_, registrar_);
  fl_texture_registrar_register_texture(registrar_, FL_TEXTURE(texture_));
  texture_id_ = fl_texture_get_id(FL_TEXTURE(texture_));

  g_autofree gchar* channel_name = g_strdup_printf(
      "zelko_desktop_video/events_%" G_GINT64_FORMAT, texture_id_);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  channel_ =
      fl_event_channel_new(messenger, channel_name, FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(channel_, OnListen, OnCancel, this,
                                       nullptr);

  pipeline_ = gst_element_factory_make("playbin", "zk_player");
  if (pipeline_ == nullptr) {
    return;
  }
  // playbin's own reference is floating; the player holds a plain one.
  gst_object_ref_sink(pipeline_);
  DecodeIntoPooledFrames(pipeline_);

  g_autoptr(GError) error = nullptr;
  GstElement* parsed =
      gst_parse_bin_from_description(kVideoSinkDescription, TRUE, &error);
  if (parsed == nullptr) {
    g_warning("Video player: %s",
              error != nullptr ? error->message : "no video sink");
    gst_clear_object(&pipeline_);
    return;
  }
  g_autoptr(GstElement) video_sink = GST_ELEMENT(gst_object_ref_sink(parsed));

  g_autoptr(GstElement) appsink =
      gst_bin_get_by_name(GST_BIN(video_sink), kAppSinkName);
  if (appsink != nullptr) {
    GstAppSinkCallbacks callbacks = {};
    callbacks.new_preroll = on_frame<gst_app_sink_pull_preroll>;
    callbacks.new_sample = on_frame<gst_app_sink_pull_sample>;
    // The texture outlives the pipeline: the destructor hands its reference
    // to the pipeline's teardown.
    gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, texture_,
                               nullptr);
  }

  // The source opens its file on this thread as the pipeline prerolls: a
  // FIFO would block the main loop there until a writer came, and a device
  // may never end. Such a file fails like unplayable media, and playbin
  // never gets its URI, so no later state change opens it either.
  const bool refused = NamesSpecialFile(uri);
  g_object_set(pipeline_, "video-sink", video_sink, nullptr);
  if (!refused) {
    g_object_set(pipeline_, "uri", uri.c_str(), nullptr);
  }

  g_autoptr(GstBus) bus = gst_element_get_bus(pipeline_);
  bus_watch_id_ = gst_bus_add_watch(bus, OnBusMessage, this);

  if (refused) {
    g_autoptr(GError) refusal =
        g_error_new(GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                    "Not a regular file: %s", uri.c_str());
    gst_element_post_message(
        pipeline_,
        gst_message_new_error(GST_OBJECT(pipeline_), refusal, nullptr));
    return;
  }
  // Prerolls the first frame; "initialized" follows at ASYNC_DONE. A live
  // source prerolls nothing and has nothing to wait for.
  if (gst_element_set_state(pipeline_, GST_STATE_PAUSED) ==
      GST_STATE_CHANGE_ASYNC) {
    ArmOpenTimeout();
  }
}

Player::~Player() {
  open_watch_.Stop();
  // A notice already queued for the main loop, or queued by a frame that
  // arrives before the pipeline has stopped, must not reach the engine.
  zk_frame_texture_detach(texture_);
  fl_texture_registrar_unregister_texture(registrar_, FL_TEXTURE(texture_));
  if (pipeline_ != nullptr) {
    g_clear_handle_id(&bus_watch_id_, g_source_remove);
    // Stopping the pipeline waits for each streaming thread to finish its
    // buffer: 10 to 25 ms of the main loop per 1080p player, and over 100 ms
    // on a busy machine. The media queue waits instead. The appsink's
    // callbacks write to the texture until then, so the texture's reference
    // goes with the pipeline.
    GstElement* pipeline = std::exchange(pipeline_, nullptr);
    ZkFrameTexture* texture = std::exchange(texture_, nullptr);
    MediaQueueRun([pipeline, texture] {
      gst_element_set_state(pipeline, GST_STATE_NULL);
      gst_object_unref(pipeline);
      g_object_unref(texture);
    });
  }
  g_clear_object(&texture_);

  fl_event_channel_set_stream_handlers(channel_, nullptr, nullptr, nullptr,
                                       nullptr);
  g_clear_object(&channel_);

  for (FlValue* event : pending_) {
    fl_value_unref(event);
  }
  pending_.clear();
  has_pending_error_ = false;
}

void Player::Play() {
  if (pipeline_ == nullptr) {
    return;
  }
  playing_ = true;
  // While buffering only the wish is recorded; the end of buffering starts.
  if (!buffering_) {
    gst_element_set_state(pipeline_, GST_STATE_PLAYING);
  }
}

void Player::Pause() {
  if (pipeline_ == nullptr) {
    return;
  }
  playing_ = false;
  gst_element_set_state(pipeline_, GST_STATE_PAUSED);
}

void Player::SetVolume(double volume) {
  if (pipeline_ == nullptr || std::isnan(volume)) {
    return;
  }
  // GObject would refuse an out-of-range value with a warning and keep the
  // old volume; the nearest allowed one is closer to what was asked.
  GParamSpec* param =
      g_object_class_find_property(G_OBJECT_GET_CLASS(pipeline_), "volume");
  if (param != nullptr && G_IS_PARAM_SPEC_DOUBLE(param)) {
    GParamSpecDouble* range = G_PARAM_SPEC_DOUBLE(param);
    volume = std::clamp(volume, range->minimum, range->maximum);
  }
  g_object_set(pipeline_, "volume", volume, nullptr);
}

void Player::Seek(int64_t ms) {
  if (pipeline_ == nullptr) {
    return;
  }
  // A negative position is refused by GStreamer as a programming error, and
  // a huge one would overflow on its way to nanoseconds.
  ms = std::clamp<int64_t>(ms, 0, G_MAXINT64 / GST_MSECOND);
  gst_element_seek_simple(
      pipeline_, GST_FORMAT_TIME,
      static_cast<GstSeekFlags>(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
      ms * GST_MSECOND);
}

int64_t Player::PositionMs() {
  gint64 position = 0;
  if (pipeline_ == nullptr ||
      !gst_element_query_position(pipeline_, GST_FORMAT_TIME, &position)) {
    return 0;
  }
  return position / GST_MSECOND;
}

// Watches a preroll that neither finishes nor fails. decodebin sometimes
// drops the error of a demuxer that fails the moment it starts (a truncated
// MP4, say), and the pipeline then waits for ever; the media then fails as if
// the pipeline had said so.
void Player::ArmOpenTimeout() {
  open_watch_.Start(
      GST_BIN(pipeline_), CurrentWatchdogLimits().player_open_ms, 0,
      [this](OpenWatchdog::Failure failure, int64_t limit_ms) {
        g_autoptr(GError) error =
            failure == OpenWatchdog::Failure::kDemuxerStopped
                ? g_error_new_literal(
                      GST_STREAM_ERROR, GST_STREAM_ERROR_DEMUX,
                      "The media's demuxer stopped before it found a stream")
                : g_error_new(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED,
                              "The media did not open within %" G_GINT64_FORMAT
                              " ms",
                              limit_ms);
        gst_element_post_message(
            pipeline_,
            gst_message_new_error(GST_OBJECT(pipeline_), error, nullptr));
      });
}

// Bus watch of the pipeline; runs on the main loop.
gboolean Player::OnBusMessage(GstBus* bus, GstMessage* message, gpointer data) {
  (void)bus;
  static_cast<Player*>(data)->HandleBusMessage(message);
  return TRUE;
}

void Player::HandleBusMessage(GstMessage* message) {
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_EOS:
      if (looping_) {
        // The state stays PLAYING, so playback goes on from the start.
        gst_element_seek_simple(pipeline_, GST_FORMAT_TIME, GST_SEEK_FLAG_FLUSH,
                                0);
      } else {
        playing_ = false;
        gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        Send(EventMap("completed"));
      }
      break;
    case GST_MESSAGE_ERROR: {
      g_autoptr(GError) error = nullptr;
      g_autofree gchar* debug = nullptr;
      gst_message_parse_error(message, &error, &debug);
      const char* text = error != nullptr ? error->message : "";
      const char* details = debug != nullptr ? debug : "";
      g_warning("Video playback failed: %s (%s)", text, details);
      open_watch_.Stop();
      gst_element_set_state(pipeline_, GST_STATE_NULL);
      SendError("VideoError", text, details);
      break;
    }
    case GST_MESSAGE_BUFFERING: {
      gint percent = 0;
      gst_message_parse_buffering(message, &percent);
      // A network source that buffers is slow, not stuck.
      open_watch_.Touch();
      if (percent < 100 && !buffering_) {
        buffering_ = true;
        if (playing_) {
          gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        }
        Send(EventMap("bufferingStart"));
      } else if (percent >= 100 && buffering_) {
        buffering_ = false;
        if (playing_) {
          gst_element_set_state(pipeline_, GST_STATE_PLAYING);
        }
        Send(EventMap("bufferingEnd"));
      }
      break;
    }
    case GST_MESSAGE_CLOCK_LOST:
      if (playing_) {
        // Going through PAUSED makes the pipeline select a new clock.
        gst_element_set_state(pipeline_, GST_STATE_PAUSED);
        gst_element_set_state(pipeline_, GST_STATE_PLAYING);
      }
      break;
    case GST_MESSAGE_ASYNC_DONE:
      if (!initialized_ &&
          GST_MESSAGE_SRC(message) == GST_OBJECT_CAST(pipeline_)) {
        initialized_ = true;
        open_watch_.Stop();
        SendInitialized();
      }
      break;
    default:
      break;
  }
}

// Called on the main thread when the Dart side listens to the events.
FlMethodErrorResponse* Player::OnListen(FlEventChannel* channel,
                                        FlValue* args,
                                        gpointer data) {
  (void)channel;
  (void)args;
  Player* self = static_cast<Player*>(data);
  self->listening_ = true;
  self->FlushPending();
  return nullptr;
}

// Called on the main thread when the Dart side stops listening.
FlMethodErrorResponse* Player::OnCancel(FlEventChannel* channel,
                                        FlValue* args,
                                        gpointer data) {
  (void)channel;
  (void)args;
  static_cast<Player*>(data)->listening_ = false;
  return nullptr;
}

void Player::FlushPending() {
  for (FlValue* event : pending_) {
    fl_event_channel_send(channel_, event, nullptr, nullptr);
    fl_value_unref(event);
  }
  pending_.clear();
  // The newest error goes last, after everything that was held back.
  if (has_pending_error_) {
    has_pending_error_ = false;
    g_autoptr(FlValue) details =
        fl_value_new_string(pending_error_details_.c_str());
    fl_event_channel_send_error(channel_, pending_error_code_.c_str(),
                                pending_error_message_.c_str(), details,
                                nullptr, nullptr);
  }
}

void Player::Send(FlValue* event) {
  if (listening_) {
    fl_event_channel_send(channel_, event, nullptr, nullptr);
    fl_value_unref(event);
  } else {
    pending_.push_back(event);
  }
}

void Player::SendError(const char* code,
                       const char* message,
                       const char* details) {
  if (listening_) {
    g_autoptr(FlValue) details_value = fl_value_new_string(details);
    fl_event_channel_send_error(channel_, code, message, details_value, nullptr,
                                nullptr);
    return;
  }
  // Only the newest error is kept for a listener to come.
  has_pending_error_ = true;
  pending_error_code_ = code;
  pending_error_message_ = message;
  pending_error_details_ = details;
}

void Player::SendInitialized() {
  gint64 duration = 0;
  gst_element_query_duration(pipeline_, GST_FORMAT_TIME, &duration);

  // The size after the orientation flip, as the texture receives it; 0 when
  // nothing reached the appsink (audio-only media).
  gint width = 0;
  gint height = 0;
  g_autoptr(GstElement) video_sink = nullptr;
  g_object_get(pipeline_, "video-sink", &video_sink, nullptr);
  if (video_sink != nullptr && GST_IS_BIN(video_sink)) {
    g_autoptr(GstElement) appsink =
        gst_bin_get_by_name(GST_BIN(video_sink), kAppSinkName);
    if (appsink != nullptr) {
      g_autoptr(GstPad) pad = gst_element_get_static_pad(appsink, "sink");
      g_autoptr(GstCaps) caps =
          pad != nullptr ? gst_pad_get_current_caps(pad) : nullptr;
      GstVideoInfo info;
      if (caps != nullptr && gst_video_info_from_caps(&info, caps)) {
        width = GST_VIDEO_INFO_WIDTH(&info);
        height = GST_VIDEO_INFO_HEIGHT(&info);
      }
    }
  }

  FlValue* event = EventMap("initialized");
  fl_value_set_string_take(event, "duration",
                           fl_value_new_int(duration / GST_MSECOND));
  fl_value_set_string_take(event, "width", fl_value_new_int(width));
  fl_value_set_string_take(event, "height", fl_value_new_int(height));
  Send(event);
}
