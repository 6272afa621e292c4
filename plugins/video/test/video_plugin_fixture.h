// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLUGINS_VIDEO_TEST_VIDEO_PLUGIN_FIXTURE_H_
#define PLUGINS_VIDEO_TEST_VIDEO_PLUGIN_FIXTURE_H_

#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_fake_plugin_registrar.h"
#include "fl_fake_texture_registrar.h"
#include "test_media.h"
#include "zelko_desktop_video_plugin_private.h"

// Registers the plugin on a fake messenger and texture registrar, as the
// shell does on the engine's, and plays the Dart side through them. Tear-down
// shuts the messenger down as the engine does and checks that the plugin and
// every texture it registered are gone.
class VideoPluginTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A map of the given entries; takes over the values.
  static FlValue* Args(
      std::initializer_list<std::pair<const char*, FlValue*>> entries);

  // Calls a method of "zelko_desktop_video"; the reply (transfer full) or
  // nullptr when none came.
  FlMethodResponse* Call(const char* method, FlValue* args = nullptr);
  // The same, taking over args.
  FlMethodResponse* CallTake(const char* method, FlValue* args);
  // Sends a call whose reply is collected later, taking over args; its
  // ticket.
  guint64 Begin(const char* method, FlValue* args);
  // The reply of ticket (transfer full), or nullptr when none came in time.
  FlMethodResponse* Finish(guint64 ticket, guint timeout_ms = 30000);
  // How many replies ticket has had.
  guint Replies(guint64 ticket);

  // "playerCreate" with uri; the new player's id, or -1 after a failure.
  int64_t CreatePlayer(const std::string& uri);
  // A player method with {"id": id} and the extra entries; expects null.
  void CallPlayer(
      const char* method,
      int64_t id,
      std::initializer_list<std::pair<const char*, FlValue*>> extra = {});
  // "playerPosition" of id: its integer, or -1 when the reply is not one.
  int64_t Position(int64_t id);

  static std::string EventChannel(int64_t id);
  // Sends "listen" (or "cancel") on the player's event channel.
  void Listen(int64_t id);
  void Cancel(int64_t id);
  // The events the player sent so far (transfer full), decoded by the fake.
  FlValue* Events(int64_t id);
  // The EventName of each of the events, or of those the player sent so far.
  static std::vector<std::string> EventNames(FlValue* events);
  std::vector<std::string> EventNames(int64_t id);
  // Waits until the player has sent count events.
  bool WaitForEvents(int64_t id, guint count, guint timeout_ms = 10000);

  Player* LookupPlayer(int64_t id);
  // Waits until the player's pipeline has settled in state.
  bool WaitForState(int64_t id, GstState state, guint timeout_ms = 10000);

  FlFakeMessenger* messenger_ = nullptr;
  FlFakeTextureRegistrar* textures_ = nullptr;
  FlPluginRegistrar* registrar_ = nullptr;
  ZelkoDesktopVideoPlugin* plugin_ = nullptr;
  // The pipeline of every player that CreatePlayer made.
  std::vector<std::unique_ptr<test_media::Watch>> pipelines_;
};

// The result of a success reply (borrowed), or nullptr after a failure.
FlValue* SuccessResult(FlMethodResponse* response);

// The "event" name of an event map, the error code of an error envelope, or
// "" for anything else.
std::string EventName(FlValue* entry);

#endif  // PLUGINS_VIDEO_TEST_VIDEO_PLUGIN_FIXTURE_H_
