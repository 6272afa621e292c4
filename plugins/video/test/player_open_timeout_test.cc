// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Media that never finishes prerolling and never fails (decodebin can drop
// the error of a demuxer that fails as it starts) must still end in
// "VideoError", and media that opens must not be failed later by the same
// guard.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "player.h"
#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

void SetPlayerOpenTimeout(int64_t ms) {
  WatchdogLimits limits;
  limits.player_open_ms = ms;
  SetWatchdogLimitsForTesting(limits);
}

class PlayerOpenTimeoutTest : public VideoPluginTest {
 protected:
  void TearDown() override {
    SetWatchdogLimitsForTesting({});
    VideoPluginTest::TearDown();
  }
};

// An application source that nobody feeds holds playbin in its preroll for
// ever; the player gives up with exactly one "VideoError".
TEST_F(PlayerOpenTimeoutTest, PrerollThatNeverEndsFails) {
  SetPlayerOpenTimeout(300);
  const int64_t id = CreatePlayer("appsrc://");
  ASSERT_GT(id, 0);
  Listen(id);
  ASSERT_TRUE(WaitForEvents(id, 1, 5000));
  EXPECT_EQ(EventNames(id), std::vector<std::string>{"VideoError"});
  g_autoptr(FlValue) events = Events(id);
  FlValue* error =
      fl_value_lookup_string(fl_value_get_list_value(events, 0), "error");
  ASSERT_NE(error, nullptr);
  EXPECT_NE(
      std::string(fl_value_get_string(fl_value_lookup_string(error, "message")))
          .find("did not open"),
      std::string::npos);
  CallPlayer("playerDispose", id);
}

// Media that prerolls in time keeps playing past the time-out, and a player
// disposed while it waits leaves no time-out behind to fire.
TEST_F(PlayerOpenTimeoutTest, MediaThatOpensIsLeftAlone) {
  // Long enough for a sanitized build on a machine whose cores are busy
  // with builds to open the clip (5 s was not).
  constexpr guint kTimeoutMs = 15000;
  SetPlayerOpenTimeout(kTimeoutMs);
  const gint64 created = g_get_monotonic_time();
  const std::string clip = test_media::VideoClip();
  ASSERT_FALSE(clip.empty());
  const int64_t id = CreatePlayer(test_media::Uri(clip));
  ASSERT_GT(id, 0);
  const int64_t waiting = CreatePlayer("appsrc://");
  ASSERT_GT(waiting, 0);
  CallPlayer("playerDispose", waiting);
  Listen(id);
  ASSERT_TRUE(WaitForEvents(id, 1));
  CallPlayer("playerLooping", id, {{"looping", fl_value_new_bool(true)}});
  CallPlayer("playerPlay", id);
  // Past the time-out, counted from the player's creation.
  const gint64 past = created + (kTimeoutMs + 500) * G_GINT64_CONSTANT(1000);
  test_media::WaitUntil([past] { return g_get_monotonic_time() > past; },
                        kTimeoutMs + 1000);
  EXPECT_EQ(EventNames(id), std::vector<std::string>{"initialized"});
  CallPlayer("playerDispose", id);
}

// An MP4 cut before its index, played by several players at once: decodebin
// loses the demuxer's error for some of them, and those fail all the same,
// long before the time-out.
TEST_F(PlayerOpenTimeoutTest, StoppedDemuxerFails) {
  constexpr int kPlayers = 24;
  SetPlayerOpenTimeout(60000);
  test_media::ScratchDir dir;
  const std::string cut = test_media::FirstHalfOf(
      dir, "cut.mp4", test_media::Shared("clip_320x240.mp4"));
  ASSERT_FALSE(cut.empty());
  std::vector<int64_t> ids;
  for (int i = 0; i < kPlayers; ++i) {
    ids.push_back(CreatePlayer(test_media::Uri(cut)));
    ASSERT_GT(ids.back(), 0);
    Listen(ids.back());
  }
  for (int64_t id : ids) {
    ASSERT_TRUE(WaitForEvents(id, 1, 15000));
    EXPECT_EQ(EventNames(id), std::vector<std::string>{"VideoError"});
    CallPlayer("playerDispose", id);
  }
}

}  // namespace
