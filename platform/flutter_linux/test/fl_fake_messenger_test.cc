// Copyright 2026 The Zelkoz Authors. All rights reserved.
// What plugin tests rely on from the fake messenger beyond what the channel
// tests already show: waits that end, replies handed out once, recorded
// sends, and the engine's refusal of other threads.
#include "fl_fake_messenger.h"
#include "fl_test_support.h"

namespace {

using fltest::Hex;

void KeepHandleHandler(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  auto* kept = static_cast<FlBinaryMessengerResponseHandle**>(user_data);
  *kept = FL_BINARY_MESSENGER_RESPONSE_HANDLE(g_object_ref(response_handle));
}

class FakeMessengerTest : public ::testing::Test {
 protected:
  void SetUp() override { messenger_ = fl_fake_messenger_new(); }
  void TearDown() override {
    fl_fake_messenger_shutdown(messenger_);
    g_clear_object(&messenger_);
  }
  FlBinaryMessenger* messenger() { return FL_BINARY_MESSENGER(messenger_); }
  FlFakeMessenger* messenger_ = nullptr;
};

// A wait for a reply that does not come ends at its timeout with nothing;
// the reply, once sent, is handed out exactly once.
TEST_F(FakeMessengerTest, WaitsEndAndRepliesAreHandedOutOnce) {
  FlBinaryMessengerResponseHandle* kept = nullptr;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/kept", KeepHandleHandler, &kept, nullptr);
  EXPECT_TRUE(fl_fake_messenger_has_handler(messenger_, "test/kept"));
  EXPECT_FALSE(fl_fake_messenger_has_handler(messenger_, "test/other"));
  g_autoptr(GBytes) message = g_bytes_new("\x01", 1);
  guint64 ticket = fl_fake_messenger_send(messenger_, "test/kept", message);
  ASSERT_NE(kept, nullptr);
  g_autoptr(GBytes) none = fl_fake_messenger_wait_reply(messenger_, ticket, 50);
  EXPECT_EQ(none, nullptr);
  g_autoptr(FlMethodResponse) no_response =
      fl_fake_messenger_finish_standard_method(messenger_, ticket, 50);
  EXPECT_EQ(no_response, nullptr);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 0u);

  g_autoptr(GBytes) answer = g_bytes_new("\x00\x01", 2);
  EXPECT_TRUE(
      fl_binary_messenger_send_response(messenger(), kept, answer, nullptr));
  g_clear_object(&kept);
  g_autoptr(GBytes) first = fl_fake_messenger_take_reply(messenger_, ticket);
  g_autoptr(GBytes) second = fl_fake_messenger_take_reply(messenger_, ticket);
  EXPECT_EQ(Hex(first), "00 01");
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
}

gboolean SendLaterCb(gpointer user_data) {
  auto* messenger = FL_BINARY_MESSENGER(user_data);
  g_autoptr(GBytes) event = g_bytes_new("\x00\x00", 2);
  fl_binary_messenger_send_on_channel(messenger, "test/events", event, nullptr,
                                      nullptr, nullptr);
  return G_SOURCE_REMOVE;
}

// Sends from the native side are recorded per channel, a wait for them runs
// the main loop until they are there, and clearing forgets them.
TEST_F(FakeMessengerTest, RecordsSendsAndWaitsForThem) {
  for (int i = 0; i < 2; i++) {
    g_idle_add(SendLaterCb, messenger_);
  }
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/events"), 0u);
  EXPECT_TRUE(fl_fake_messenger_wait_for_messages(messenger_, "test/events", 2,
                                                  fltest::kWaitMs));
  EXPECT_FALSE(
      fl_fake_messenger_wait_for_messages(messenger_, "test/events", 3, 50));
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/events"), 2u);
  EXPECT_EQ(fl_fake_messenger_get_message(messenger_, "test/events", 2),
            nullptr);
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/other"), 0u);
  fl_binary_messenger_send_on_channel(messenger(), "test/other", nullptr,
                                      nullptr, nullptr, nullptr);
  EXPECT_EQ(Hex(fl_fake_messenger_get_message(messenger_, "test/other", 0)),
            "");
  fl_fake_messenger_clear_messages(messenger_, "test/events");
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/events"), 0u);
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/other"), 1u);
}

struct OffThread {
  FlBinaryMessenger* messenger;
  FlBinaryMessengerResponseHandle* handle;
  gboolean responded;
};

gpointer SendFromThread(gpointer data) {
  auto* job = static_cast<OffThread*>(data);
  g_autoptr(GBytes) event = g_bytes_new("\x00\x00", 2);
  fl_binary_messenger_send_on_channel(job->messenger, "test/events", event,
                                      nullptr, nullptr, nullptr);
  job->responded = fl_binary_messenger_send_response(
      job->messenger, job->handle, event, nullptr);
  return nullptr;
}

// Sends and replies from another thread are refused with a critical, as the
// engine refuses them, so plugin tests catch them.
TEST_F(FakeMessengerTest, RefusesOtherThreads) {
  FlBinaryMessengerResponseHandle* kept = nullptr;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/kept", KeepHandleHandler, &kept, nullptr);
  guint64 ticket = fl_fake_messenger_send(messenger_, "test/kept", nullptr);
  ASSERT_NE(kept, nullptr);
  fltest::LogCapture log;
  log.AllowCriticals();
  OffThread job = {messenger(), kept, TRUE};
  g_thread_join(g_thread_new("plugin-worker", SendFromThread, &job));
  EXPECT_EQ(log.Criticals(), 2) << log.All();
  EXPECT_FALSE(job.responded);
  EXPECT_EQ(fl_fake_messenger_get_message_count(messenger_, "test/events"), 0u);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 0u);
  g_clear_object(&kept);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
}

}  // namespace
