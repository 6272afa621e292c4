// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

enum class Reply { kNull, kInt, kNotImplemented };

const char* ReplyName(Reply reply) {
  switch (reply) {
    case Reply::kNull:
      return "null";
    case Reply::kInt:
      return "an integer";
    case Reply::kNotImplemented:
      return "not implemented";
  }
  return "?";
}

void ExpectReply(FlMethodResponse* response, Reply expected) {
  ASSERT_NE(response, nullptr) << "no reply came";
  if (expected == Reply::kNotImplemented) {
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
    return;
  }
  ASSERT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  EXPECT_EQ(fl_value_get_type(result),
            expected == Reply::kNull ? FL_VALUE_TYPE_NULL : FL_VALUE_TYPE_INT);
}

// Registration opens the method channel and the compress event channel; the
// public entry point leaves the plugin to the channel handlers alone.
TEST_F(VideoPluginTest, RegistrationOpensBothChannels) {
  EXPECT_TRUE(fl_fake_messenger_has_handler(messenger_, "zelko_desktop_video"));
  EXPECT_TRUE(fl_fake_messenger_has_handler(messenger_,
                                            "zelko_desktop_video/compress"));

  g_autoptr(FlFakeMessenger) other = fl_fake_messenger_new();
  g_autoptr(FlPluginRegistrar) registrar =
      fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(other), nullptr);
  zelko_desktop_video_plugin_register_with_registrar(registrar);
  EXPECT_TRUE(fl_fake_messenger_has_handler(other, "zelko_desktop_video"));
  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_invoke_standard_method(other, "zelko_desktop_video",
                                               "playerPlay", nullptr);
  ExpectReply(response, Reply::kNull);
  fl_fake_messenger_shutdown(other);
}

// The compress channel accepts listen and cancel.
TEST_F(VideoPluginTest, CompressChannelAcceptsListeners) {
  for (const char* method : {"listen", "cancel", "listen"}) {
    SCOPED_TRACE(method);
    g_autoptr(FlMethodResponse) response =
        fl_fake_messenger_invoke_standard_method(
            messenger_, "zelko_desktop_video/compress", method, nullptr);
    EXPECT_NE(SuccessResult(response), nullptr);
  }
}

// Names are matched exactly; a "player" name addressed to no player
// succeeds with null, any other unknown name is not implemented.
TEST_F(VideoPluginTest, UnknownNamesAndIds) {
  const int64_t live = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  ASSERT_GT(live, 0);
  const int64_t gone = live + 1000;
  const struct {
    const char* method;
    bool live_id;
    Reply reply;
  } cases[] = {
      {"playerPlay", false, Reply::kNull},
      {"playerFoo", false, Reply::kNull},
      {"player", false, Reply::kNull},
      {"playerplay", false, Reply::kNull},
      {"playerFoo", true, Reply::kNotImplemented},
      {"playerplay", true, Reply::kNotImplemented},
      {"PlayerPlay", false, Reply::kNotImplemented},
      {"fooBar", false, Reply::kNotImplemented},
      {"fooBar", true, Reply::kNotImplemented},
      {"Encoders", false, Reply::kNotImplemented},
      {"PLAYERCREATE", false, Reply::kNotImplemented},
      {"playerPosition", false, Reply::kNull},
      {"playerPosition", true, Reply::kInt},
      {"playerDispose", false, Reply::kNull},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.method << (c.live_id ? " live" : " gone") << " -> "
                 << ReplyName(c.reply));
    g_autoptr(FlMethodResponse) response = CallTake(
        c.method, Args({{"id", fl_value_new_int(c.live_id ? live : gone)}}));
    ExpectReply(response, c.reply);
  }
  EXPECT_NE(LookupPlayer(live), nullptr);
}

// An id that is missing or not an integer addresses no player, whatever
// the arguments look like.
TEST_F(VideoPluginTest, MissingOrMistypedIdAddressesNoPlayer) {
  const int64_t live = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  ASSERT_GT(live, 0);
  const struct {
    const char* what;
    FlValue* args;
  } cases[] = {
      {"no arguments", nullptr},
      {"a list", fl_value_new_list()},
      {"an integer", fl_value_new_int(live)},
      {"no id", Args({})},
      {"id as string",
       Args({{"id", fl_value_new_string(std::to_string(live).c_str())}})},
      {"id as float", Args({{"id", fl_value_new_float(live)}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    for (const char* method : {"playerPosition", "playerDispose"}) {
      g_autoptr(FlMethodResponse) response = Call(method, c.args);
      ExpectReply(response, Reply::kNull);
    }
    EXPECT_NE(LookupPlayer(live), nullptr) << "a player was disposed";
    if (c.args != nullptr) {
      fl_value_unref(c.args);
    }
  }
}

// "playerCreate" needs a string "uri" and makes nothing without one.
TEST_F(VideoPluginTest, PlayerCreateNeedsStringUri) {
  const struct {
    const char* what;
    FlValue* args;
  } cases[] = {
      {"no arguments", nullptr},
      {"not a map", fl_value_new_string("file:///a.mp4")},
      {"no uri", Args({})},
      {"uri as integer", Args({{"uri", fl_value_new_int(5)}})},
      {"uri null", Args({{"uri", fl_value_new_null()}})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    g_autoptr(FlMethodResponse) response = Call("playerCreate", c.args);
    ASSERT_NE(response, nullptr);
    ASSERT_TRUE(FL_IS_METHOD_ERROR_RESPONSE(response));
    FlMethodErrorResponse* error = FL_METHOD_ERROR_RESPONSE(response);
    EXPECT_STREQ(fl_method_error_response_get_code(error), "bad_args");
    EXPECT_STRNE(fl_method_error_response_get_message(error), "");
    EXPECT_EQ(fl_method_error_response_get_details(error), nullptr);
    EXPECT_EQ(fl_fake_texture_registrar_get_registered_count(textures_), 0u);
    if (c.args != nullptr) {
      fl_value_unref(c.args);
    }
  }
}

// A player's id is its texture's id, and its events have a channel named
// after it.
TEST_F(VideoPluginTest, PlayerIdIsTextureId) {
  const std::string uri = test_media::Uri(test_media::VideoClip());
  const int64_t first = CreatePlayer(uri);
  const int64_t second = CreatePlayer(uri);
  EXPECT_NE(first, second);
  for (int64_t id : {first, second}) {
    SCOPED_TRACE(id);
    // The fake's ids lie above 2^32: a 32-bit slip shows here.
    EXPECT_GT(id, INT64_C(1) << 32);
    EXPECT_TRUE(fl_fake_texture_registrar_is_registered(textures_, id));
    EXPECT_TRUE(
        fl_fake_messenger_has_handler(messenger_, EventChannel(id).c_str()));
  }
}

double Volume(Player* player) {
  gdouble volume = -1;
  g_object_get(player->Pipeline(), "volume", &volume, nullptr);
  return volume;
}

// Only a float sets the volume; anything else means 1.0. Values outside
// playbin's range are pulled into it.
TEST_F(VideoPluginTest, VolumeReadsOnlyFloats) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  Player* player = LookupPlayer(id);
  ASSERT_NE(player, nullptr);
  const struct {
    const char* what;
    FlValue* volume;  // nullptr: no "volume" key.
    double expected;
  } cases[] = {
      {"integer 0", fl_value_new_int(0), 1.0},
      {"float 0.0", fl_value_new_float(0.0), 0.0},
      {"missing", nullptr, 1.0},
      {"float 0.25", fl_value_new_float(0.25), 0.25},
      {"string", fl_value_new_string("0.3"), 1.0},
      {"above the range", fl_value_new_float(20.0), 10.0},
      {"below the range", fl_value_new_float(-1.0), 0.0},
      {"not a number", fl_value_new_float(NAN), 0.5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CallPlayer("playerVolume", id, {{"volume", fl_value_new_float(0.5)}});
    ASSERT_DOUBLE_EQ(Volume(player), 0.5);
    if (c.volume != nullptr) {
      CallPlayer("playerVolume", id, {{"volume", c.volume}});
    } else {
      CallPlayer("playerVolume", id);
    }
    EXPECT_DOUBLE_EQ(Volume(player), c.expected);
  }
}

// Only a boolean true turns looping on; anything else turns it off.
TEST_F(VideoPluginTest, LoopingReadsOnlyBooleans) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  Player* player = LookupPlayer(id);
  ASSERT_NE(player, nullptr);
  const struct {
    const char* what;
    FlValue* looping;  // nullptr: no "looping" key.
    bool expected;
  } cases[] = {
      {"true", fl_value_new_bool(true), true},
      {"false", fl_value_new_bool(false), false},
      {"missing", nullptr, false},
      {"integer 1", fl_value_new_int(1), false},
      {"string", fl_value_new_string("true"), false},
      {"null", fl_value_new_null(), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    CallPlayer("playerLooping", id, {{"looping", fl_value_new_bool(true)}});
    ASSERT_TRUE(player->Looping());
    if (c.looping != nullptr) {
      CallPlayer("playerLooping", id, {{"looping", c.looping}});
    } else {
      CallPlayer("playerLooping", id);
    }
    EXPECT_EQ(player->Looping(), c.expected);
  }
}

// "ms" counts only as an integer: a float seeks to the start. Positions
// outside what the pipeline takes are pulled into range.
TEST_F(VideoPluginTest, SeekReadsOnlyIntegers) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
  const struct {
    const char* what;
    FlValue* ms;
    int64_t expected;
  } cases[] = {
      {"integer 300", fl_value_new_int(300), 300},
      {"float 200.0", fl_value_new_float(200.0), 0},
      {"integer 200", fl_value_new_int(200), 200},
      {"missing", nullptr, 0},
      {"integer 100", fl_value_new_int(100), 100},
      {"negative", fl_value_new_int(-50), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.ms != nullptr) {
      CallPlayer("playerSeek", id, {{"ms", c.ms}});
    } else {
      CallPlayer("playerSeek", id);
    }
    ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
    EXPECT_EQ(Position(id), c.expected);
  }
  // Far past any position: must not overflow on the way to nanoseconds
  // (to a start far before the clip), and lands on its last frame.
  CallPlayer("playerSeek", id, {{"ms", fl_value_new_int(G_MAXINT64)}});
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
  EXPECT_GE(Position(id), 400);
  EXPECT_LE(Position(id), 500);
}

// Disposing twice succeeds twice; the first one tears the player down and
// leaves the others alone.
TEST_F(VideoPluginTest, DisposeTwice) {
  const std::string uri = test_media::Uri(test_media::VideoClip());
  const int64_t id = CreatePlayer(uri);
  const int64_t other = CreatePlayer(uri);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    CallPlayer("playerDispose", id);
    EXPECT_EQ(LookupPlayer(id), nullptr);
    EXPECT_FALSE(fl_fake_texture_registrar_is_registered(textures_, id));
    EXPECT_FALSE(
        fl_fake_messenger_has_handler(messenger_, EventChannel(id).c_str()));
  }
  EXPECT_NE(LookupPlayer(other), nullptr);
  EXPECT_TRUE(fl_fake_texture_registrar_is_registered(textures_, other));
  EXPECT_EQ(Position(id), -1) << "a disposed player answered a position";
}

// A player counts as live work only once it is in the map: a new player
// whose id is taken goes at once, and disposing the one that holds the id
// leaves no work behind to keep the memory from coming back.
TEST_F(VideoPluginTest, IdCollisionLeavesNoLiveWork) {
  const std::string uri = test_media::Uri(test_media::VideoClip());
  EXPECT_EQ(zelko_desktop_video_plugin_live_work(), 0);
  const int64_t id = CreatePlayer(uri);
  Player* held = LookupPlayer(id);
  fl_fake_texture_registrar_set_next_id(textures_, id);
  EXPECT_EQ(CreatePlayer(uri), id);
  EXPECT_EQ(LookupPlayer(id), held) << "the new player replaced the old one";
  EXPECT_EQ(zelko_desktop_video_plugin_live_work(), 1);
  CallPlayer("playerDispose", id);
  EXPECT_EQ(zelko_desktop_video_plugin_live_work(), 0);
}

// A value that the user gives glibc for a malloc parameter, through its
// tunables or its older variable, stands; other tunables, other parameters
// and near misses of the name leave the plugin's value on.
TEST(AllocatorPolicyTest, UserMallocSettingsStand) {
  struct Case {
    const char* tunables;
    const char* variable;
    bool user_value;
  };
  const Case cases[] = {
      {nullptr, nullptr, false},
      {"", nullptr, false},
      {"glibc.malloc.hugetlb=1", nullptr, false},
      {"glibc.malloc.arena_max=1:glibc.malloc.tcache_count=0", nullptr, false},
      {"glibc.malloc.mmap_threshold", nullptr, false},
      {"glibc.malloc.mmap_thresholds=2", nullptr, false},
      {"glibc.malloc.mmap_max=0", nullptr, false},
      {"glibc.malloc.mmap_threshold=131072", nullptr, true},
      {"glibc.malloc.hugetlb=1:glibc.malloc.mmap_threshold=0", nullptr, true},
      {"glibc.malloc.mmap_threshold=65536:glibc.malloc.hugetlb=1", nullptr,
       true},
      {nullptr, "131072", true},
      {"glibc.malloc.hugetlb=1", "", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "GLIBC_TUNABLES=" << (c.tunables ? c.tunables : "(unset)")
                 << " MALLOC_MMAP_THRESHOLD_="
                 << (c.variable ? c.variable : "(unset)"));
    EXPECT_EQ(UserSetsMallocParameter(c.tunables, "mmap_threshold", c.variable),
              c.user_value);
  }
}

}  // namespace
