// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <flutter_linux/flutter_linux.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_fake_plugin_registrar.h"
#include "fl_fake_texture_registrar.h"
#include "tsan_support.h"
#include "zelko_desktop_video_plugin_private.h"

namespace {

constexpr char kChannel[] = "zelko_desktop_video";

class AsyncReplyThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = fl_fake_messenger_new();
    textures_ = fl_fake_texture_registrar_new();
    registrar_ = fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger_),
                                              FL_TEXTURE_REGISTRAR(textures_));
    zelko_desktop_video_plugin_register_with_registrar(registrar_);
  }

  void TearDown() override {
    fl_fake_messenger_shutdown(messenger_);
    tsan_support::Drain();
    g_clear_object(&registrar_);
    g_clear_object(&textures_);
    g_clear_object(&messenger_);
  }

  // Sends "probe" and "poster" calls back to back, each answered from a
  // worker thread of its own; returns their tickets.
  std::vector<guint64> SendBurst(const std::string& clip, int posters) {
    const std::string paths[] = {clip, clip, "/nonexistent/clip.mp4",
                                 tsan_support::ScratchDir(), "relative.mp4"};
    std::vector<guint64> tickets;
    for (const std::string& path : paths) {
      g_autoptr(FlValue) args = fl_value_new_map();
      fl_value_set_string_take(args, "path", fl_value_new_string(path.c_str()));
      tickets.push_back(fl_fake_messenger_begin_standard_method(
          messenger_, kChannel, "probe", args));
    }
    for (int i = 0; i < posters; i++) {
      g_autoptr(FlValue) args = fl_value_new_map();
      fl_value_set_string_take(args, "path", fl_value_new_string(clip.c_str()));
      const std::string output = tsan_support::ScratchDir() + "/poster-" +
                                 std::to_string(next_poster_++) + ".jpg";
      fl_value_set_string_take(args, "output",
                               fl_value_new_string(output.c_str()));
      fl_value_set_string_take(args, "maxSide", fl_value_new_int(32));
      tickets.push_back(fl_fake_messenger_begin_standard_method(
          messenger_, kChannel, "poster", args));
    }
    return tickets;
  }

  bool AllAnswered(const std::vector<guint64>& tickets) {
    for (guint64 ticket : tickets) {
      if (fl_fake_messenger_get_reply_count(messenger_, ticket) == 0) {
        return false;
      }
    }
    return true;
  }

  // Every reply came once and is a success (a value, null or false).
  void CheckReplies(const std::vector<guint64>& tickets) {
    for (guint64 ticket : tickets) {
      EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
      g_autoptr(FlMethodResponse) response =
          fl_fake_messenger_finish_standard_method(messenger_, ticket, 0);
      EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));
    }
  }

  FlFakeMessenger* messenger_ = nullptr;
  FlFakeTextureRegistrar* textures_ = nullptr;
  FlPluginRegistrar* registrar_ = nullptr;
  int next_poster_ = 0;
};

// Probes and posters in flight together: each worker builds its reply value
// and hands it to the main loop, which answers.
TEST_F(AsyncReplyThreads, ProbesAndPostersTogether) {
  const std::string clip = tsan_support::Clip("async.mp4", 30, true);
  ASSERT_FALSE(clip.empty());
  const std::vector<guint64> tickets = SendBurst(clip, 4);
  ASSERT_TRUE(tsan_support::WaitUntil([&] { return AllAnswered(tickets); },
                                      120000));
  CheckReplies(tickets);
}

// The engine shuts down, disposing of the plugin, while the workers still
// run: their replies are still built, handed over and attempted.
TEST_F(AsyncReplyThreads, PluginGoesWhileWorkersRun) {
  const std::string clip = tsan_support::Clip("async.mp4", 30, true);
  ASSERT_FALSE(clip.empty());
  const std::vector<guint64> tickets = SendBurst(clip, 2);
  fl_fake_messenger_shutdown(messenger_);
  ASSERT_TRUE(tsan_support::WaitUntil([&] { return AllAnswered(tickets); },
                                      120000));
  CheckReplies(tickets);
}

}  // namespace
