// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_PLAYER_H_
#define PLUGINS_VIDEO_PLAYER_H_

#include <flutter_linux/flutter_linux.h>
#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

#include "media_guard.h"
#include "zk_frame_texture.h"

// Plays one media URI with playbin into a texture of its own and reports what
// happens on an event channel of its own, "zelko_desktop_video/events_<id>",
// where the id is the texture's. Lives on the main thread; only the appsink
// callbacks run on streaming threads, and they touch nothing but the texture.
class Player {
 public:
  // Builds the texture, the event channel and the pipeline, and starts
  // prerolling. When the pipeline cannot be built, HasPipeline() is false and
  // every operation does nothing. The registrar and messenger are borrowed.
  Player(FlTextureRegistrar* registrar,
         FlBinaryMessenger* messenger,
         const std::string& uri);
  ~Player();

  Player(const Player&) = delete;
  Player& operator=(const Player&) = delete;

  // The player id: the engine's id of the player's texture.
  int64_t Id() const { return texture_id_; }
  bool HasPipeline() const { return pipeline_ != nullptr; }
  // Borrowed; for inspection by tests.
  GstElement* Pipeline() const { return pipeline_; }
  ZkFrameTexture* Texture() const { return texture_; }

  void Play();
  void Pause();
  // Clamped to the range of playbin's "volume"; NaN is ignored.
  void SetVolume(double volume);
  // Read only at the end of the stream.
  void SetLooping(bool looping) { looping_ = looping; }
  bool Looping() const { return looping_; }
  // Flushing key-unit seek; ms is clamped to what a position can hold.
  void Seek(int64_t ms);
  // The position in milliseconds, 0 when unknown.
  int64_t PositionMs();

 private:
  static gboolean OnBusMessage(GstBus* bus, GstMessage* message, gpointer data);
  static FlMethodErrorResponse* OnListen(FlEventChannel* channel,
                                         FlValue* args,
                                         gpointer data);
  static FlMethodErrorResponse* OnCancel(FlEventChannel* channel,
                                         FlValue* args,
                                         gpointer data);

  void HandleBusMessage(GstMessage* message);
  void ArmOpenTimeout();
  void FlushPending();
  // Takes over the reference to event.
  void Send(FlValue* event);
  void SendError(const char* code, const char* message, const char* details);
  void SendInitialized();

  FlTextureRegistrar* registrar_ = nullptr;  // Borrowed.
  ZkFrameTexture* texture_ = nullptr;        // One reference.
  int64_t texture_id_ = 0;
  FlEventChannel* channel_ = nullptr;  // One reference.
  bool listening_ = false;
  // Events produced while nobody listens, oldest first; one reference each.
  std::vector<FlValue*> pending_;
  bool has_pending_error_ = false;
  std::string pending_error_code_;
  std::string pending_error_message_;
  std::string pending_error_details_;
  GstElement* pipeline_ = nullptr;  // playbin, one reference; may be null.
  guint bus_watch_id_ = 0;          // 0 when there is none.
  // Watches the preroll; stopped once it has ended either way.
  OpenWatchdog open_watch_;
  bool initialized_ = false;
  bool playing_ = false;  // Playback is wanted; survives buffering.
  bool buffering_ = false;
  bool looping_ = false;
};

#endif  // PLUGINS_VIDEO_PLAYER_H_
