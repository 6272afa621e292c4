// Copyright 2026 The Zelkoz Authors. All rights reserved.
// The engine's messenger and its peer transport, over a real Unix socket
// with the test playing the Dart side.
#include <dirent.h>
#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fl_test_support.h"

namespace {

using fltest::DestroyCounter;
using fltest::Frame;
using fltest::Hex;
using fltest::TestPeer;

// Answers every message with its own bytes.
void EchoHandler(FlBinaryMessenger* messenger,
                 const gchar* channel,
                 GBytes* message,
                 FlBinaryMessengerResponseHandle* response_handle,
                 gpointer user_data) {
  if (user_data != nullptr) {
    (*static_cast<int*>(user_data))++;
  }
  EXPECT_TRUE(fl_binary_messenger_send_response(messenger, response_handle,
                                                message, nullptr));
}

// Leaves every message unanswered.
void SilentHandler(FlBinaryMessenger* messenger,
                   const gchar* channel,
                   GBytes* message,
                   FlBinaryMessengerResponseHandle* response_handle,
                   gpointer user_data) {
  if (user_data != nullptr) {
    (*static_cast<int*>(user_data))++;
  }
}

// Ignores messages and counts nothing.
void IgnoreHandler(FlBinaryMessenger* messenger,
                   const gchar* channel,
                   GBytes* message,
                   FlBinaryMessengerResponseHandle* response_handle,
                   gpointer user_data) {}

// Keeps the call in *user_data to answer later.
void KeepCallHandler(FlMethodChannel* channel,
                     FlMethodCall* call,
                     gpointer user_data) {
  auto* kept = static_cast<FlMethodCall**>(user_data);
  g_clear_object(kept);
  *kept = FL_METHOD_CALL(g_object_ref(call));
}

// Answers with the call's arguments.
void ArgsHandler(FlMethodChannel* channel,
                 FlMethodCall* call,
                 gpointer user_data) {
  fl_method_call_respond_success(call, fl_method_call_get_args(call), nullptr);
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

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NO_FATAL_FAILURE(Start()); }

  void TearDown() override {
    g_clear_object(&engine_);
    g_clear_object(&project_);
    g_clear_object(&codec_);
    peer_.reset();
  }

  // A fresh engine connected to a fresh peer; the HELLO is read.
  void Start() {
    g_clear_object(&engine_);
    g_clear_object(&project_);
    peer_.reset();
    peer_ = std::make_unique<TestPeer>();
    project_ = fltest::ProjectWithArgs({"--flag", "two words", "\u00fcn"});
    engine_ = fl_engine_new(project_);
    fl_engine_start(engine_);
    ASSERT_TRUE(peer_->Accept()) << "the engine did not connect";
    ASSERT_TRUE(peer_->NextFrame(&hello_));
    ASSERT_EQ(hello_.type, fltest::kHello);
    if (codec_ == nullptr) {
      codec_ = fltest::StandardMethodCodec();
    }
  }

  FlBinaryMessenger* messenger() {
    return fl_engine_get_binary_messenger(engine_);
  }

  FlMethodChannel* NewMethodChannel(const char* name) {
    return fl_method_channel_new(messenger(), name, codec_);
  }

  // Sends raw bytes on channel and returns the raw reply.
  std::vector<uint8_t> RawRequest(const std::string& channel,
                                  const std::vector<uint8_t>& message) {
    g_autoptr(GBytes) bytes = fltest::ToBytes(message);
    std::vector<uint8_t> reply = {0xee};
    EXPECT_TRUE(peer_->Request(channel, bytes, &reply))
        << "no reply on " << channel;
    return reply;
  }

  std::unique_ptr<TestPeer> peer_;
  FlDartProject* project_ = nullptr;
  FlEngine* engine_ = nullptr;
  FlMethodCodec* codec_ = nullptr;
  Frame hello_;
};

// The first frame introduces the engine: protocol 1, its process id and the
// Dart entry point's arguments.
TEST_F(EngineTest, HelloCarriesProtocolPidAndArgs) {
  g_autoptr(FlValue) hello =
      fltest::DecodeMessage(hello_.payload.data(), hello_.payload.size());
  ASSERT_NE(hello, nullptr);
  g_autofree gchar* text = fl_value_to_string(hello);
  ASSERT_EQ(fl_value_get_type(hello), FL_VALUE_TYPE_MAP) << text;
  EXPECT_EQ(fl_value_get_length(hello), 3u) << text;
  FlValue* protocol = fl_value_lookup_string(hello, "protocol");
  FlValue* pid = fl_value_lookup_string(hello, "pid");
  FlValue* args = fl_value_lookup_string(hello, "args");
  ASSERT_NE(protocol, nullptr) << text;
  ASSERT_NE(pid, nullptr) << text;
  ASSERT_NE(args, nullptr) << text;
  EXPECT_EQ(fl_value_get_int(protocol), 1);
  EXPECT_EQ(fl_value_get_int(pid), getpid());
  const char* expected[] = {"--flag", "two words", "\u00fcn"};
  ASSERT_EQ(fl_value_get_type(args), FL_VALUE_TYPE_LIST) << text;
  ASSERT_EQ(fl_value_get_length(args), G_N_ELEMENTS(expected)) << text;
  for (size_t i = 0; i < G_N_ELEMENTS(expected); i++) {
    EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(args, i)),
                 expected[i]);
  }
  EXPECT_TRUE(fl_engine_has_peer(engine_));
}

// Without entry-point arguments the HELLO carries an empty list.
TEST_F(EngineTest, HelloWithoutArgs) {
  g_clear_object(&engine_);
  peer_.reset();
  peer_ = std::make_unique<TestPeer>();
  g_autoptr(FlDartProject) project = fl_dart_project_new();
  engine_ = fl_engine_new(project);
  fl_engine_start(engine_);
  // A second start neither connects again nor says hello twice.
  fl_engine_start(engine_);
  ASSERT_TRUE(peer_->Accept());
  EXPECT_FALSE(peer_->HasPendingConnection());
  Frame hello;
  ASSERT_TRUE(peer_->NextFrame(&hello));
  g_autoptr(FlValue) value =
      fltest::DecodeMessage(hello.payload.data(), hello.payload.size());
  FlValue* args = fl_value_lookup_string(value, "args");
  ASSERT_NE(args, nullptr);
  EXPECT_EQ(fl_value_get_type(args), FL_VALUE_TYPE_LIST);
  EXPECT_EQ(fl_value_get_length(args), 0u);
}

// Every socket of the process is close-on-exec, so a process that replaces
// itself does not inherit the peer connection.
TEST_F(EngineTest, PeerSocketIsCloseOnExec) {
  g_autoptr(GDir) dir = g_dir_open("/proc/self/fd", 0, nullptr);
  ASSERT_NE(dir, nullptr);
  int sockets = 0;
  const gchar* name = nullptr;
  while ((name = g_dir_read_name(dir)) != nullptr) {
    int fd = atoi(name);
    struct stat info = {};
    if (fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode)) {
      continue;
    }
    sockets++;
    SCOPED_TRACE(fd);
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  // The peer's listening and accepted sockets and the engine's.
  EXPECT_GE(sockets, 3);
}

// Messages from the peer reach the handler of their channel and come back
// with its reply; nobody's messages get the empty reply.
TEST_F(EngineTest, MessagesGetTheirReplies) {
  int echoed = 0;
  int ignored = 0;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/echo", EchoHandler, &echoed, nullptr);
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/silent", SilentHandler, &ignored, nullptr);
  g_autoptr(FlMethodChannel) method = NewMethodChannel("test/args");
  fl_method_channel_set_method_call_handler(method, ArgsHandler, nullptr,
                                            nullptr);
  const struct {
    const char* channel;
    std::vector<uint8_t> message;
    const char* reply;
  } cases[] = {
      {"test/echo", {0x01, 0x02, 0x03}, "01 02 03"},
      {"test/echo", {0x00}, "00"},
      {"test/silent", {0x07}, ""},
      {"test/unknown", {0x07}, ""},
      {"", {0x07}, ""},
      // "m" with 2^32: the 64-bit integer comes back whole.
      {"test/args",
       {0x07, 0x01, 0x6d, 0x04, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00},
       "00 04 00 00 00 00 01 00 00 00"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.channel) + " " + Hex(c.message));
    EXPECT_EQ(Hex(RawRequest(c.channel, c.message)), c.reply);
  }
  EXPECT_EQ(echoed, 2);
  EXPECT_EQ(ignored, 1);
}

// A message with reply id 0 wants no reply: the handler runs and nothing
// comes back, not even an empty reply.
TEST_F(EngineTest, MessageWithoutReplyIdGetsNoReply) {
  int echoed = 0;
  int ignored = 0;
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/echo", EchoHandler, &echoed, nullptr);
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/silent", SilentHandler, &ignored, nullptr);
  g_autoptr(GBytes) one = g_bytes_new("\x01", 1);
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(0, "test/echo", one)));
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(0, "test/silent", one)));
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(0, "test/unknown", one)));
  // The next frame must be the reply to this request.
  uint32_t id = peer_->NewReplyId();
  g_autoptr(GBytes) two = g_bytes_new("\x02", 1);
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(id, "test/echo", two)));
  Frame frame;
  ASSERT_TRUE(peer_->NextFrame(&frame));
  EXPECT_EQ(frame.type, fltest::kReply);
  EXPECT_EQ(frame.reply_id, id);
  EXPECT_EQ(Hex(frame.payload), "02");
  EXPECT_EQ(echoed, 2);
  EXPECT_EQ(ignored, 1);
}

// Frames are found however the bytes arrive: several in one write, or one
// byte at a time.
TEST_F(EngineTest, FramesSurviveAnySplit) {
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/echo", EchoHandler, nullptr, nullptr);
  for (bool bytewise : {false, true}) {
    SCOPED_TRACE(bytewise ? "one byte per write" : "one write");
    std::vector<uint8_t> stream;
    std::vector<uint32_t> ids;
    for (uint8_t i = 0; i < 3; i++) {
      ids.push_back(peer_->NewReplyId());
      g_autoptr(GBytes) body = g_bytes_new(&i, 1);
      std::vector<uint8_t> frame =
          fltest::MessageFrame(ids.back(), "test/echo", body);
      stream.insert(stream.end(), frame.begin(), frame.end());
    }
    if (bytewise) {
      for (uint8_t byte : stream) {
        ASSERT_TRUE(peer_->SendRaw({byte}));
        // Let the engine read what is there before the next byte comes.
        fltest::Drain();
      }
    } else {
      ASSERT_TRUE(peer_->SendRaw(stream));
    }
    for (uint8_t i = 0; i < 3; i++) {
      std::vector<uint8_t> reply;
      ASSERT_TRUE(peer_->WaitReply(ids[i], &reply));
      EXPECT_EQ(reply, std::vector<uint8_t>{i});
    }
  }
}

// A call released unanswered gets the empty reply at once, not at shutdown.
TEST_F(EngineTest, ReleasedCallGetsEmptyReply) {
  FlMethodCall* kept = nullptr;
  g_autoptr(FlMethodChannel) channel = NewMethodChannel("test/kept");
  fl_method_channel_set_method_call_handler(channel, KeepCallHandler, &kept,
                                            nullptr);
  g_autoptr(GBytes) call = fltest::EncodeCall("m", nullptr);
  uint32_t id = peer_->NewReplyId();
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(id, "test/kept", call)));
  ASSERT_TRUE(fltest::RunUntil([&kept] { return kept != nullptr; }));
  g_clear_object(&kept);
  std::vector<uint8_t> reply = {0xee};
  ASSERT_TRUE(peer_->WaitReply(id, &reply));
  EXPECT_EQ(Hex(reply), "");
}

// Native sends reach the peer as MESSAGE frames: events without a reply id,
// method calls with one, whose REPLY finishes the call.
TEST_F(EngineTest, NativeSendsArriveAsMessages) {
  g_autoptr(FlEventChannel) events =
      fl_event_channel_new(messenger(), "test/events", codec_);
  fl_event_channel_set_stream_handlers(
      events,
      [](FlEventChannel*, FlValue*, gpointer) -> FlMethodErrorResponse* {
        return nullptr;
      },
      nullptr, nullptr, nullptr);
  g_autoptr(FlMethodResponse) listened =
      peer_->Invoke("test/events", "listen", nullptr);
  ASSERT_NE(listened, nullptr);
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(listened));

  g_autoptr(FlValue) answer = fl_value_new_int(42);
  EXPECT_TRUE(fl_event_channel_send(events, answer, nullptr, nullptr));
  EXPECT_TRUE(fl_event_channel_send_error(events, "E1", "bad", nullptr, nullptr,
                                          nullptr));
  EXPECT_TRUE(fl_event_channel_send_end_of_stream(events, nullptr, nullptr));
  const char* expected[] = {"00 03 2a 00 00 00",
                            "01 07 02 45 31 07 03 62 61 64 00", ""};
  for (const char* hex : expected) {
    SCOPED_TRACE(hex);
    Frame frame;
    ASSERT_TRUE(peer_->NextFrame(&frame));
    EXPECT_EQ(frame.type, fltest::kMessage);
    EXPECT_EQ(frame.reply_id, 0u);
    EXPECT_EQ(frame.channel, "test/events");
    EXPECT_EQ(Hex(frame.payload), hex);
  }

  g_autoptr(FlMethodChannel) method = NewMethodChannel("test/method");
  InvokeResult result;
  fl_method_channel_invoke_method(method, "ping", nullptr, nullptr,
                                  InvokeDoneCb, &result);
  Frame call;
  ASSERT_TRUE(peer_->NextFrame(&call));
  EXPECT_EQ(call.type, fltest::kMessage);
  EXPECT_EQ(call.channel, "test/method");
  EXPECT_NE(call.reply_id, 0u);
  EXPECT_EQ(Hex(call.payload), "07 04 70 69 6e 67 00");
  EXPECT_FALSE(result.done);
  g_autoptr(GBytes) yes = g_bytes_new("\x00\x01", 2);
  ASSERT_TRUE(peer_->SendRaw(fltest::ReplyFrame(call.reply_id, yes)));
  ASSERT_TRUE(fltest::RunUntil([&result] { return result.done; }));
  ASSERT_NE(result.response, nullptr)
      << (result.error != nullptr ? result.error->message : "");
  FlValue* value = fltest::SuccessResult(result.response);
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_BOOL);
  EXPECT_TRUE(fl_value_get_bool(value));
}

// Replies find their own calls when several are open and the peer answers
// out of order, and an empty reply is the not-implemented response.
TEST_F(EngineTest, RepliesMatchTheirCalls) {
  g_autoptr(FlMethodChannel) method = NewMethodChannel("test/method");
  InvokeResult results[3];
  Frame calls[3];
  for (int i = 0; i < 3; i++) {
    g_autoptr(FlValue) arg = fl_value_new_int(i);
    fl_method_channel_invoke_method(method, "m", arg, nullptr, InvokeDoneCb,
                                    &results[i]);
    ASSERT_TRUE(peer_->NextFrame(&calls[i]));
  }
  EXPECT_NE(calls[0].reply_id, calls[1].reply_id);
  EXPECT_NE(calls[1].reply_id, calls[2].reply_id);
  EXPECT_NE(calls[0].reply_id, calls[2].reply_id);
  // Answer the last first, each with its own number; the middle one empty.
  for (int i : {2, 0}) {
    std::vector<uint8_t> reply = {0x00, 0x03, static_cast<uint8_t>(10 + i),
                                  0x00, 0x00, 0x00};
    g_autoptr(GBytes) bytes = fltest::ToBytes(reply);
    ASSERT_TRUE(peer_->SendRaw(fltest::ReplyFrame(calls[i].reply_id, bytes)));
  }
  ASSERT_TRUE(peer_->SendRaw(fltest::ReplyFrame(calls[1].reply_id, nullptr)));
  // A reply that matches nothing is ignored.
  g_autoptr(GBytes) stray = g_bytes_new("\x00\x00", 2);
  ASSERT_TRUE(peer_->SendRaw(fltest::ReplyFrame(987654, stray)));
  ASSERT_TRUE(fltest::RunUntil([&results] {
    return results[0].done && results[1].done && results[2].done;
  }));
  for (int i : {0, 2}) {
    SCOPED_TRACE(i);
    FlValue* value = fltest::SuccessResult(results[i].response);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(fl_value_get_int(value), 10 + i);
  }
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(results[1].response));
  EXPECT_TRUE(fl_engine_has_peer(engine_));
}

// A frame that cannot be parsed ends the connection with one warning; what
// came before it is still answered, calls still open get the empty reply,
// and the engine goes on without a peer.
TEST_F(EngineTest, MalformedFrameClosesConnection) {
  auto message_body = [](uint32_t name_length, const std::string& name) {
    std::vector<uint8_t> body = {fltest::kMessage};
    fltest::PutU32(&body, 1);
    fltest::PutU32(&body, name_length);
    body.insert(body.end(), name.begin(), name.end());
    return fltest::Framed(body);
  };
  std::vector<uint8_t> huge_header;
  fltest::PutU32(&huge_header, 0xffffffffu);
  std::vector<uint8_t> over_limit;
  fltest::PutU32(&over_limit, 512u * 1024u * 1024u + 1u);
  const struct {
    const char* label;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {"unknown type", fltest::Framed({0x07, 0x01, 0x02})},
      {"HELLO from the peer", fltest::Framed({fltest::kHello, 0x00})},
      {"empty frame", fltest::Framed({})},
      {"truncated MESSAGE header",
       fltest::Framed({fltest::kMessage, 0x01, 0x00, 0x00, 0x00, 0x05})},
      {"truncated REPLY header", fltest::Framed({fltest::kReply, 0x01, 0x00})},
      {"name length past the end", message_body(100, "abc")},
      {"name length near 2^32", message_body(0xfffffff8u, "abc")},
      {"NUL in the name", message_body(3, std::string("a\0b", 3))},
      {"name not UTF-8", message_body(2, "\xff\xfe")},
      {"frame over the size limit", over_limit},
      {"length 2^32 - 1", huge_header},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NO_FATAL_FAILURE(Start());
    fl_binary_messenger_set_message_handler_on_channel(
        messenger(), "test/echo", EchoHandler, nullptr, nullptr);
    g_autoptr(FlMethodChannel) method = NewMethodChannel("test/method");
    InvokeResult open_call;
    fl_method_channel_invoke_method(method, "open", nullptr, nullptr,
                                    InvokeDoneCb, &open_call);
    fltest::LogCapture log;
    uint32_t id = peer_->NewReplyId();
    g_autoptr(GBytes) ping = g_bytes_new("\x05", 1);
    std::vector<uint8_t> stream = fltest::MessageFrame(id, "test/echo", ping);
    stream.insert(stream.end(), c.bytes.begin(), c.bytes.end());
    ASSERT_TRUE(peer_->SendRaw(stream));
    std::vector<uint8_t> reply;
    ASSERT_TRUE(peer_->WaitReply(id, &reply));
    EXPECT_EQ(Hex(reply), "05");
    EXPECT_TRUE(peer_->WaitClosed()) << "the connection stayed open";
    EXPECT_EQ(log.Warnings(), 1) << log.All();
    EXPECT_FALSE(fl_engine_has_peer(engine_));
    ASSERT_TRUE(fltest::RunUntil([&open_call] { return open_call.done; }));
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(open_call.response));

    // Without a peer, sends are answered empty and nothing breaks.
    InvokeResult later;
    fl_method_channel_invoke_method(method, "later", nullptr, nullptr,
                                    InvokeDoneCb, &later);
    ASSERT_TRUE(fltest::RunUntil([&later] { return later.done; }));
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(later.response));
    g_autoptr(FlEventChannel) events =
        fl_event_channel_new(messenger(), "test/events", codec_);
    g_autoptr(FlValue) value = fl_value_new_int(1);
    EXPECT_TRUE(fl_event_channel_send(events, value, nullptr, nullptr));
    EXPECT_EQ(log.Warnings(), 1) << log.All();
  }
}

// The peer going away completes open calls with the empty reply.
TEST_F(EngineTest, PeerHangupCompletesOpenCalls) {
  g_autoptr(FlMethodChannel) method = NewMethodChannel("test/method");
  InvokeResult result;
  fl_method_channel_invoke_method(method, "m", nullptr, nullptr, InvokeDoneCb,
                                  &result);
  Frame call;
  ASSERT_TRUE(peer_->NextFrame(&call));
  peer_->Disconnect();
  ASSERT_TRUE(fltest::RunUntil([&result] { return result.done; }));
  EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(result.response));
  EXPECT_FALSE(fl_engine_has_peer(engine_));
}

// Without a usable peer the engine starts anyway: one warning when a named
// socket cannot be reached, none when no socket is named, and every native
// send gets the empty reply.
TEST(EngineWithoutPeerTest, RunsWithoutDartSide) {
  g_autofree gchar* dir = g_dir_make_tmp("fl-nopeer-XXXXXX", nullptr);
  g_autofree gchar* missing = g_build_filename(dir, "missing.sock", nullptr);
  // A socket file that nobody listens on refuses connections.
  g_autofree gchar* refusing = g_build_filename(dir, "refusing.sock", nullptr);
  {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    g_strlcpy(address.sun_path, refusing, sizeof(address.sun_path));
    ASSERT_EQ(
        bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof(address)),
        0);
    close(fd);
  }
  std::string too_long = std::string(dir) + "/" + std::string(200, 'x');
  const struct {
    const char* label;
    const char* path;  // nullptr: the variable is unset.
    int warnings;
  } cases[] = {
      {"unset", nullptr, 0},
      {"empty", "", 0},
      {"no such socket", missing, 1},
      {"nobody listening", refusing, 1},
      {"path too long", too_long.c_str(), 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    if (c.path == nullptr) {
      g_unsetenv(FL_ENGINE_PEER_ENV);
    } else {
      g_setenv(FL_ENGINE_PEER_ENV, c.path, TRUE);
    }
    fltest::LogCapture log;
    g_autoptr(FlDartProject) project = fl_dart_project_new();
    g_autoptr(FlEngine) engine = fl_engine_new(project);
    fl_engine_start(engine);
    fl_engine_start(engine);
    EXPECT_FALSE(fl_engine_has_peer(engine));
    g_autoptr(FlMethodCodec) codec = fltest::StandardMethodCodec();
    g_autoptr(FlMethodChannel) method = fl_method_channel_new(
        fl_engine_get_binary_messenger(engine), "test/method", codec);
    InvokeResult result;
    fl_method_channel_invoke_method(method, "m", nullptr, nullptr, InvokeDoneCb,
                                    &result);
    ASSERT_TRUE(fltest::RunUntil([&result] { return result.done; }));
    EXPECT_TRUE(FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(result.response));
    g_autoptr(FlEventChannel) events = fl_event_channel_new(
        fl_engine_get_binary_messenger(engine), "test/events", codec);
    g_autoptr(FlValue) value = fl_value_new_int(1);
    EXPECT_TRUE(fl_event_channel_send(events, value, nullptr, nullptr));
    EXPECT_TRUE(fl_event_channel_send_end_of_stream(events, nullptr, nullptr));
    EXPECT_EQ(log.Warnings(), c.warnings) << log.All();
  }
  g_unsetenv(FL_ENGINE_PEER_ENV);
  g_unlink(refusing);
  g_rmdir(dir);
}

struct ThreadReply {
  FlMethodCall* call;
  gboolean result;
  GError* error;
};

gpointer RespondOnThread(gpointer data) {
  auto* job = static_cast<ThreadReply*>(data);
  job->result = fl_method_call_respond_success(job->call, nullptr, &job->error);
  return nullptr;
}

// A reply from another thread is refused with a critical and sends nothing;
// the call can still be answered from the main thread.
TEST_F(EngineTest, ReplyFromAnotherThreadIsRefused) {
  FlMethodCall* kept = nullptr;
  g_autoptr(FlMethodChannel) channel = NewMethodChannel("test/kept");
  fl_method_channel_set_method_call_handler(channel, KeepCallHandler, &kept,
                                            nullptr);
  g_autoptr(GBytes) call = fltest::EncodeCall("m", nullptr);
  uint32_t id = peer_->NewReplyId();
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(id, "test/kept", call)));
  ASSERT_TRUE(fltest::RunUntil([&kept] { return kept != nullptr; }));

  fltest::LogCapture log;
  log.AllowCriticals();
  ThreadReply job = {kept, TRUE, nullptr};
  g_thread_join(g_thread_new("replier", RespondOnThread, &job));
  EXPECT_FALSE(job.result);
  EXPECT_NE(job.error, nullptr);
  g_clear_error(&job.error);
  EXPECT_EQ(log.Criticals(), 1) << log.All();

  g_autoptr(FlValue) five = fl_value_new_int(5);
  EXPECT_TRUE(fl_method_call_respond_success(kept, five, nullptr));
  g_clear_object(&kept);
  std::vector<uint8_t> reply;
  ASSERT_TRUE(peer_->WaitReply(id, &reply));
  EXPECT_EQ(Hex(reply), "00 03 05 00 00 00");
  // Nothing else was sent for that call.
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/echo", EchoHandler, nullptr, nullptr);
  uint32_t next = peer_->NewReplyId();
  g_autoptr(GBytes) ping = g_bytes_new("\x09", 1);
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(next, "test/echo", ping)));
  Frame frame;
  ASSERT_TRUE(peer_->NextFrame(&frame));
  EXPECT_EQ(frame.reply_id, next);
  EXPECT_EQ(log.Criticals(), 1) << log.All();
}

// Shutting the engine down, or dropping it, runs every handler's destroy
// notification exactly once and closes the connection; handlers set later
// are released at once.
TEST_F(EngineTest, ShutdownRunsEveryDestroyNotification) {
  for (bool explicit_shutdown : {true, false}) {
    SCOPED_TRACE(explicit_shutdown ? "fl_engine_shutdown" : "last unref");
    ASSERT_NO_FATAL_FAILURE(Start());
    DestroyCounter raw;
    DestroyCounter method;
    DestroyCounter stream;
    fl_binary_messenger_set_message_handler_on_channel(
        messenger(), "test/raw", IgnoreHandler, &raw, DestroyCounter::Notify);
    {
      g_autoptr(FlMethodChannel) channel = NewMethodChannel("test/method");
      fl_method_channel_set_method_call_handler(channel, ArgsHandler, &method,
                                                DestroyCounter::Notify);
      g_autoptr(FlEventChannel) events =
          fl_event_channel_new(messenger(), "test/events", codec_);
      fl_event_channel_set_stream_handlers(
          events,
          [](FlEventChannel*, FlValue*, gpointer) -> FlMethodErrorResponse* {
            return nullptr;
          },
          nullptr, &stream, DestroyCounter::Notify);
    }
    if (explicit_shutdown) {
      fl_engine_shutdown(engine_);
      EXPECT_EQ(raw.destroyed, 1);
      EXPECT_EQ(method.destroyed, 1);
      EXPECT_EQ(stream.destroyed, 1);
      DestroyCounter late;
      fl_binary_messenger_set_message_handler_on_channel(
          messenger(), "test/late", IgnoreHandler, &late,
          DestroyCounter::Notify);
      EXPECT_EQ(late.destroyed, 1);
      fl_engine_shutdown(engine_);
    }
    g_clear_object(&engine_);
    EXPECT_EQ(raw.destroyed, 1);
    EXPECT_EQ(method.destroyed, 1);
    EXPECT_EQ(stream.destroyed, 1);
    EXPECT_TRUE(peer_->WaitClosed());
  }
}

gboolean RespondLaterCb(gpointer user_data) {
  auto* kept = static_cast<FlMethodCall**>(user_data);
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_method_call_respond_success(*kept, nullptr, &error));
  EXPECT_NE(error, nullptr);
  g_clear_object(kept);
  return G_SOURCE_REMOVE;
}

// A call or a channel that outlives its engine can still be used: replies
// and events go nowhere (and not to another engine's peer) instead of
// reaching into the freed engine.
TEST_F(EngineTest, CallsOutliveTheirEngine) {
  FlMethodCall* kept = nullptr;
  FlMethodChannel* channel = NewMethodChannel("test/kept");
  fl_method_channel_set_method_call_handler(channel, KeepCallHandler, &kept,
                                            nullptr);
  g_object_unref(channel);
  g_autoptr(FlEventChannel) events =
      fl_event_channel_new(messenger(), "test/events", codec_);
  g_autoptr(GBytes) call = fltest::EncodeCall("m", nullptr);
  uint32_t id = peer_->NewReplyId();
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(id, "test/kept", call)));
  ASSERT_TRUE(fltest::RunUntil([&kept] { return kept != nullptr; }));

  GWeakRef weak;
  g_weak_ref_init(&weak, engine_);
  g_clear_object(&engine_);
  {
    g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak));
    EXPECT_EQ(gone, nullptr);
  }
  g_weak_ref_clear(&weak);
  EXPECT_TRUE(peer_->WaitClosed());

  // Another engine, likely in the memory the first one had.
  ASSERT_NO_FATAL_FAILURE(Start());
  g_idle_add(RespondLaterCb, &kept);
  ASSERT_TRUE(fltest::RunUntil([&kept] { return kept == nullptr; }));
  g_autoptr(FlValue) value = fl_value_new_int(1);
  fl_event_channel_send(events, value, nullptr, nullptr);
  fl_binary_messenger_set_message_handler_on_channel(
      messenger(), "test/echo", EchoHandler, nullptr, nullptr);
  uint32_t next = peer_->NewReplyId();
  g_autoptr(GBytes) ping = g_bytes_new("\x09", 1);
  ASSERT_TRUE(peer_->SendRaw(fltest::MessageFrame(next, "test/echo", ping)));
  Frame frame;
  ASSERT_TRUE(peer_->NextFrame(&frame));
  EXPECT_EQ(frame.type, fltest::kReply);
  EXPECT_EQ(frame.reply_id, next) << "a stray frame reached the new peer";
}

}  // namespace
