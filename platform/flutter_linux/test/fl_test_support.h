// Copyright 2026 The Zelkoz Authors. All rights reserved.
// Helpers shared by the stand-in's unit tests: main-loop waits, hex dumps,
// codec shortcuts, log capture and a Dart-side peer on a real Unix socket.
#ifndef PLATFORM_FLUTTER_LINUX_TEST_FL_TEST_SUPPORT_H_
#define PLATFORM_FLUTTER_LINUX_TEST_FL_TEST_SUPPORT_H_

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <deque>
#include <string>
#include <vector>

#include "fl_engine_private.h"
#include "fl_method_codec_private.h"
#include "flutter_linux/flutter_linux.h"

namespace fltest {

// Generous: waits end as soon as their condition holds.
constexpr guint kWaitMs = 5000;

inline gboolean SetFlagCb(gpointer user_data) {
  *static_cast<gboolean*>(user_data) = TRUE;
  return G_SOURCE_REMOVE;
}

inline gboolean TickCb(gpointer user_data) {
  return G_SOURCE_CONTINUE;
}

// Runs the default main context until done() holds or timeout_ms have
// passed; returns done(). A short tick wakes the loop, so that conditions
// set on other threads are seen without a source of their own.
template <typename Done>
bool RunUntil(Done done, guint timeout_ms = kWaitMs) {
  gboolean timed_out = FALSE;
  guint timeout_id = g_timeout_add(timeout_ms, SetFlagCb, &timed_out);
  guint tick_id = g_timeout_add(5, TickCb, nullptr);
  while (!done() && !timed_out) {
    g_main_context_iteration(nullptr, TRUE);
  }
  g_source_remove(tick_id);
  if (!timed_out) {
    g_source_remove(timeout_id);
  }
  return done();
}

// Runs whatever the default main context has ready, without blocking.
inline void Drain() {
  for (int i = 0; i < 100 && g_main_context_iteration(nullptr, FALSE); i++) {
  }
}

inline std::string Hex(const uint8_t* data, size_t size) {
  std::string out;
  char byte[4];
  for (size_t i = 0; i < size; i++) {
    g_snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", data[i]);
    out += byte;
  }
  return out;
}

inline std::string Hex(GBytes* bytes) {
  if (bytes == nullptr) {
    return "(none)";
  }
  gsize size = 0;
  auto* data = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  return Hex(data, size);
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  return Hex(bytes.data(), bytes.size());
}

inline GBytes* ToBytes(const std::vector<uint8_t>& bytes) {
  return g_bytes_new(bytes.data(), bytes.size());
}

inline FlMethodCodec* StandardMethodCodec() {
  return FL_METHOD_CODEC(fl_standard_method_codec_new());
}

// The standard method codec's encoding of a call (transfer full).
inline GBytes* EncodeCall(const char* method, FlValue* args) {
  g_autoptr(FlMethodCodec) codec = StandardMethodCodec();
  g_autoptr(GError) error = nullptr;
  GBytes* message =
      fl_method_codec_encode_method_call(codec, method, args, &error);
  EXPECT_NE(message, nullptr) << (error != nullptr ? error->message : "");
  return message;
}

// Decodes a reply; an empty one is the not-implemented response.
inline FlMethodResponse* DecodeResponse(GBytes* reply) {
  g_autoptr(FlMethodCodec) codec = StandardMethodCodec();
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response =
      fl_method_codec_decode_response(codec, reply, &error);
  EXPECT_NE(response, nullptr) << (error != nullptr ? error->message : "");
  return response;
}

inline FlMethodResponse* DecodeResponse(const std::vector<uint8_t>& reply) {
  g_autoptr(GBytes) bytes = ToBytes(reply);
  return DecodeResponse(bytes);
}

// The result of a success response, or nullptr (with a failure) otherwise.
inline FlValue* SuccessResult(FlMethodResponse* response) {
  if (!FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    ADD_FAILURE() << "not a success response";
    return nullptr;
  }
  return fl_method_success_response_get_result(
      FL_METHOD_SUCCESS_RESPONSE(response));
}

inline FlValue* DecodeMessage(const uint8_t* data, size_t size) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  g_autoptr(GBytes) bytes = g_bytes_new(data, size);
  g_autoptr(GError) error = nullptr;
  FlValue* value =
      fl_message_codec_decode_message(FL_MESSAGE_CODEC(codec), bytes, &error);
  EXPECT_NE(value, nullptr) << (error != nullptr ? error->message : "");
  return value;
}

// Records the stand-in's log messages (it logs without a domain) while it
// lives. Fatal levels stay fatal unless criticals are allowed explicitly.
class LogCapture {
 public:
  LogCapture() {
    handler_id_ = g_log_set_handler(
        nullptr,
        static_cast<GLogLevelFlags>(G_LOG_LEVEL_MASK | G_LOG_FLAG_FATAL |
                                    G_LOG_FLAG_RECURSION),
        HandlerCb, this);
  }
  ~LogCapture() {
    g_log_remove_handler(nullptr, handler_id_);
    if (criticals_allowed_) {
      g_log_set_always_fatal(old_fatal_mask_);
    }
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Criticals are counted instead of aborting, until this capture ends.
  void AllowCriticals() {
    if (!criticals_allowed_) {
      criticals_allowed_ = true;
      old_fatal_mask_ =
          g_log_set_always_fatal(static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK));
    }
  }

  int Count(GLogLevelFlags level) const {
    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&mutex_);
    int count = 0;
    for (const auto& entry : entries_) {
      if (entry.first == level) {
        count++;
      }
    }
    return count;
  }
  int Warnings() const { return Count(G_LOG_LEVEL_WARNING); }
  int Criticals() const { return Count(G_LOG_LEVEL_CRITICAL); }

  std::string All() const {
    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&mutex_);
    std::string out;
    for (const auto& entry : entries_) {
      out += entry.second + "\n";
    }
    return out;
  }

 private:
  static void HandlerCb(const gchar* domain,
                        GLogLevelFlags level,
                        const gchar* message,
                        gpointer user_data) {
    auto* self = static_cast<LogCapture*>(user_data);
    g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&self->mutex_);
    self->entries_.emplace_back(
        static_cast<GLogLevelFlags>(level & G_LOG_LEVEL_MASK), message);
  }

  guint handler_id_ = 0;
  bool criticals_allowed_ = false;
  GLogLevelFlags old_fatal_mask_ =
      static_cast<GLogLevelFlags>(G_LOG_FATAL_MASK);
  mutable GMutex mutex_ = {};
  std::vector<std::pair<GLogLevelFlags, std::string>> entries_;
};

// Frame types of the peer transport.
constexpr uint8_t kHello = 0x01;
constexpr uint8_t kMessage = 0x02;
constexpr uint8_t kReply = 0x03;

inline void PutU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; i++) {
    out->push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
}

inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

inline void Append(std::vector<uint8_t>* out, GBytes* bytes) {
  if (bytes == nullptr) {
    return;
  }
  gsize size = 0;
  auto* data = static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  out->insert(out->end(), data, data + size);
}

// A whole frame with its length prefix.
inline std::vector<uint8_t> Framed(const std::vector<uint8_t>& body) {
  std::vector<uint8_t> frame;
  PutU32(&frame, static_cast<uint32_t>(body.size()));
  frame.insert(frame.end(), body.begin(), body.end());
  return frame;
}

inline std::vector<uint8_t> MessageFrame(uint32_t reply_id,
                                         const std::string& channel,
                                         GBytes* message) {
  std::vector<uint8_t> body = {kMessage};
  PutU32(&body, reply_id);
  PutU32(&body, static_cast<uint32_t>(channel.size()));
  body.insert(body.end(), channel.begin(), channel.end());
  Append(&body, message);
  return Framed(body);
}

inline std::vector<uint8_t> ReplyFrame(uint32_t reply_id, GBytes* reply) {
  std::vector<uint8_t> body = {kReply};
  PutU32(&body, reply_id);
  Append(&body, reply);
  return Framed(body);
}

// One frame as the engine sent it.
struct Frame {
  uint8_t type = 0;
  uint32_t reply_id = 0;         // MESSAGE and REPLY.
  std::string channel;           // MESSAGE.
  std::vector<uint8_t> payload;  // The value, message or reply bytes.
};

// The Dart side of the engine's peer transport: listens on a fresh socket
// named by FLUTTER_LINUX_PEER while it lives, accepts the engine's
// connection and exchanges frames through the default main context.
class TestPeer {
 public:
  TestPeer() {
    dir_ = g_dir_make_tmp("fl-peer-XXXXXX", nullptr);
    path_ = g_build_filename(dir_, "peer.sock", nullptr);
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    g_strlcpy(address.sun_path, path_, sizeof(address.sun_path));
    EXPECT_EQ(bind(listen_fd_, reinterpret_cast<struct sockaddr*>(&address),
                   sizeof(address)),
              0)
        << g_strerror(errno);
    EXPECT_EQ(listen(listen_fd_, 4), 0) << g_strerror(errno);
    g_setenv(FL_ENGINE_PEER_ENV, path_, TRUE);
  }

  ~TestPeer() {
    Disconnect();
    close(listen_fd_);
    g_unlink(path_);
    g_rmdir(dir_);
    g_unsetenv(FL_ENGINE_PEER_ENV);
    g_free(path_);
    g_free(dir_);
  }
  TestPeer(const TestPeer&) = delete;
  TestPeer& operator=(const TestPeer&) = delete;

  const char* path() const { return path_; }
  bool connected() const { return fd_ >= 0; }
  // The engine closed its end and everything it sent has been read.
  bool closed() const { return closed_; }

  // Takes the connection the engine made when it started; connecting to a
  // listening socket completes at once, so there is nothing to wait for.
  bool Accept() {
    fd_ = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd_ < 0) {
      return false;
    }
    closed_ = false;
    watch_id_ = g_unix_fd_add(
        fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        ReadableCb, this);
    return true;
  }

  // Whether another connection is waiting to be accepted.
  bool HasPendingConnection() {
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      return false;
    }
    close(fd);
    return true;
  }

  void Disconnect() {
    g_clear_handle_id(&watch_id_, g_source_remove);
    if (fd_ >= 0) {
      close(fd_);
      fd_ = -1;
    }
  }

  // Writes bytes as they are; the engine reads them from the main loop.
  bool SendRaw(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n =
          send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        // The engine has not read yet: let it.
        g_main_context_iteration(nullptr, FALSE);
        continue;
      }
      if (n <= 0) {
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  }

  // The next frame, waiting for it up to timeout_ms; false when none came
  // or the connection closed first.
  bool NextFrame(Frame* frame, guint timeout_ms = kWaitMs) {
    std::vector<uint8_t> body;
    if (!pending_.empty()) {
      *frame = pending_.front();
      pending_.pop_front();
      return true;
    }
    RunUntil([this] { return HasFrame() || closed_; }, timeout_ms);
    if (!TakeFrame(&body)) {
      return false;
    }
    return Parse(body, frame);
  }

  // Sends a MESSAGE and waits for its REPLY, keeping other frames for
  // NextFrame(). Returns false when no reply came.
  bool Request(const std::string& channel,
               GBytes* message,
               std::vector<uint8_t>* reply,
               guint timeout_ms = kWaitMs) {
    uint32_t id = next_reply_id_++;
    if (!SendRaw(MessageFrame(id, channel, message))) {
      return false;
    }
    return WaitReply(id, reply, timeout_ms);
  }

  // Waits for the REPLY to reply_id, keeping other frames for NextFrame().
  bool WaitReply(uint32_t reply_id,
                 std::vector<uint8_t>* reply,
                 guint timeout_ms = kWaitMs) {
    std::vector<uint8_t> body;
    while (true) {
      RunUntil([this] { return HasFrame() || closed_; }, timeout_ms);
      if (!TakeFrame(&body)) {
        return false;
      }
      Frame frame;
      if (!Parse(body, &frame)) {
        return false;
      }
      if (frame.type == kReply && frame.reply_id == reply_id) {
        *reply = frame.payload;
        return true;
      }
      pending_.push_back(frame);
    }
  }

  // Calls method on channel with the standard method codec.
  FlMethodResponse* Invoke(const std::string& channel,
                           const char* method,
                           FlValue* args) {
    g_autoptr(GBytes) message = EncodeCall(method, args);
    std::vector<uint8_t> reply;
    if (!Request(channel, message, &reply)) {
      ADD_FAILURE() << "no reply to " << method << " on " << channel;
      return nullptr;
    }
    return DecodeResponse(reply);
  }

  // Waits until the engine has closed the connection.
  bool WaitClosed(guint timeout_ms = kWaitMs) {
    RunUntil([this] { return closed_; }, timeout_ms);
    return closed_;
  }

  uint32_t NewReplyId() { return next_reply_id_++; }

 private:
  static gboolean ReadableCb(gint fd, GIOCondition condition, gpointer data) {
    auto* self = static_cast<TestPeer*>(data);
    uint8_t chunk[65536];
    ssize_t n = recv(fd, chunk, sizeof(chunk), 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      return G_SOURCE_CONTINUE;
    }
    if (n <= 0) {
      self->closed_ = true;
      self->watch_id_ = 0;
      return G_SOURCE_REMOVE;
    }
    self->in_.insert(self->in_.end(), chunk, chunk + n);
    return G_SOURCE_CONTINUE;
  }

  bool HasFrame() const {
    return in_.size() >= 4 && in_.size() - 4 >= GetU32(in_.data());
  }

  bool TakeFrame(std::vector<uint8_t>* body) {
    if (!HasFrame()) {
      return false;
    }
    uint32_t length = GetU32(in_.data());
    body->assign(in_.begin() + 4, in_.begin() + 4 + length);
    in_.erase(in_.begin(), in_.begin() + 4 + length);
    return true;
  }

  static bool Parse(const std::vector<uint8_t>& body, Frame* frame) {
    if (body.empty()) {
      ADD_FAILURE() << "empty frame from the engine";
      return false;
    }
    frame->type = body[0];
    size_t at = 1;
    if (frame->type == kMessage || frame->type == kReply) {
      if (body.size() < 5) {
        ADD_FAILURE() << "short frame from the engine: " << Hex(body);
        return false;
      }
      frame->reply_id = GetU32(body.data() + 1);
      at = 5;
    }
    if (frame->type == kMessage) {
      if (body.size() < 9 || GetU32(body.data() + 5) > body.size() - 9) {
        ADD_FAILURE() << "bad MESSAGE frame from the engine: " << Hex(body);
        return false;
      }
      uint32_t length = GetU32(body.data() + 5);
      frame->channel.assign(reinterpret_cast<const char*>(body.data() + 9),
                            length);
      at = 9 + length;
    }
    frame->payload.assign(body.begin() + at, body.end());
    return true;
  }

  gchar* dir_ = nullptr;
  gchar* path_ = nullptr;
  int listen_fd_ = -1;
  int fd_ = -1;
  guint watch_id_ = 0;
  bool closed_ = false;
  std::vector<uint8_t> in_;
  std::deque<Frame> pending_;
  uint32_t next_reply_id_ = 100;
};

// A Dart project whose entry point gets args.
inline FlDartProject* ProjectWithArgs(std::vector<const char*> args) {
  FlDartProject* project = fl_dart_project_new();
  args.push_back(nullptr);
  fl_dart_project_set_dart_entrypoint_arguments(
      project, const_cast<char**>(args.data()));
  return project;
}

// Counts destroy notifications of one piece of user data.
struct DestroyCounter {
  int destroyed = 0;
  static void Notify(gpointer data) {
    static_cast<DestroyCounter*>(data)->destroyed++;
  }
};

}  // namespace fltest

#endif  // PLATFORM_FLUTTER_LINUX_TEST_FL_TEST_SUPPORT_H_
