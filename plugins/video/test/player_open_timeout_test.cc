// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Media that never finishes prerolling and never fails (decodebin can drop
// the error of a demuxer that fails as it starts) must still end in
// "VideoError", and media that opens must not be failed later by the same
// guard.
#include <gtest/gtest.h>

#include <string>

#include "player.h"
#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

class PlayerOpenTimeoutTest : public VideoPluginTest {
 protected:
  void TearDown() override {
    Player::SetOpenTimeoutForTesting(30000);
    VideoPluginTest::TearDown();
  }

  std::vector<std::string> Names(int64_t id) {
    g_autoptr(FlValue) events = Events(id);
    std::vector<std::string> names;
    for (size_t i = 0; i < fl_value_get_length(events); ++i) {
      names.push_back(EventName(fl_value_get_list_value(events, i)));
    }
    return names;
  }
};

// An application source that nobody feeds holds playbin in its preroll for
// ever; the player gives up with exactly one "VideoError".
TEST_F(PlayerOpenTimeoutTest, PrerollThatNeverEndsFails) {
  Player::SetOpenTimeoutForTesting(300);
  const int64_t id = CreatePlayer("appsrc://");
  ASSERT_GT(id, 0);
  Listen(id);
  ASSERT_TRUE(WaitForEvents(id, 1, 5000));
  EXPECT_EQ(Names(id), std::vector<std::string>{"VideoError"});
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
  Player::SetOpenTimeoutForTesting(1500);
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
  test_media::WaitUntil([] { return false; }, 2000);
  EXPECT_EQ(Names(id), std::vector<std::string>{"initialized"});
  CallPlayer("playerDispose", id);
}

}  // namespace
