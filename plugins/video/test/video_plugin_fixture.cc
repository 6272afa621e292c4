// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "video_plugin_fixture.h"

#include <memory>

#include "test_media.h"

namespace {

constexpr char kChannel[] = "zelko_desktop_video";

}  // namespace

void VideoPluginTest::SetUp() {
  messenger_ = fl_fake_messenger_new();
  textures_ = fl_fake_texture_registrar_new();
  registrar_ = fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger_),
                                            FL_TEXTURE_REGISTRAR(textures_));
  plugin_ = zelko_desktop_video_plugin_new(registrar_);
}

void VideoPluginTest::TearDown() {
  {
    test_media::Watch plugin(plugin_);
    g_clear_object(&plugin_);
    EXPECT_TRUE(plugin.alive()) << "the channel handlers hold no plugin";
    fl_fake_messenger_shutdown(messenger_);
    EXPECT_FALSE(plugin.alive()) << "the plugin outlived its channel handlers";
  }
  // The process may end right after the engine: no pipeline may stop later.
  for (const auto& pipeline : pipelines_) {
    EXPECT_FALSE(pipeline->alive())
        << "a player's pipeline outlived the engine's shutdown";
  }
  pipelines_.clear();
  test_media::Drain();
  EXPECT_EQ(fl_fake_texture_registrar_get_registered_count(textures_), 0u)
      << "a player's texture stayed registered";
  g_clear_object(&registrar_);
  g_clear_object(&textures_);
  g_clear_object(&messenger_);
}

FlValue* VideoPluginTest::Args(
    std::initializer_list<std::pair<const char*, FlValue*>> entries) {
  FlValue* map = fl_value_new_map();
  for (const auto& entry : entries) {
    fl_value_set_string_take(map, entry.first, entry.second);
  }
  return map;
}

FlMethodResponse* VideoPluginTest::Call(const char* method, FlValue* args) {
  return fl_fake_messenger_invoke_standard_method(messenger_, kChannel, method,
                                                  args);
}

FlMethodResponse* VideoPluginTest::CallTake(const char* method, FlValue* args) {
  g_autoptr(FlValue) owned = args;
  return Call(method, owned);
}

guint64 VideoPluginTest::Begin(const char* method, FlValue* args) {
  g_autoptr(FlValue) owned = args;
  return fl_fake_messenger_begin_standard_method(messenger_, kChannel, method,
                                                 owned);
}

FlMethodResponse* VideoPluginTest::Finish(guint64 ticket, guint timeout_ms) {
  return fl_fake_messenger_finish_standard_method(messenger_, ticket,
                                                  timeout_ms);
}

guint VideoPluginTest::Replies(guint64 ticket) {
  return fl_fake_messenger_get_reply_count(messenger_, ticket);
}

int64_t VideoPluginTest::CreatePlayer(const std::string& uri) {
  g_autoptr(FlMethodResponse) response = CallTake(
      "playerCreate", Args({{"uri", fl_value_new_string(uri.c_str())}}));
  FlValue* result = SuccessResult(response);
  if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_INT) {
    ADD_FAILURE() << "playerCreate did not answer an id";
    return -1;
  }
  const int64_t id = fl_value_get_int(result);
  Player* player = LookupPlayer(id);
  if (player != nullptr && player->Pipeline() != nullptr) {
    pipelines_.push_back(
        std::make_unique<test_media::Watch>(player->Pipeline()));
  }
  return id;
}

void VideoPluginTest::CallPlayer(
    const char* method,
    int64_t id,
    std::initializer_list<std::pair<const char*, FlValue*>> extra) {
  g_autoptr(FlValue) args = Args({{"id", fl_value_new_int(id)}});
  for (const auto& entry : extra) {
    fl_value_set_string_take(args, entry.first, entry.second);
  }
  g_autoptr(FlMethodResponse) response = Call(method, args);
  FlValue* result = SuccessResult(response);
  ASSERT_NE(result, nullptr) << method;
  EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL) << method;
}

int64_t VideoPluginTest::Position(int64_t id) {
  g_autoptr(FlMethodResponse) response =
      CallTake("playerPosition", Args({{"id", fl_value_new_int(id)}}));
  FlValue* result = SuccessResult(response);
  if (result == nullptr || fl_value_get_type(result) != FL_VALUE_TYPE_INT) {
    return -1;
  }
  return fl_value_get_int(result);
}

std::string VideoPluginTest::EventChannel(int64_t id) {
  return "zelko_desktop_video/events_" + std::to_string(id);
}

void VideoPluginTest::Listen(int64_t id) {
  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_invoke_standard_method(
          messenger_, EventChannel(id).c_str(), "listen", nullptr);
  EXPECT_NE(SuccessResult(response), nullptr) << "listen was refused";
}

void VideoPluginTest::Cancel(int64_t id) {
  g_autoptr(FlMethodResponse) response =
      fl_fake_messenger_invoke_standard_method(
          messenger_, EventChannel(id).c_str(), "cancel", nullptr);
  EXPECT_NE(SuccessResult(response), nullptr) << "cancel was refused";
}

FlValue* VideoPluginTest::Events(int64_t id) {
  return fl_fake_messenger_decode_events(messenger_, EventChannel(id).c_str());
}

std::vector<std::string> VideoPluginTest::EventNames(FlValue* events) {
  std::vector<std::string> names;
  for (size_t i = 0; i < fl_value_get_length(events); ++i) {
    names.push_back(EventName(fl_value_get_list_value(events, i)));
  }
  return names;
}

std::vector<std::string> VideoPluginTest::EventNames(int64_t id) {
  g_autoptr(FlValue) events = Events(id);
  return EventNames(events);
}

bool VideoPluginTest::WaitForEvents(int64_t id, guint count, guint timeout_ms) {
  return fl_fake_messenger_wait_for_messages(
      messenger_, EventChannel(id).c_str(), count, timeout_ms);
}

Player* VideoPluginTest::LookupPlayer(int64_t id) {
  return zelko_desktop_video_plugin_lookup_player(plugin_, id);
}

bool VideoPluginTest::WaitForState(int64_t id,
                                   GstState state,
                                   guint timeout_ms) {
  return test_media::WaitUntil(
      [&]() {
        Player* player = LookupPlayer(id);
        if (player == nullptr || player->Pipeline() == nullptr) {
          return false;
        }
        GstState current = GST_STATE_VOID_PENDING;
        GstState pending = GST_STATE_VOID_PENDING;
        return gst_element_get_state(player->Pipeline(), &current, &pending,
                                     0) == GST_STATE_CHANGE_SUCCESS &&
               current == state;
      },
      timeout_ms);
}

FlValue* SuccessResult(FlMethodResponse* response) {
  if (response == nullptr) {
    ADD_FAILURE() << "no reply came";
    return nullptr;
  }
  if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    ADD_FAILURE() << "the reply is not a success";
    return nullptr;
  }
  return fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
}

std::string EventName(FlValue* entry) {
  FlValue* event = fl_value_lookup_string(entry, "event");
  if (event != nullptr && fl_value_get_type(event) == FL_VALUE_TYPE_MAP) {
    FlValue* name = fl_value_lookup_string(event, "event");
    if (name != nullptr && fl_value_get_type(name) == FL_VALUE_TYPE_STRING) {
      return fl_value_get_string(name);
    }
  }
  FlValue* error = fl_value_lookup_string(entry, "error");
  if (error != nullptr && fl_value_get_type(error) == FL_VALUE_TYPE_MAP) {
    FlValue* code = fl_value_lookup_string(error, "code");
    if (code != nullptr && fl_value_get_type(code) == FL_VALUE_TYPE_STRING) {
      return fl_value_get_string(code);
    }
  }
  return "";
}
