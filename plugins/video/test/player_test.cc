// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "player.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "test_media.h"
#include "video_plugin_fixture.h"

namespace {

// Counts what passes the sink pad of a player's appsink.
class SinkCounter {
 public:
  explicit SinkCounter(Player* player) {
    g_autoptr(GstElement) bin = nullptr;
    g_object_get(player->Pipeline(), "video-sink", &bin, nullptr);
    g_autoptr(GstElement) appsink =
        gst_bin_get_by_name(GST_BIN(bin), "zk_appsink");
    pad_ = gst_element_get_static_pad(appsink, "sink");
    probe_ = gst_pad_add_probe(
        pad_,
        static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER |
                                     GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        OnProbe, this, nullptr);
  }
  ~SinkCounter() {
    gst_pad_remove_probe(pad_, probe_);
    gst_object_unref(pad_);
  }
  int buffers() const { return buffers_; }
  int eos() const { return eos_; }

 private:
  static GstPadProbeReturn OnProbe(GstPad*,
                                   GstPadProbeInfo* info,
                                   gpointer data) {
    auto* self = static_cast<SinkCounter*>(data);
    if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) {
      self->buffers_++;
    } else if (GST_EVENT_TYPE(GST_PAD_PROBE_INFO_EVENT(info)) ==
               GST_EVENT_EOS) {
      self->eos_++;
    }
    return GST_PAD_PROBE_OK;
  }

  GstPad* pad_ = nullptr;
  gulong probe_ = 0;
  std::atomic<int> buffers_{0};
  std::atomic<int> eos_{0};
};

// Posts an error on the player's bus, as a failing element does.
void PostError(Player* player, const char* message, const char* debug) {
  GError* error =
      g_error_new_literal(GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED, message);
  gst_element_post_message(
      player->Pipeline(),
      gst_message_new_error(GST_OBJECT(player->Pipeline()), error, debug));
  g_error_free(error);
}

using Names = std::vector<std::string>;

int64_t IntField(FlValue* entry, const char* key) {
  FlValue* event = fl_value_lookup_string(entry, "event");
  FlValue* value =
      event != nullptr ? fl_value_lookup_string(event, key) : nullptr;
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_INT) {
    ADD_FAILURE() << key << " is not an integer";
    return -1;
  }
  return fl_value_get_int(value);
}

class PlayerTest : public VideoPluginTest {
 protected:
  // Runs the main loop for a while, so that an event that should not come
  // has had the time to come.
  static void Settle() { test_media::RunFor(300); }

  // The texture as the engine reads it.
  std::string Pixels(int64_t id, uint32_t* width, uint32_t* height) {
    std::string pixels;
    EXPECT_TRUE(test_media::ReadTexture(textures_, id, &pixels, width, height));
    return pixels;
  }

  bool WaitForFrames(int64_t id, guint count, guint timeout_ms) {
    return test_media::WaitUntil(
        [&] {
          return fl_fake_texture_registrar_get_frames_marked(textures_, id) >=
                 count;
        },
        timeout_ms);
  }

  // Opens path in a new player, *id, that is listened to. Its one event is
  // "initialized" with the duration (give or take tolerance_ms) and the
  // picture size, and once a frame has come the texture has that size; the
  // blank pixel without a picture.
  void Open(const std::string& path,
            int64_t duration_ms,
            int64_t tolerance_ms,
            uint32_t width,
            uint32_t height,
            int64_t* id) {
    ASSERT_FALSE(path.empty());
    *id = CreatePlayer(test_media::Uri(path));
    Listen(*id);
    ASSERT_TRUE(WaitForEvents(*id, 1));
    g_autoptr(FlValue) events = Events(*id);
    ASSERT_EQ(EventNames(events), Names({"initialized"}));
    FlValue* initialized = fl_value_get_list_value(events, 0);
    EXPECT_NEAR(IntField(initialized, "duration"), duration_ms, tolerance_ms);
    EXPECT_EQ(IntField(initialized, "width"), width);
    EXPECT_EQ(IntField(initialized, "height"), height);
    if (width == 0) {
      uint32_t texture_width = 0;
      uint32_t texture_height = 0;
      EXPECT_EQ(Pixels(*id, &texture_width, &texture_height),
                std::string(4, '\0'));
      EXPECT_EQ(texture_width, 1u);
      EXPECT_EQ(texture_height, 1u);
      return;
    }
    ASSERT_TRUE(WaitForFrames(*id, 1, 5000));
    uint32_t texture_width = 0;
    uint32_t texture_height = 0;
    ASSERT_EQ(Pixels(*id, &texture_width, &texture_height).size(),
              width * height * 4);
    ASSERT_EQ(texture_width, width);
    ASSERT_EQ(texture_height, height);
  }
};

// Prerolling ends in one "initialized" with the duration and the picture
// size; the end of the stream, without looping, in one "completed" that
// leaves the player paused at the end.
TEST_F(PlayerTest, InitializedOnceThenCompletedOnce) {
  int64_t id = -1;
  ASSERT_NO_FATAL_FAILURE(Open(test_media::VideoClip(), 500, 40, 64, 48, &id));
  CallPlayer("playerPlay", id);
  ASSERT_TRUE(WaitForEvents(id, 2));
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
  Settle();
  EXPECT_EQ(EventNames(id), Names({"initialized", "completed"}));
  EXPECT_GE(Position(id), 400);
}

// Audio-only media prerolls with no picture: size 0 and the blank texture.
TEST_F(PlayerTest, AudioOnlyHasNoPicture) {
  int64_t id = -1;
  ASSERT_NO_FATAL_FAILURE(Open(test_media::AudioClip(), 500, 40, 0, 0, &id));
  CallPlayer("playerPlay", id);
  ASSERT_TRUE(WaitForEvents(id, 2));
  EXPECT_EQ(EventNames(id), Names({"initialized", "completed"}));
}

// With looping the clip starts over without "completed"; a "playerLooping"
// without its flag turns looping off again.
TEST_F(PlayerTest, LoopingRestartsWithoutCompleted) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  Player* player = LookupPlayer(id);
  ASSERT_NE(player, nullptr);
  SinkCounter counter(player);
  Listen(id);
  CallPlayer("playerLooping", id, {{"looping", fl_value_new_bool(true)}});
  CallPlayer("playerPlay", id);
  // Three passes of the 15-frame clip.
  ASSERT_TRUE(
      test_media::WaitUntil([&] { return counter.buffers() >= 45; }, 15000))
      << counter.buffers() << " frames";
  EXPECT_GE(counter.eos(), 2);
  EXPECT_EQ(EventNames(id), Names({"initialized"}));

  CallPlayer("playerLooping", id);
  ASSERT_TRUE(WaitForEvents(id, 2));
  EXPECT_EQ(EventNames(id), Names({"initialized", "completed"}));
}

// Events wait for the first listener and come in order, with the newest
// error after all of them; an older error is dropped. Once listening, an
// error comes at once.
TEST_F(PlayerTest, EventsHeldUntilListen) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  Player* player = LookupPlayer(id);
  ASSERT_NE(player, nullptr);
  SinkCounter counter(player);
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
  test_media::Drain();

  // An error before the end of the stream...
  PostError(player, "first", "first details");
  ASSERT_TRUE(WaitForState(id, GST_STATE_NULL));
  // ...then playing again to the end...
  CallPlayer("playerPlay", id);
  ASSERT_TRUE(test_media::WaitUntil(
      [&] {
        GstState state = GST_STATE_VOID_PENDING;
        gst_element_get_state(player->Pipeline(), &state, nullptr, 0);
        return counter.eos() > 0 && state == GST_STATE_PAUSED;
      },
      10000));
  test_media::Drain();
  // ...and a second error.
  PostError(player, "second", "second details");
  ASSERT_TRUE(WaitForState(id, GST_STATE_NULL));
  test_media::Drain();
  EXPECT_EQ(
      fl_fake_messenger_get_message_count(messenger_, EventChannel(id).c_str()),
      0u)
      << "events went out before anybody listened";

  Listen(id);
  {
    g_autoptr(FlValue) events = Events(id);
    ASSERT_EQ(EventNames(events),
              Names({"initialized", "completed", "VideoError"}));
    FlValue* error =
        fl_value_lookup_string(fl_value_get_list_value(events, 2), "error");
    EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(error, "message")),
                 "second");
    EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(error, "details")),
                 "second details");
  }

  CallPlayer("playerPause", id);
  PostError(player, "third", nullptr);
  ASSERT_TRUE(WaitForEvents(id, 4));
  g_autoptr(FlValue) events = Events(id);
  ASSERT_EQ(EventNames(events),
            Names({"initialized", "completed", "VideoError", "VideoError"}));
  FlValue* error =
      fl_value_lookup_string(fl_value_get_list_value(events, 3), "error");
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(error, "message")),
               "third");
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(error, "details")),
               "");
}

// Posts a buffering level on the player's bus, as a network source does.
void PostBuffering(Player* player, int percent) {
  gst_element_post_message(
      player->Pipeline(),
      gst_message_new_buffering(GST_OBJECT(player->Pipeline()), percent));
}

GstState CurrentState(Player* player) {
  GstState state = GST_STATE_VOID_PENDING;
  gst_element_get_state(player->Pipeline(), &state, nullptr, 0);
  return state;
}

// Buffering holds playback in PAUSED while it is wanted and resumes it at
// 100 percent only if it is still wanted; each phase is one start and one
// end event.
TEST_F(PlayerTest, BufferingHoldsPlayback) {
  const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
  Player* player = LookupPlayer(id);
  ASSERT_NE(player, nullptr);
  Listen(id);
  // The clip must not end on its own while the phases run.
  CallPlayer("playerLooping", id, {{"looping", fl_value_new_bool(true)}});
  ASSERT_TRUE(WaitForEvents(id, 1));
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));

  // Full without a phase: nothing.
  PostBuffering(player, 100);
  // Buffering while playing pauses; a pause meanwhile keeps it paused.
  CallPlayer("playerPlay", id);
  ASSERT_TRUE(WaitForState(id, GST_STATE_PLAYING));
  PostBuffering(player, 20);
  ASSERT_TRUE(WaitForEvents(id, 2));
  ASSERT_TRUE(WaitForState(id, GST_STATE_PAUSED));
  CallPlayer("playerPause", id);
  PostBuffering(player, 100);
  ASSERT_TRUE(WaitForEvents(id, 3));
  test_media::Drain();
  EXPECT_EQ(CurrentState(player), GST_STATE_PAUSED);

  // Repeated low levels are one phase; play during it only takes effect at
  // its end.
  PostBuffering(player, 10);
  PostBuffering(player, 50);
  ASSERT_TRUE(WaitForEvents(id, 4));
  CallPlayer("playerPlay", id);
  test_media::Drain();
  EXPECT_EQ(CurrentState(player), GST_STATE_PAUSED);
  PostBuffering(player, 100);
  ASSERT_TRUE(WaitForEvents(id, 5));
  EXPECT_TRUE(WaitForState(id, GST_STATE_PLAYING));

  EXPECT_EQ(EventNames(id),
            Names({"initialized", "bufferingStart", "bufferingEnd",
                   "bufferingStart", "bufferingEnd"}));
}

// A file that does not exist ends in "VideoError" and never in
// "initialized".
TEST_F(PlayerTest, MissingFileGivesVideoError) {
  const int64_t id =
      CreatePlayer(test_media::Uri(test_media::OutputPath("no-such-file.mp4")));
  ASSERT_GT(id, 0);
  Listen(id);
  ASSERT_TRUE(WaitForEvents(id, 1));
  CallPlayer("playerPlay", id);
  Settle();
  g_autoptr(FlValue) events = Events(id);
  ASSERT_GE(fl_value_get_length(events), 1u);
  std::vector<std::string> names = EventNames(events);
  for (const std::string& name : names) {
    EXPECT_EQ(name, "VideoError");
  }
  FlValue* error =
      fl_value_lookup_string(fl_value_get_list_value(events, 0), "error");
  FlValue* message = fl_value_lookup_string(error, "message");
  ASSERT_EQ(fl_value_get_type(message), FL_VALUE_TYPE_STRING);
  EXPECT_STRNE(fl_value_get_string(message), "");
  EXPECT_EQ(fl_value_get_type(fl_value_lookup_string(error, "details")),
            FL_VALUE_TYPE_STRING);
}

// Disposing while the pipeline prerolls or plays unregisters the texture at
// once, then stops and frees the pipeline and the texture, also with a frame
// notice still queued.
TEST_F(PlayerTest, DisposeWhilePrerollingOrPlaying) {
  const struct {
    const char* what;
    bool play;
  } cases[] = {{"prerolling", false}, {"playing", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int64_t id = CreatePlayer(test_media::Uri(test_media::VideoClip()));
    Player* player = LookupPlayer(id);
    ASSERT_NE(player, nullptr);
    Listen(id);
    test_media::Watch pipeline(player->Pipeline());
    test_media::Watch texture(player->Texture());
    if (c.play) {
      // Looping keeps it playing however slowly the frames come.
      CallPlayer("playerLooping", id, {{"looping", fl_value_new_bool(true)}});
      CallPlayer("playerPlay", id);
      ASSERT_TRUE(WaitForFrames(id, 3, 10000));
    }
    CallPlayer("playerDispose", id);
    EXPECT_FALSE(fl_fake_texture_registrar_is_registered(textures_, id));
    EXPECT_FALSE(
        fl_fake_messenger_has_handler(messenger_, EventChannel(id).c_str()));
    // The pipeline stops off the main loop, and the texture goes with it.
    EXPECT_TRUE(test_media::WaitUntil(
        [&] { return !pipeline.alive() && !texture.alive(); }, 10000))
        << "the pipeline or the texture outlived its player";
  }
}

// A frame notice still queued when its player goes must not reach the
// registrar, which may be gone by then, as at engine shutdown.
TEST(PlayerNoticeTest, NoticeAfterDestructionLeavesRegistrarAlone) {
  FlFakeTextureRegistrar* registrar = fl_fake_texture_registrar_new();
  g_autoptr(FlFakeMessenger) messenger = fl_fake_messenger_new();
  test_media::Watch registrar_watch(registrar);
  auto player = std::make_unique<Player>(
      FL_TEXTURE_REGISTRAR(registrar), FL_BINARY_MESSENGER(messenger),
      test_media::Uri(test_media::VideoClip()));
  ASSERT_TRUE(player->HasPipeline());
  // Queues a notice for certain, whatever the streaming thread did.
  g_autoptr(GstSample) sample = nullptr;
  {
    g_autoptr(GstBuffer) buffer = gst_buffer_new_allocate(nullptr, 16, nullptr);
    g_autoptr(GstCaps) caps = gst_caps_from_string(
        "video/x-raw,format=RGBA,width=2,height=2,framerate=0/1");
    sample = gst_sample_new(buffer, caps, nullptr, nullptr);
  }
  zk_frame_texture_take_frame(player->Texture(), sample);
  player.reset();
  g_object_unref(registrar);
  ASSERT_FALSE(registrar_watch.alive()) << "the registrar is still referenced";
  test_media::Drain();
}

// A track turned 90 degrees reports its upright size and draws upright.
TEST_F(PlayerTest, RotatedClipIsUpright) {
  int64_t id = -1;
  ASSERT_NO_FATAL_FAILURE(
      Open(test_media::RotatedClip(), 500, 40, 32, 64, &id));
  uint32_t width = 0;
  uint32_t height = 0;
  const std::string pixels = Pixels(id, &width, &height);
  ASSERT_EQ(pixels.size(), 32u * 64 * 4);
  // The coded picture's left half (red) is the upright picture's top half.
  const struct {
    const char* what;
    uint32_t y;
    bool red;
  } spots[] = {{"top", 16, true}, {"bottom", 48, false}};
  for (const auto& spot : spots) {
    SCOPED_TRACE(spot.what);
    const size_t at = (spot.y * width + 16) * 4;
    const int r = static_cast<guint8>(pixels[at]);
    const int b = static_cast<guint8>(pixels[at + 2]);
    if (spot.red) {
      EXPECT_GT(r, 200);
      EXPECT_LT(b, 60);
    } else {
      EXPECT_LT(r, 60);
      EXPECT_GT(b, 200);
    }
  }
}

// The camera-style clip of the shared media, a quarter turn clockwise,
// reports and draws its upright size.
TEST_F(PlayerTest, SharedRotatedClipReportsUprightSize) {
  int64_t id = -1;
  Open(test_media::Shared("rotate90.mp4"), 2000, 50, 360, 640, &id);
}

}  // namespace
