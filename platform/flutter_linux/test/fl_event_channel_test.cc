// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Event channels: listen and cancel, events, errors and end of stream,
// driven through the synchronous fake messenger.
#include <functional>
#include <string>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_test_support.h"

namespace {

using fltest::DestroyCounter;
using fltest::Hex;

constexpr char kChannel[] = "test/events";

struct StreamState {
  std::vector<std::string> calls;  // "listen" or "cancel", in order.
  std::vector<FlValue*> args;      // Owned, one per call.
  // The verdict to return (transfer full on return), nullptr to accept.
  std::function<FlMethodErrorResponse*()> verdict;
  std::function<void(FlEventChannel*)> act;
  ~StreamState() {
    for (FlValue* value : args) {
      fl_value_unref(value);
    }
  }
  FlMethodErrorResponse* Record(const char* what,
                                FlEventChannel* channel,
                                FlValue* value) {
    calls.push_back(what);
    args.push_back(value != nullptr ? fl_value_ref(value) : nullptr);
    if (act) {
      act(channel);
    }
    return verdict ? verdict() : nullptr;
  }
};

FlMethodErrorResponse* ListenCb(FlEventChannel* channel,
                                FlValue* args,
                                gpointer user_data) {
  return static_cast<StreamState*>(user_data)->Record("listen", channel, args);
}

FlMethodErrorResponse* CancelCb(FlEventChannel* channel,
                                FlValue* args,
                                gpointer user_data) {
  return static_cast<StreamState*>(user_data)->Record("cancel", channel, args);
}

class EventChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = fl_fake_messenger_new();
    codec_ = fltest::StandardMethodCodec();
  }
  void TearDown() override {
    fl_fake_messenger_shutdown(messenger_);
    g_clear_object(&codec_);
    g_clear_object(&messenger_);
  }

  FlEventChannel* NewChannel() {
    return fl_event_channel_new(FL_BINARY_MESSENGER(messenger_), kChannel,
                                codec_);
  }

  // Sends a stream call as the Dart side does; returns the raw reply.
  GBytes* StreamCall(const char* method, FlValue* args) {
    guint64 ticket = fl_fake_messenger_begin_standard_method(
        messenger_, kChannel, method, args);
    GBytes* reply =
        fl_fake_messenger_wait_reply(messenger_, ticket, fltest::kWaitMs);
    EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
    return reply;
  }

  // The messages sent on the channel so far, as hex.
  std::vector<std::string> SentHex() {
    std::vector<std::string> out;
    guint count = fl_fake_messenger_get_message_count(messenger_, kChannel);
    for (guint i = 0; i < count; i++) {
      out.push_back(
          Hex(fl_fake_messenger_get_message(messenger_, kChannel, i)));
    }
    return out;
  }

  FlFakeMessenger* messenger_ = nullptr;
  FlMethodCodec* codec_ = nullptr;
};

// "listen" and "cancel" reach their handlers with the Dart side's arguments
// and are accepted with a null success.
TEST_F(EventChannelTest, ListenAndCancelReachHandlers) {
  g_autoptr(FlValue) id = fl_value_new_int((INT64_C(1) << 32) + 3);
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "rate", fl_value_new_float(1.5));
  g_autoptr(FlValue) null_value = fl_value_new_null();
  const struct {
    const char* label;
    FlValue* args;
    FlValue* expected;
  } cases[] = {
      {"no arguments", nullptr, null_value},
      {"int64", id, id},
      {"map", map, map},
  };
  g_autoptr(FlEventChannel) channel = NewChannel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    StreamState state;
    fl_event_channel_set_stream_handlers(channel, ListenCb, CancelCb, &state,
                                         nullptr);
    g_autoptr(GBytes) listened = StreamCall("listen", c.args);
    g_autoptr(GBytes) cancelled = StreamCall("cancel", c.args);
    EXPECT_EQ(Hex(listened), "00 00");
    EXPECT_EQ(Hex(cancelled), "00 00");
    ASSERT_EQ(state.calls, (std::vector<std::string>{"listen", "cancel"}));
    for (FlValue* value : state.args) {
      ASSERT_NE(value, nullptr);
      EXPECT_TRUE(fl_value_equal(value, c.expected))
          << fl_value_to_string(value);
    }
  }
}

// A handler that returns an error response rejects the call with an error
// envelope; a missing handler accepts; other methods are not implemented.
TEST_F(EventChannelTest, StreamCallReplies) {
  const struct {
    const char* label;
    bool listen_handler;
    bool reject;
    const char* method;
    const char* hex;
  } cases[] = {
      {"listen rejected", true, true, "listen",
       "01 07 02 45 31 07 03 62 61 64 00"},
      {"cancel rejected", true, true, "cancel",
       "01 07 02 45 31 07 03 62 61 64 00"},
      {"listen without its handler", false, false, "listen", "00 00"},
      {"unknown method", true, false, "pause", ""},
  };
  g_autoptr(FlEventChannel) channel = NewChannel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    StreamState state;
    if (c.reject) {
      state.verdict = [] {
        return fl_method_error_response_new("E1", "bad", nullptr);
      };
    }
    fl_event_channel_set_stream_handlers(channel,
                                         c.listen_handler ? ListenCb : nullptr,
                                         CancelCb, &state, nullptr);
    g_autoptr(GBytes) reply = StreamCall(c.method, nullptr);
    EXPECT_EQ(Hex(reply), c.hex);
  }
}

// Events travel as success envelopes, errors as error envelopes and the end
// of the stream as the empty message, in the order they were sent.
TEST_F(EventChannelTest, EventsEncodeAsEnvelopes) {
  g_autoptr(FlEventChannel) channel = NewChannel();
  g_autoptr(FlValue) answer = fl_value_new_int(42);
  g_autoptr(FlValue) flag = fl_value_new_bool(true);
  g_autoptr(GError) error = nullptr;
  EXPECT_TRUE(fl_event_channel_send(channel, answer, nullptr, &error));
  EXPECT_TRUE(fl_event_channel_send(channel, nullptr, nullptr, &error));
  EXPECT_TRUE(fl_event_channel_send_error(channel, "E1", "bad", nullptr,
                                          nullptr, &error));
  EXPECT_TRUE(fl_event_channel_send(channel, flag, nullptr, &error));
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(channel, nullptr, &error));
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(SentHex(), (std::vector<std::string>{
                           "00 03 2a 00 00 00",
                           "00 00",
                           "01 07 02 45 31 07 03 62 61 64 00",
                           "00 01",
                           "",
                       }));
  // The value stays the caller's.
  EXPECT_EQ(fl_value_get_int(answer), 42);

  g_autoptr(FlValue) events =
      fl_fake_messenger_decode_events(messenger_, kChannel);
  g_autofree gchar* text = fl_value_to_string(events);
  ASSERT_EQ(fl_value_get_length(events), 5u) << text;
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(
                fl_value_get_list_value(events, 0), "event")),
            42)
      << text;
  FlValue* error_entry =
      fl_value_lookup_string(fl_value_get_list_value(events, 2), "error");
  ASSERT_NE(error_entry, nullptr) << text;
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(error_entry, "code")),
               "E1");
  EXPECT_NE(fl_value_lookup_string(fl_value_get_list_value(events, 4), "end"),
            nullptr)
      << text;
}

// The stream handlers' destroy notification runs exactly once, whichever way
// the handlers go.
TEST_F(EventChannelTest, DestroyNotifyRunsOnceWhenHandlersGo) {
  FlFakeMessenger* messenger = messenger_;
  const struct {
    const char* label;
    std::function<void(FlEventChannel*)> remove;
  } cases[] = {
      {"replaced",
       [](FlEventChannel* channel) {
         fl_event_channel_set_stream_handlers(channel, ListenCb, nullptr,
                                              nullptr, nullptr);
       }},
      {"set to NULL",
       [](FlEventChannel* channel) {
         fl_event_channel_set_stream_handlers(channel, nullptr, nullptr,
                                              nullptr, nullptr);
       }},
      {"name taken by another channel",
       [this](FlEventChannel* channel) {
         g_autoptr(FlEventChannel) other = NewChannel();
         fl_event_channel_set_stream_handlers(other, ListenCb, nullptr, nullptr,
                                              nullptr);
       }},
      {"messenger shutdown",
       [messenger](FlEventChannel* channel) {
         fl_fake_messenger_shutdown(messenger);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    DestroyCounter counter;
    {
      g_autoptr(FlEventChannel) channel = NewChannel();
      fl_event_channel_set_stream_handlers(channel, ListenCb, CancelCb,
                                           &counter, DestroyCounter::Notify);
      EXPECT_EQ(counter.destroyed, 0);
      c.remove(channel);
      EXPECT_EQ(counter.destroyed, 1);
      fl_event_channel_set_stream_handlers(channel, nullptr, nullptr, nullptr,
                                           nullptr);
    }
    fl_fake_messenger_shutdown(messenger_);
    EXPECT_EQ(counter.destroyed, 1);
  }
}

// A channel with handlers works after its creator drops it, also when the
// listen handler removes the handlers (and with them the last reference)
// while it runs.
TEST_F(EventChannelTest, WorksAfterCreatorDropsReference) {
  StreamState state;
  state.act = [&state](FlEventChannel* channel) {
    if (state.calls.size() == 2) {
      fl_event_channel_set_stream_handlers(channel, nullptr, nullptr, nullptr,
                                           nullptr);
    }
  };
  FlEventChannel* channel = NewChannel();
  GWeakRef weak;
  g_weak_ref_init(&weak, channel);
  fl_event_channel_set_stream_handlers(channel, ListenCb, CancelCb, &state,
                                       nullptr);
  g_object_unref(channel);

  g_autoptr(GBytes) first = StreamCall("listen", nullptr);
  EXPECT_EQ(Hex(first), "00 00");
  g_autoptr(GBytes) second = StreamCall("cancel", nullptr);
  EXPECT_EQ(Hex(second), "00 00");
  EXPECT_EQ(state.calls.size(), 2u);
  EXPECT_FALSE(fl_fake_messenger_has_handler(messenger_, kChannel));
  g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak));
  EXPECT_EQ(gone, nullptr);
  g_weak_ref_clear(&weak);

  g_autoptr(GBytes) third = StreamCall("listen", nullptr);
  EXPECT_EQ(Hex(third), "");
  EXPECT_EQ(state.calls.size(), 2u);
}

}  // namespace
