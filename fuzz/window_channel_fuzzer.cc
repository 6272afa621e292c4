// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The shell's window channel "com.zelko.zelko_app/window" from a hostile
// Dart side, through the real application object and the real engine: the
// fuzzer activates MyApplication (which builds the window, the view and the
// engine) with itself as the engine's Dart-side peer on a Unix socket, then
// sends method calls of any name with argument values of every type, and
// close requests while a close only hides the window. Every message gets
// exactly one reply, of the kind its method and argument call for; a close
// that hides the window tells the Dart side "closedToTray" once; "show"
// leaves the window visible. Needs a display: run it inside
// tests/harness/session.
#include <flutter_linux/flutter_linux.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "generated_plugin_registrant.h"
#include "my_application.h"

namespace {

using zk_fuzz::Fail;

constexpr char kWindowChannel[] = "com.zelko.zelko_app/window";
constexpr char kControlChannel[] = "standin/engine";
constexpr char kApplicationId[] = "com.zelkoz.Zelkoz";
constexpr uint8_t kFrameHello = 0x01;
constexpr uint8_t kFrameMessage = 0x02;
constexpr uint8_t kFrameReply = 0x03;
constexpr guint kReplyTimeoutMs = 5000;
constexpr int kMaxOperations = 16;

const std::vector<std::string> kMethods = {"setHideOnClose", "show",
                                           "notificationIcon", "quit"};

void PutU32(std::string* out, uint32_t value) {
  for (int i = 0; i < 4; i++) {
    out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
  }
}

uint32_t GetU32(const char* data) {
  uint32_t value = 0;
  for (int i = 3; i >= 0; i--) {
    value = (value << 8) | static_cast<uint8_t>(data[i]);
  }
  return value;
}

GBytes* EncodeCall(const std::string& method, FlValue* args) {
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(GError) error = nullptr;
  GBytes* message = FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(
      FL_METHOD_CODEC(codec), method.c_str(), args, &error);
  if (message == nullptr) {
    Fail("cannot encode \"%s\": %s", method.c_str(), error->message);
  }
  return message;
}

FlMethodResponse* DecodeReply(const std::string& bytes) {
  if (bytes.empty()) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  g_autoptr(GBytes) message = g_bytes_new(bytes.data(), bytes.size());
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response = FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(
      FL_METHOD_CODEC(codec), message, &error);
  if (response == nullptr) {
    Fail("a reply does not decode: %s", error->message);
  }
  return response;
}

// The fuzzer's end of the engine's peer connection.
class Peer {
 public:
  // Listens on a socket in a scratch folder and points the engine at it.
  Peer() {
    const std::string dir = zk_fuzz::MakeScratchDir("window");
    path_ = dir + "/peer.sock";
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof(address.sun_path)) {
      Fail("the peer socket's path is too long");
    }
    memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    if (listener_ < 0 ||
        bind(listener_, reinterpret_cast<struct sockaddr*>(&address),
             sizeof(address)) != 0 ||
        listen(listener_, 4) != 0) {
      Fail("cannot listen on %s: %s", path_.c_str(), g_strerror(errno));
    }
    g_setenv("FLUTTER_LINUX_PEER", path_.c_str(), TRUE);
  }

  // Takes the engine's connection and its HELLO.
  void Accept() {
    struct pollfd wait = {listener_, POLLIN, 0};
    if (poll(&wait, 1, 10000) != 1) {
      Fail("the engine never connected to its peer");
    }
    fd_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd_ < 0) {
      Fail("accept: %s", g_strerror(errno));
    }
    if (!zk_fuzz::RunLoopUntil([this] { return Poll(), hello_; }, 10000)) {
      Fail("the engine sent no HELLO");
    }
  }

  // Sends a MESSAGE on channel; returns its reply id.
  uint32_t Send(const char* channel, GBytes* message) {
    const uint32_t id = next_id_++;
    std::string body(1, static_cast<char>(kFrameMessage));
    PutU32(&body, id);
    PutU32(&body, strlen(channel));
    body.append(channel);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(message, &size));
    body.append(data, size);
    std::string frame;
    PutU32(&frame, body.size());
    frame += body;
    size_t done = 0;
    while (done < frame.size()) {
      ssize_t n = send(fd_, frame.data() + done, frame.size() - done,
                       MSG_NOSIGNAL);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        g_main_context_iteration(nullptr, FALSE);
        continue;
      }
      if (n <= 0) {
        Fail("the engine closed its peer connection");
      }
      done += n;
    }
    replies_[id];
    return id;
  }

  // Runs the main loop until the reply of id has come; the reply bytes.
  std::string WaitReply(uint32_t id, const char* what) {
    if (!zk_fuzz::RunLoopUntil(
            [this, id] {
              Poll();
              return !replies_[id].empty();
            },
            kReplyTimeoutMs)) {
      Fail("no reply to %s within %u ms", what, kReplyTimeoutMs);
    }
    return replies_[id].front();
  }

  // Every reply so far came once, to a message that was sent.
  void CheckReplies() {
    Poll();
    for (auto& entry : replies_) {
      if (entry.second.size() > 1) {
        Fail("message %u got %zu replies", entry.first, entry.second.size());
      }
    }
  }

  // Method calls the engine made on the window channel, by name.
  std::vector<std::string> TakeWindowCalls() {
    Poll();
    std::vector<std::string> calls;
    calls.swap(window_calls_);
    return calls;
  }

 private:
  // Reads whatever the engine has written.
  void Poll() {
    char chunk[65536];
    while (true) {
      ssize_t n = recv(fd_, chunk, sizeof(chunk), 0);
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n < 0 && errno == EAGAIN) {
        break;
      }
      if (n <= 0) {
        Fail("the engine closed its peer connection");
      }
      buffer_.append(chunk, n);
    }
    while (buffer_.size() >= 4) {
      const uint32_t length = GetU32(buffer_.data());
      if (buffer_.size() - 4 < length) {
        break;
      }
      HandleFrame(buffer_.substr(4, length));
      buffer_.erase(0, 4 + length);
    }
  }

  void HandleFrame(const std::string& frame) {
    if (frame.empty()) {
      Fail("the engine sent an empty frame");
    }
    switch (static_cast<uint8_t>(frame[0])) {
      case kFrameHello:
        hello_ = true;
        return;
      case kFrameReply: {
        if (frame.size() < 5) {
          Fail("the engine sent a short REPLY");
        }
        const uint32_t id = GetU32(frame.data() + 1);
        auto it = replies_.find(id);
        if (it == replies_.end()) {
          Fail("the engine replied to message %u, which was never sent", id);
        }
        it->second.push_back(frame.substr(5));
        return;
      }
      case kFrameMessage: {
        if (frame.size() < 9) {
          Fail("the engine sent a short MESSAGE");
        }
        const uint32_t id = GetU32(frame.data() + 1);
        const uint32_t name_length = GetU32(frame.data() + 5);
        const std::string channel = frame.substr(9, name_length);
        const std::string message = frame.substr(9 + name_length);
        if (channel == kWindowChannel) {
          g_autoptr(FlStandardMethodCodec) codec =
              fl_standard_method_codec_new();
          g_autoptr(GBytes) bytes = g_bytes_new(message.data(), message.size());
          g_autofree gchar* name = nullptr;
          g_autoptr(FlValue) args = nullptr;
          if (!FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(
                  FL_METHOD_CODEC(codec), bytes, &name, &args, nullptr)) {
            Fail("the shell sent an undecodable call on its window channel");
          }
          window_calls_.emplace_back(name);
        }
        if (id != 0) {
          // Nobody on this side answers: the empty reply.
          std::string body(1, static_cast<char>(kFrameReply));
          PutU32(&body, id);
          std::string reply;
          PutU32(&reply, body.size());
          reply += body;
          send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        return;
      }
      default:
        Fail("the engine sent a frame of type %d", frame[0]);
    }
  }

  std::string path_;
  int listener_ = -1;
  int fd_ = -1;
  bool hello_ = false;
  std::string buffer_;
  uint32_t next_id_ = 1;
  std::map<uint32_t, std::vector<std::string>> replies_;
  std::vector<std::string> window_calls_;
};

MyApplication* g_application = nullptr;
Peer* g_peer = nullptr;

// Calls a method of the engine's control channel; its success value
// (transfer full).
FlValue* Control(const char* method) {
  g_autoptr(GBytes) message = EncodeCall(method, nullptr);
  const uint32_t id = g_peer->Send(kControlChannel, message);
  g_autoptr(FlMethodResponse) response =
      DecodeReply(g_peer->WaitReply(id, method));
  if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    Fail("the engine's \"%s\" failed", method);
  }
  FlValue* result = fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
  return result != nullptr ? fl_value_ref(result) : fl_value_new_null();
}

bool WindowVisible() {
  g_autoptr(FlValue) state = Control("viewState");
  FlValue* visible = fl_value_lookup_string(state, "visible");
  if (visible == nullptr || fl_value_get_type(visible) != FL_VALUE_TYPE_BOOL) {
    Fail("the view's state has no visibility");
  }
  return fl_value_get_bool(visible);
}

class Run {
 public:
  Run() {
    context_.strings = {"",          "zk-startup-1", "_TIME0",
                        "\xc3\xbc", "setHideOnClose", std::string(300, 's')};
    // A known start: a close only hides the window.
    Call("setHideOnClose", true);
  }

  void Execute(zk_fuzz::Input* in) {
    for (int i = 0; i < kMaxOperations && !in->empty(); i++) {
      switch (in->Below(8)) {
        case 0:
        case 1:
        case 2:
        case 3: {
          const std::string name = zk_fuzz::GenerateName(in, kMethods);
          g_autoptr(FlValue) args =
              in->Below(5) == 0 ? nullptr
                                : zk_fuzz::GenerateValue(in, context_, 1);
          Check(name, args);
          break;
        }
        case 4:
          Close();
          break;
        case 5: {
          // Bytes that may not even be a method call.
          const std::string bytes = in->Bytes(48);
          g_autoptr(GBytes) message = g_bytes_new(bytes.data(), bytes.size());
          g_peer->WaitReply(g_peer->Send(kWindowChannel, message), "raw bytes");
          break;
        }
        case 6:
          zk_fuzz::RunLoopUntil([] { return false; }, in->Below(50));
          break;
        default:
          if (expected_visible_.has_value() &&
              WindowVisible() != *expected_visible_) {
            Fail("the window's visibility is not what the calls made it");
          }
          break;
      }
      zk_fuzz::DrainLoop();
      g_peer->CheckReplies();
    }
  }

  void Finish() {
    zk_fuzz::DrainLoop();
    g_peer->CheckReplies();
  }

 private:
  void Call(const char* method, bool value) {
    g_autoptr(FlValue) args = fl_value_new_bool(value);
    Check(method, args);
  }

  // Sends one call and checks its reply against what the method promises.
  void Check(const std::string& name, FlValue* args) {
    g_autoptr(GBytes) message = EncodeCall(name, args);
    const uint32_t id = g_peer->Send(kWindowChannel, message);
    g_autoptr(FlMethodResponse) response =
        DecodeReply(g_peer->WaitReply(id, name.c_str()));
    const FlValueType type =
        args != nullptr ? fl_value_get_type(args) : FL_VALUE_TYPE_NULL;
    FlValue* result =
        FL_IS_METHOD_SUCCESS_RESPONSE(response)
            ? fl_method_success_response_get_result(
                  FL_METHOD_SUCCESS_RESPONSE(response))
            : nullptr;
    const bool success = FL_IS_METHOD_SUCCESS_RESPONSE(response);
    const bool null_result =
        result == nullptr || fl_value_get_type(result) == FL_VALUE_TYPE_NULL;
    if (name == "setHideOnClose" && type == FL_VALUE_TYPE_BOOL) {
      if (!success || !null_result) {
        Fail("\"setHideOnClose\" with a bool did not succeed with null");
      }
      hide_on_close_ = fl_value_get_bool(args);
    } else if (name == "show") {
      if (!success || !null_result) {
        Fail("\"show\" did not succeed with null");
      }
      expected_visible_ = true;
      if (!WindowVisible()) {
        Fail("the window is hidden after \"show\"");
      }
    } else if (name == "notificationIcon") {
      if (!success) {
        Fail("\"notificationIcon\" failed");
      }
      if (!null_result &&
          (fl_value_get_type(result) != FL_VALUE_TYPE_STRING ||
           (strcmp(fl_value_get_string(result), kApplicationId) != 0 &&
            !g_str_has_suffix(fl_value_get_string(result), "/default.png")))) {
        Fail("\"notificationIcon\" named neither the icon nor its file");
      }
    } else if (name == "quit") {
      if (!success || !null_result) {
        Fail("\"quit\" did not succeed with null");
      }
    } else if (!FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
      Fail("\"%s\" with a value of type %d was answered", name.c_str(), type);
    }
  }

  // A close request as a window manager sends it; only while it hides the
  // window, since the fuzzer needs the window for the next input.
  void Close() {
    if (!hide_on_close_) {
      return;
    }
    g_peer->TakeWindowCalls();
    fl_value_unref(Control("closeWindow"));
    zk_fuzz::DrainLoop();
    if (!zk_fuzz::RunLoopUntil(
            [this] {
              auto calls = g_peer->TakeWindowCalls();
              calls_.insert(calls_.end(), calls.begin(), calls.end());
              return !calls_.empty();
            },
            kReplyTimeoutMs)) {
      Fail("a close that hid the window did not tell the Dart side");
    }
    zk_fuzz::DrainLoop();
    auto more = g_peer->TakeWindowCalls();
    calls_.insert(calls_.end(), more.begin(), more.end());
    if (calls_.size() != 1 || calls_[0] != "closedToTray") {
      Fail("a close that hid the window sent %zu calls", calls_.size());
    }
    calls_.clear();
    expected_visible_ = false;
    if (WindowVisible()) {
      Fail("a close with hide-on-close left the window visible");
    }
  }

  zk_fuzz::ValueContext context_;
  bool hide_on_close_ = false;
  // What the window's visibility must be, once a call has fixed it.
  std::optional<bool> expected_visible_;
  std::vector<std::string> calls_;
};

}  // namespace

// The shell's registrant, without the plugins: only the window channel is
// fuzzed here, and the plugins have fuzzers of their own.
void fl_register_plugins(FlPluginRegistry* registry) {}

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zk_fuzz::InitEnvironment(false);
  if (g_getenv("DISPLAY") == nullptr && g_getenv("WAYLAND_DISPLAY") == nullptr) {
    fprintf(stderr, "window_channel_fuzzer needs a display: run it inside "
                    "tests/harness/session\n");
    exit(2);
  }
  g_peer = new Peer();
  g_application = my_application_new();
  g_autoptr(GError) error = nullptr;
  // What the application's command-line step does, without a main loop run
  // that would never return to the fuzzer.
  if (!g_application_register(G_APPLICATION(g_application), nullptr, &error)) {
    Fail("cannot register the application: %s", error->message);
  }
  g_application_activate(G_APPLICATION(g_application));
  g_peer->Accept();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zk_fuzz::Input in(data, size);
  Run run;
  run.Execute(&in);
  run.Finish();
  return 0;
}
