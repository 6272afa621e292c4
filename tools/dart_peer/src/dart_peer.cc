// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/dart_peer.h"

#include <utility>

namespace dart_peer {

namespace {

// How long the destructor waits for a killed program to be reported.
constexpr int kKillWaitMs = 2000;

ChannelEvent CopyEvent(const ChannelEvent& event) {
  ChannelEvent copy;
  copy.channel = event.channel;
  copy.kind = event.kind;
  copy.value = event.value ? RefValue(event.value.get()) : nullptr;
  copy.code = event.code;
  copy.message = event.message;
  copy.details = event.details ? RefValue(event.details.get()) : nullptr;
  return copy;
}

MethodCall CopyCall(const MethodCall& call) {
  MethodCall copy;
  copy.channel = call.channel;
  copy.method = call.method;
  copy.args = RefValue(call.args.get());
  return copy;
}

gboolean SetFlag(gpointer user_data) {
  *static_cast<bool*>(user_data) = true;
  return G_SOURCE_REMOVE;
}

}  // namespace

DartPeer::DartPeer()
    : context_(g_main_context_new()),
      server_(std::make_unique<PeerServer>(context_)) {
  server_->set_observer(this);
}

DartPeer::~DartPeer() {
  if (server_->program_running()) {
    server_->Kill();
    WaitExit(kKillWaitMs);
  }
  server_.reset();
  // Let the sources removed above release what they hold.
  while (g_main_context_iteration(context_, FALSE)) {
  }
  g_main_context_unref(context_);
}

bool DartPeer::Start(const std::string& program,
                     const std::vector<std::string>& args,
                     const Options& options,
                     std::string* error) {
  if (!Open(options.hold_first_frame, error)) {
    return false;
  }
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  PeerServer::SpawnOptions spawn;
  spawn.env = options.env;
  spawn.capture_output = options.capture_output;
  return server_->Spawn(argv, spawn, error);
}

bool DartPeer::Start(const std::string& program,
                     const std::vector<std::string>& args,
                     const std::vector<std::string>& env,
                     bool hold_first_frame,
                     std::string* error) {
  Options options;
  options.env = env;
  options.hold_first_frame = hold_first_frame;
  return Start(program, args, options, error);
}

bool DartPeer::Open(bool hold_first_frame, std::string* error) {
  server_->set_hold_first_frame(hold_first_frame);
  return server_->Open(error);
}

bool DartPeer::WaitUntil(const std::function<bool()>& condition,
                         int timeout_ms) {
  if (condition()) {
    return true;
  }
  bool timed_out = false;
  GSource* timer = g_timeout_source_new(static_cast<guint>(timeout_ms));
  g_source_set_callback(timer, SetFlag, &timed_out, nullptr);
  g_source_attach(timer, context_);
  while (!condition() && !timed_out) {
    g_main_context_iteration(context_, TRUE);
  }
  g_source_destroy(timer);
  g_source_unref(timer);
  return condition();
}

void DartPeer::RunFor(int ms) {
  bool done = false;
  GSource* timer = g_timeout_source_new(static_cast<guint>(ms));
  g_source_set_callback(timer, SetFlag, &done, nullptr);
  g_source_attach(timer, context_);
  while (!done) {
    g_main_context_iteration(context_, TRUE);
  }
  g_source_unref(timer);
}

bool DartPeer::WaitHello(int timeout_ms, Hello* hello) {
  if (!WaitUntil([this]() { return !hellos_.empty(); }, timeout_ms)) {
    return false;
  }
  if (hello != nullptr) {
    *hello = std::move(hellos_.front());
  }
  hellos_.pop_front();
  return true;
}

Response DartPeer::WaitResponse(
    const std::function<void(PeerServer::ResponseCallback)>& start,
    int timeout_ms) {
  // Shared with the callback, which may run after a timed-out wait.
  auto slot = std::make_shared<std::unique_ptr<Response>>();
  start([slot](Response response) {
    *slot = std::make_unique<Response>(std::move(response));
  });
  if (!WaitUntil([&slot]() { return *slot != nullptr; }, timeout_ms)) {
    Response timed_out;
    timed_out.kind = ResponseKind::kTimedOut;
    timed_out.reason = "no reply within " + std::to_string(timeout_ms) + " ms";
    return timed_out;
  }
  return std::move(**slot);
}

Response DartPeer::Invoke(const std::string& channel,
                          const std::string& method,
                          FlValue* args,
                          int timeout_ms) {
  return WaitResponse(
      [&](PeerServer::ResponseCallback callback) {
        server_->Invoke(channel, method, args, std::move(callback));
      },
      timeout_ms);
}

Response DartPeer::Listen(const std::string& channel,
                          FlValue* args,
                          int timeout_ms) {
  return WaitResponse(
      [&](PeerServer::ResponseCallback callback) {
        server_->ListenChannel(channel, args, std::move(callback));
      },
      timeout_ms);
}

Response DartPeer::Cancel(const std::string& channel,
                          FlValue* args,
                          int timeout_ms) {
  return WaitResponse(
      [&](PeerServer::ResponseCallback callback) {
        server_->CancelChannel(channel, args, std::move(callback));
      },
      timeout_ms);
}

bool DartPeer::WaitEvent(const std::string& channel,
                         int timeout_ms,
                         ChannelEvent* event) {
  return WaitEventMatching(
      channel, [](const ChannelEvent&) { return true; }, timeout_ms, event);
}

bool DartPeer::WaitEventMatching(
    const std::string& channel,
    const std::function<bool(const ChannelEvent&)>& predicate,
    int timeout_ms,
    ChannelEvent* event,
    std::vector<ChannelEvent>* skipped) {
  bool found = false;
  // WaitUntil checks the condition again after it holds; take only once.
  auto scan = [&]() {
    if (found) {
      return true;
    }
    std::deque<ChannelEvent>& queue = events_[channel];
    while (!queue.empty()) {
      ChannelEvent next = std::move(queue.front());
      queue.pop_front();
      if (predicate(next)) {
        if (event != nullptr) {
          *event = std::move(next);
        }
        found = true;
        return true;
      }
      if (skipped != nullptr) {
        skipped->push_back(std::move(next));
      }
    }
    return false;
  };
  WaitUntil(scan, timeout_ms);
  return found;
}

std::vector<ChannelEvent> DartPeer::TakeEvents(const std::string& channel) {
  std::vector<ChannelEvent> taken;
  std::deque<ChannelEvent>& queue = events_[channel];
  while (!queue.empty()) {
    taken.push_back(std::move(queue.front()));
    queue.pop_front();
  }
  return taken;
}

bool DartPeer::WaitMethodCall(const std::string& channel,
                              const std::string& method,
                              int timeout_ms,
                              MethodCall* call) {
  bool found = false;
  auto scan = [&]() {
    if (found) {
      return true;
    }
    for (auto it = method_calls_.begin(); it != method_calls_.end(); ++it) {
      if (it->channel == channel && (method.empty() || it->method == method)) {
        if (call != nullptr) {
          *call = std::move(*it);
        }
        method_calls_.erase(it);
        found = true;
        return true;
      }
    }
    return false;
  };
  WaitUntil(scan, timeout_ms);
  return found;
}

TextureRead DartPeer::ReadTexture(int64_t id,
                                  int timeout_ms,
                                  const std::string& png_path) {
  TextureRead read;
  g_autoptr(FlValue) args = fl_value_new_map();
  fl_value_set_string_take(args, "id", fl_value_new_int(id));
  read.response = Invoke(kEngineChannel, "readTexture", args, timeout_ms);
  if (read.response.kind != ResponseKind::kSuccess) {
    read.error = std::string("readTexture: ") +
                 ResponseKindName(read.response.kind) + " " +
                 read.response.code + read.response.reason;
    return read;
  }
  if (!TextureImageFromValue(read.response.result.get(), &read.image,
                             &read.error)) {
    return read;
  }
  if (!png_path.empty() && !SaveTexturePng(read.image, png_path, &read.error)) {
    return read;
  }
  read.ok = true;
  return read;
}

bool DartPeer::WaitExit(int timeout_ms, ExitStatus* status) {
  if (!WaitUntil([this]() { return server_->exit_reported(); }, timeout_ms)) {
    return false;
  }
  if (status != nullptr) {
    *status = server_->exit_status();
  }
  return true;
}

bool DartPeer::WaitOutput(const std::string& text, int timeout_ms) {
  return WaitUntil(
      [this, &text]() { return output_.find(text) != std::string::npos; },
      timeout_ms);
}

void DartPeer::OnHello(const Hello& hello) {
  hello_count_++;
  hellos_.push_back(hello);
}

void DartPeer::OnEvent(const ChannelEvent& event) {
  events_[event.channel].push_back(CopyEvent(event));
}

void DartPeer::OnMethodCall(const MethodCall& call) {
  method_calls_.push_back(CopyCall(call));
  method_call_log_.push_back(CopyCall(call));
}

void DartPeer::OnOtherMessage(const std::string& channel,
                              const std::vector<uint8_t>& message) {
  g_warning(
      "dart-peer: %zu-byte message on \"%s\" is not a method call; "
      "answered as not handled",
      message.size(), channel.c_str());
}

void DartPeer::OnOutput(const std::string& chunk) {
  output_ += chunk;
}

void DartPeer::OnExit(const ExitStatus& /*status*/) {}

}  // namespace dart_peer
