// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Method channels and calls, driven through the synchronous fake messenger.
#include <functional>
#include <string>
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_test_support.h"

namespace {

using fltest::DestroyCounter;
using fltest::Hex;

constexpr char kChannel[] = "test/method";

// What a handler saw and what it should do.
struct HandlerState {
  int calls = 0;
  std::string name;
  FlValue* args = nullptr;  // Owned.
  std::function<void(FlMethodCall*)> act;
  FlMethodCall* kept = nullptr;  // Owned when the handler keeps the call.
  int destroyed = 0;             // Destroy notifications run.
  static void Destroy(gpointer data) {
    static_cast<HandlerState*>(data)->destroyed++;
  }
  ~HandlerState() {
    g_clear_pointer(&args, fl_value_unref);
    g_clear_object(&kept);
  }
};

void RecordingHandler(FlMethodChannel* channel,
                      FlMethodCall* call,
                      gpointer user_data) {
  auto* state = static_cast<HandlerState*>(user_data);
  state->calls++;
  state->name = fl_method_call_get_name(call);
  g_clear_pointer(&state->args, fl_value_unref);
  FlValue* args = fl_method_call_get_args(call);
  state->args = args != nullptr ? fl_value_ref(args) : nullptr;
  if (state->act) {
    state->act(call);
  }
}

class MethodChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    messenger_ = fl_fake_messenger_new();
    codec_ = fltest::StandardMethodCodec();
  }
  void TearDown() override {
    // Channels with handlers hold the messenger; shutting down lets go.
    fl_fake_messenger_shutdown(messenger_);
    g_clear_object(&codec_);
    g_clear_object(&messenger_);
  }

  FlMethodChannel* NewChannel(const char* name = kChannel) {
    return fl_method_channel_new(FL_BINARY_MESSENGER(messenger_), name, codec_);
  }

  // Sends a call the way the Dart side does and returns the raw reply.
  GBytes* RawCall(const char* method,
                  FlValue* args,
                  const char* channel = kChannel) {
    guint64 ticket = fl_fake_messenger_begin_standard_method(
        messenger_, channel, method, args);
    GBytes* reply =
        fl_fake_messenger_wait_reply(messenger_, ticket, fltest::kWaitMs);
    last_ticket_ = ticket;
    return reply;
  }

  FlFakeMessenger* messenger_ = nullptr;
  FlMethodCodec* codec_ = nullptr;
  guint64 last_ticket_ = 0;
};

// A call reaches the handler with its name and arguments; absent arguments
// arrive as a null value, not as a null pointer.
TEST_F(MethodChannelTest, CallReachesHandlerWithNameAndArgs) {
  g_autoptr(FlValue) map = fl_value_new_map();
  fl_value_set_string_take(map, "path", fl_value_new_string("/a"));
  g_autoptr(FlValue) big = fl_value_new_int(INT64_C(1) << 40);
  g_autoptr(FlValue) null_value = fl_value_new_null();
  const struct {
    const char* method;
    FlValue* args;
    FlValue* expected;
  } cases[] = {
      {"probe", map, map},
      {"seek", big, big},
      {"noArgs", nullptr, null_value},
  };
  g_autoptr(FlMethodChannel) channel = NewChannel();
  HandlerState state;
  state.act = [](FlMethodCall* call) {
    EXPECT_TRUE(fl_method_call_respond_success(call, nullptr, nullptr));
  };
  fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                            nullptr);
  int calls = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method);
    g_autoptr(GBytes) reply = RawCall(c.method, c.args);
    EXPECT_EQ(Hex(reply), "00 00");
    EXPECT_EQ(state.calls, ++calls);
    EXPECT_EQ(state.name, c.method);
    ASSERT_NE(state.args, nullptr);
    EXPECT_TRUE(fl_value_equal(state.args, c.expected))
        << fl_value_to_string(state.args);
  }
}

// Every way of answering puts the standard method codec's bytes on the wire.
TEST_F(MethodChannelTest, RepliesEncodeAsGoldenBytes) {
  const struct {
    const char* label;
    std::function<gboolean(FlMethodCall*, GError**)> respond;
    const char* hex;
  } cases[] = {
      {"success null",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_success(call, nullptr, error);
       },
       "00 00"},
      {"success 42",
       [](FlMethodCall* call, GError** error) {
         g_autoptr(FlValue) value = fl_value_new_int(42);
         return fl_method_call_respond_success(call, value, error);
       },
       "00 03 2a 00 00 00"},
      {"success response object",
       [](FlMethodCall* call, GError** error) {
         g_autoptr(FlValue) value = fl_value_new_bool(true);
         g_autoptr(FlMethodResponse) response =
             FL_METHOD_RESPONSE(fl_method_success_response_new(value));
         return fl_method_call_respond(call, response, error);
       },
       "00 01"},
      {"error",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_error(call, "E1", "bad", nullptr, error);
       },
       "01 07 02 45 31 07 03 62 61 64 00"},
      {"error response object",
       [](FlMethodCall* call, GError** error) {
         g_autoptr(FlMethodResponse) response = FL_METHOD_RESPONSE(
             fl_method_error_response_new("E1", "bad", nullptr));
         return fl_method_call_respond(call, response, error);
       },
       "01 07 02 45 31 07 03 62 61 64 00"},
      {"error without message",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_error(call, "E1", nullptr, nullptr,
                                             error);
       },
       "01 07 02 45 31 00 00"},
      {"not implemented",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_not_implemented(call, error);
       },
       ""},
      {"not implemented response object",
       [](FlMethodCall* call, GError** error) {
         g_autoptr(FlMethodResponse) response =
             FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
         return fl_method_call_respond(call, response, error);
       },
       ""},
  };
  g_autoptr(FlMethodChannel) channel = NewChannel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HandlerState state;
    state.act = [&c](FlMethodCall* call) {
      g_autoptr(GError) error = nullptr;
      EXPECT_TRUE(c.respond(call, &error))
          << (error != nullptr ? error->message : "");
    };
    fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                              nullptr);
    g_autoptr(GBytes) reply = RawCall("m", nullptr);
    EXPECT_EQ(Hex(reply), c.hex);
    EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, last_ticket_), 1u);
  }
}

// A second answer is refused as already responded, and only the first one
// travels.
TEST_F(MethodChannelTest, SecondResponseIsRefused) {
  const struct {
    const char* label;
    std::function<gboolean(FlMethodCall*, GError**)> second;
  } cases[] = {
      {"success",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_success(call, nullptr, error);
       }},
      {"error",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_error(call, "E2", "again", nullptr,
                                             error);
       }},
      {"not implemented",
       [](FlMethodCall* call, GError** error) {
         return fl_method_call_respond_not_implemented(call, error);
       }},
  };
  g_autoptr(FlMethodChannel) channel = NewChannel();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    HandlerState state;
    state.act = [&c](FlMethodCall* call) {
      g_autoptr(FlValue) one = fl_value_new_int(1);
      EXPECT_TRUE(fl_method_call_respond_success(call, one, nullptr));
      g_autoptr(GError) error = nullptr;
      EXPECT_FALSE(c.second(call, &error));
      ASSERT_NE(error, nullptr);
      EXPECT_TRUE(g_error_matches(error, FL_BINARY_MESSENGER_ERROR,
                                  FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED))
          << error->message;
    };
    fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                              nullptr);
    g_autoptr(GBytes) reply = RawCall("m", nullptr);
    EXPECT_EQ(Hex(reply), "00 03 01 00 00 00");
    EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, last_ticket_), 1u);
    g_autoptr(GBytes) extra =
        fl_fake_messenger_take_reply(messenger_, last_ticket_);
    EXPECT_EQ(extra, nullptr) << Hex(extra);
  }
}

// A call that nobody answers gets the empty reply once its last reference
// goes, whether that happens in the handler or later from the main loop.
TEST_F(MethodChannelTest, UnansweredCallGetsEmptyReply) {
  g_autoptr(FlMethodChannel) channel = NewChannel();

  HandlerState ignoring;
  fl_method_channel_set_method_call_handler(channel, RecordingHandler,
                                            &ignoring, nullptr);
  g_autoptr(GBytes) reply = RawCall("m", nullptr);
  EXPECT_EQ(ignoring.calls, 1);
  EXPECT_EQ(Hex(reply), "");
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, last_ticket_), 1u);

  HandlerState keeping;
  keeping.act = [&keeping](FlMethodCall* call) {
    keeping.kept = FL_METHOD_CALL(g_object_ref(call));
  };
  fl_method_channel_set_method_call_handler(channel, RecordingHandler, &keeping,
                                            nullptr);
  guint64 ticket = fl_fake_messenger_begin_standard_method(messenger_, kChannel,
                                                           "m", nullptr);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 0u)
      << "a kept call must not be answered yet";
  g_clear_object(&keeping.kept);
  g_autoptr(GBytes) late = fl_fake_messenger_take_reply(messenger_, ticket);
  EXPECT_EQ(Hex(late), "");
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
}

// Calls that no handler takes get the empty reply, the not-implemented
// response of the Dart side.
TEST_F(MethodChannelTest, CallWithoutHandlerGetsEmptyReply) {
  g_autoptr(FlMethodChannel) idle = NewChannel("test/no_handler");
  g_autoptr(FlMethodChannel) cleared = NewChannel("test/cleared");
  HandlerState state;
  fl_method_channel_set_method_call_handler(cleared, RecordingHandler, &state,
                                            nullptr);
  fl_method_channel_set_method_call_handler(cleared, nullptr, nullptr, nullptr);
  const char* channels[] = {"test/unknown", "test/no_handler", "test/cleared"};
  for (const char* name : channels) {
    SCOPED_TRACE(name);
    EXPECT_FALSE(fl_fake_messenger_has_handler(messenger_, name));
    g_autoptr(GBytes) reply = RawCall("m", nullptr, name);
    EXPECT_EQ(Hex(reply), "");
    g_autoptr(FlMethodResponse) response = fltest::DecodeResponse(reply);
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response));
  }
  EXPECT_EQ(state.calls, 0);
}

// A message that is not a method call is answered empty, not handed on.
TEST_F(MethodChannelTest, UndecodableCallGetsEmptyReply) {
  g_autoptr(FlMethodChannel) channel = NewChannel();
  HandlerState state;
  fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                            nullptr);
  const std::vector<uint8_t> messages[] = {
      {},
      {0x03, 0x01, 0x00, 0x00, 0x00},        // an int where the name goes
      {0x07, 0x05, 0x70, 0x72},              // a truncated name
      {0x07, 0x01, 0x6d, 0x00, 0x00, 0x00},  // bytes after the arguments
  };
  fltest::LogCapture log;
  for (const auto& message : messages) {
    SCOPED_TRACE(Hex(message));
    g_autoptr(GBytes) bytes = fltest::ToBytes(message);
    guint64 ticket = fl_fake_messenger_send(messenger_, kChannel, bytes);
    g_autoptr(GBytes) reply =
        fl_fake_messenger_wait_reply(messenger_, ticket, fltest::kWaitMs);
    EXPECT_EQ(Hex(reply), "");
  }
  EXPECT_EQ(state.calls, 0);
}

// The destroy notification of a handler's data runs exactly once, whichever
// way the handler goes.
TEST_F(MethodChannelTest, DestroyNotifyRunsOnceWhenHandlerGoes) {
  FlFakeMessenger* messenger = messenger_;
  const struct {
    const char* label;
    std::function<void(FlMethodChannel*)> remove;
  } cases[] = {
      {"replaced",
       [](FlMethodChannel* channel) {
         fl_method_channel_set_method_call_handler(channel, RecordingHandler,
                                                   nullptr, nullptr);
       }},
      {"set to NULL",
       [](FlMethodChannel* channel) {
         fl_method_channel_set_method_call_handler(channel, nullptr, nullptr,
                                                   nullptr);
       }},
      {"name taken by another channel",
       [this](FlMethodChannel* channel) {
         g_autoptr(FlMethodChannel) other = NewChannel();
         fl_method_channel_set_method_call_handler(other, RecordingHandler,
                                                   nullptr, nullptr);
       }},
      {"name taken on the messenger",
       [messenger](FlMethodChannel* channel) {
         fl_binary_messenger_set_message_handler_on_channel(
             FL_BINARY_MESSENGER(messenger), kChannel, nullptr, nullptr,
             nullptr);
       }},
      {"messenger shutdown",
       [messenger](FlMethodChannel* channel) {
         fl_fake_messenger_shutdown(messenger);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    DestroyCounter counter;
    {
      g_autoptr(FlMethodChannel) channel = NewChannel();
      fl_method_channel_set_method_call_handler(
          channel, RecordingHandler, &counter, DestroyCounter::Notify);
      EXPECT_EQ(counter.destroyed, 0);
      c.remove(channel);
      EXPECT_EQ(counter.destroyed, 1);
      // Nothing that follows may run it again.
      fl_method_channel_set_method_call_handler(channel, nullptr, nullptr,
                                                nullptr);
    }
    fl_fake_messenger_shutdown(messenger_);
    EXPECT_EQ(counter.destroyed, 1);
  }
}

// A channel whose name another channel took no longer owns the name: clearing
// its handler leaves the new channel's handler in place.
TEST_F(MethodChannelTest, DisplacedChannelDoesNotRemoveItsSuccessor) {
  g_autoptr(FlMethodChannel) first = NewChannel();
  g_autoptr(FlMethodChannel) second = NewChannel();
  HandlerState first_state;
  HandlerState second_state;
  second_state.act = [](FlMethodCall* call) {
    fl_method_call_respond_success(call, nullptr, nullptr);
  };
  fl_method_channel_set_method_call_handler(first, RecordingHandler,
                                            &first_state, nullptr);
  fl_method_channel_set_method_call_handler(second, RecordingHandler,
                                            &second_state, nullptr);
  fl_method_channel_set_method_call_handler(first, nullptr, nullptr, nullptr);
  EXPECT_TRUE(fl_fake_messenger_has_handler(messenger_, kChannel));
  g_autoptr(GBytes) reply = RawCall("m", nullptr);
  EXPECT_EQ(Hex(reply), "00 00");
  EXPECT_EQ(first_state.calls, 0);
  EXPECT_EQ(second_state.calls, 1);
}

// A channel with a handler goes on working after its creator lets it go, and
// it lets go of the handler's data when the messenger shuts down.
TEST_F(MethodChannelTest, WorksAfterCreatorDropsReference) {
  HandlerState state;
  state.act = [](FlMethodCall* call) {
    g_autoptr(FlValue) value = fl_value_new_string("ok");
    fl_method_call_respond_success(call, value, nullptr);
  };
  FlMethodChannel* channel = NewChannel();
  GWeakRef weak;
  g_weak_ref_init(&weak, channel);
  fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                            HandlerState::Destroy);
  g_object_unref(channel);
  g_autoptr(GBytes) reply = RawCall("m", nullptr);
  EXPECT_EQ(Hex(reply), "00 07 02 6f 6b");
  EXPECT_EQ(state.calls, 1);
  EXPECT_EQ(state.destroyed, 0);
  fl_fake_messenger_shutdown(messenger_);
  EXPECT_EQ(state.destroyed, 1);
  g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak));
  EXPECT_EQ(gone, nullptr) << "the channel outlived the messenger's hold";
  g_weak_ref_clear(&weak);
}

gboolean RespondLaterCb(gpointer user_data) {
  g_autoptr(FlMethodCall) call = FL_METHOD_CALL(user_data);
  g_autoptr(FlValue) value = fl_value_new_int(7);
  EXPECT_TRUE(fl_method_call_respond_success(call, value, nullptr));
  return G_SOURCE_REMOVE;
}

// A call kept past its handler is answered from a later main-loop dispatch.
TEST_F(MethodChannelTest, DeferredReplyArrives) {
  g_autoptr(FlMethodChannel) channel = NewChannel();
  HandlerState state;
  state.act = [](FlMethodCall* call) {
    g_idle_add(RespondLaterCb, g_object_ref(call));
  };
  fl_method_channel_set_method_call_handler(channel, RecordingHandler, &state,
                                            nullptr);
  guint64 ticket = fl_fake_messenger_begin_standard_method(messenger_, kChannel,
                                                           "m", nullptr);
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 0u);
  g_autoptr(GBytes) reply =
      fl_fake_messenger_wait_reply(messenger_, ticket, fltest::kWaitMs);
  EXPECT_EQ(Hex(reply), "00 03 07 00 00 00");
  fltest::Drain();
  EXPECT_EQ(fl_fake_messenger_get_reply_count(messenger_, ticket), 1u);
}

struct InvokeResult {
  bool done = false;
  FlMethodResponse* response = nullptr;  // Owned.
  GError* error = nullptr;               // Owned.
  ~InvokeResult() {
    g_clear_object(&response);
    g_clear_error(&error);
  }
};

void InvokeDoneCb(GObject* object, GAsyncResult* result, gpointer user_data) {
  auto* out = static_cast<InvokeResult*>(user_data);
  out->response = fl_method_channel_invoke_method_finish(
      FL_METHOD_CHANNEL(object), result, &out->error);
  out->done = true;
}

// invoke_method sends the encoded call, and the fake's empty reply finishes
// as the not-implemented response.
TEST_F(MethodChannelTest, InvokeMethodSendsEncodedCall) {
  g_autoptr(FlMethodChannel) channel = NewChannel();
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "path", fl_value_new_string("/a"));
  InvokeResult result;
  fl_method_channel_invoke_method(channel, "probe", args, nullptr, InvokeDoneCb,
                                  &result);
  ASSERT_EQ(fl_fake_messenger_get_message_count(messenger_, kChannel), 1u);
  EXPECT_EQ(Hex(fl_fake_messenger_get_message(messenger_, kChannel, 0)),
            "07 05 70 72 6f 62 65 0d 01 07 04 70 61 74 68 07 02 2f 61");
  ASSERT_TRUE(fltest::RunUntil([&result] { return result.done; }));
  ASSERT_NE(result.response, nullptr)
      << (result.error != nullptr ? result.error->message : "");
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(result.response));
  g_autoptr(GError) error = nullptr;
  EXPECT_EQ(fl_method_response_get_result(result.response, &error), nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED));

  // Without a callback the call still goes out, and nothing waits for it.
  fl_method_channel_invoke_method(channel, "fire", nullptr, nullptr, nullptr,
                                  nullptr);
  ASSERT_EQ(fl_fake_messenger_get_message_count(messenger_, kChannel), 2u);
  EXPECT_EQ(Hex(fl_fake_messenger_get_message(messenger_, kChannel, 1)),
            "07 04 66 69 72 65 00");
  g_autoptr(FlValue) calls =
      fl_fake_messenger_decode_method_calls(messenger_, kChannel);
  g_autofree gchar* text = fl_value_to_string(calls);
  EXPECT_EQ(fl_value_get_length(calls), 2u);
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(
                   fl_value_get_list_value(calls, 1), "method")),
               "fire")
      << text;
}

}  // namespace
