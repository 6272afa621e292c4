// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_DART_PEER_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_DART_PEER_H_

#include <flutter_linux/flutter_linux.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "dart_peer/peer_server.h"
#include "dart_peer/peer_types.h"
#include "dart_peer/texture_image.h"

namespace dart_peer {

// The result of ReadTexture.
struct TextureRead {
  bool ok = false;
  Response response;   // The reply of "readTexture"; kError for "no_texture".
  TextureImage image;  // When ok.
  std::string error;   // When not ok: what went wrong, including the reply.
};

// A synchronous Dart-side peer for tests, built on PeerServer.
//
// It owns a private GMainContext and runs it only in the calling thread,
// while one of its Wait*/Invoke calls waits; between calls nothing is read
// from the engine (the socket buffers it) and the program is not answered.
// Use it from one thread. Everything the engine sends is queued: HELLOs,
// events per channel, method calls (also kept in a log). Every wait takes a
// timeout in milliseconds and returns false (or kTimedOut) when it passes.
class DartPeer : private PeerServer::Observer {
 public:
  struct Options {
    // "NAME=VALUE" to set, "NAME" to remove, on top of this environment.
    std::vector<std::string> env;
    // No "drawFrame" after a HELLO: the view shows no first frame until the
    // test sends one itself.
    bool hold_first_frame = false;
    // Keep the program's standard output and error for output() and
    // WaitOutput(), still copied to this process's standard error.
    bool capture_output = true;
  };

  DartPeer();
  // Kills a program that is still running and waits briefly for its end.
  ~DartPeer() override;
  DartPeer(const DartPeer&) = delete;
  DartPeer& operator=(const DartPeer&) = delete;

  // Opens the socket and starts |program| with |args|.
  bool Start(const std::string& program,
             const std::vector<std::string>& args,
             const Options& options,
             std::string* error);
  bool Start(const std::string& program,
             const std::vector<std::string>& args,
             const std::vector<std::string>& env,
             bool hold_first_frame,
             std::string* error);
  // Opens the socket only, for an engine started some other way with
  // FLUTTER_LINUX_PEER=socket_path().
  bool Open(bool hold_first_frame, std::string* error);

  // Takes the next HELLO from the queue, waiting for one.
  bool WaitHello(int timeout_ms, Hello* hello = nullptr);
  // Number of HELLOs seen so far, taken or not.
  int hello_count() const { return hello_count_; }

  Response Invoke(const std::string& channel,
                  const std::string& method,
                  FlValue* args,
                  int timeout_ms);
  // "listen" on an event channel; from then on its messages are queued as
  // events.
  Response Listen(const std::string& channel, FlValue* args, int timeout_ms);
  Response Cancel(const std::string& channel, FlValue* args, int timeout_ms);

  // Takes the next event of |channel|, waiting for one.
  bool WaitEvent(const std::string& channel,
                 int timeout_ms,
                 ChannelEvent* event);
  // Takes events of |channel| until one satisfies |predicate|; the events
  // before it are dropped (or moved to *skipped). On timeout the events
  // seen are dropped too.
  bool WaitEventMatching(
      const std::string& channel,
      const std::function<bool(const ChannelEvent&)>& predicate,
      int timeout_ms,
      ChannelEvent* event,
      std::vector<ChannelEvent>* skipped = nullptr);
  // Takes every queued event of |channel| without waiting.
  std::vector<ChannelEvent> TakeEvents(const std::string& channel);

  // Takes the next queued method call on |channel| (and named |method|,
  // unless empty), waiting for one. Calls that do not match stay queued.
  bool WaitMethodCall(const std::string& channel,
                      const std::string& method,
                      int timeout_ms,
                      MethodCall* call);
  // Every method call the engine made, in order, taken or not.
  const std::vector<MethodCall>& method_call_log() const {
    return method_call_log_;
  }

  // "readTexture" on "standin/engine". With |png_path| the picture is also
  // saved there; a failure to save makes the read fail.
  TextureRead ReadTexture(int64_t id,
                          int timeout_ms,
                          const std::string& png_path = "");

  // Waits for the program's end.
  bool WaitExit(int timeout_ms, ExitStatus* status = nullptr);
  // Waits until the captured output contains |text|.
  bool WaitOutput(const std::string& text, int timeout_ms);
  const std::string& output() const { return output_; }

  void Kill() { server_->Kill(); }
  bool SendSignal(int signal) { return server_->SendSignal(signal); }

  // Runs the loop for |ms| milliseconds, e.g. to show that nothing arrives.
  void RunFor(int ms);
  // Runs the loop until |condition| holds or |timeout_ms| passes; returns
  // the condition.
  bool WaitUntil(const std::function<bool()>& condition, int timeout_ms);

  GPid pid() const { return server_->pid(); }
  const std::string& socket_path() const { return server_->socket_path(); }
  GMainContext* context() const { return context_; }
  PeerServer& server() { return *server_; }

 private:
  // PeerServer::Observer.
  void OnHello(const Hello& hello) override;
  void OnEvent(const ChannelEvent& event) override;
  void OnMethodCall(const MethodCall& call) override;
  void OnOtherMessage(const std::string& channel,
                      const std::vector<uint8_t>& message) override;
  void OnOutput(const std::string& chunk) override;
  void OnExit(const ExitStatus& status) override;

  // Runs |start| with a callback and waits for the callback.
  Response WaitResponse(
      const std::function<void(PeerServer::ResponseCallback)>& start,
      int timeout_ms);

  GMainContext* context_;  // Owned.
  std::unique_ptr<PeerServer> server_;
  std::deque<Hello> hellos_;
  int hello_count_ = 0;
  std::map<std::string, std::deque<ChannelEvent>> events_;
  std::deque<MethodCall> method_calls_;
  std::vector<MethodCall> method_call_log_;
  std::string output_;
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_DART_PEER_H_
