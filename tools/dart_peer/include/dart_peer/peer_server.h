// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_SERVER_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_SERVER_H_

#include <flutter_linux/flutter_linux.h>
#include <gio/gio.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dart_peer/frame.h"
#include "dart_peer/peer_types.h"

namespace dart_peer {

// The channel the engine stand-in answers itself.
constexpr char kEngineChannel[] = "standin/engine";

// The asynchronous core of the Dart-side peer. It listens on a fresh Unix
// socket in a private temporary folder, starts a program with
// FLUTTER_LINUX_PEER naming that socket, and speaks the engine's frame
// protocol on every connection the program makes. A program that replaces
// itself (execv) connects again and says HELLO again; each HELLO is reported,
// and the newest connection that said HELLO carries the requests. Requests
// made while no such connection exists wait for the next HELLO, and fail
// once the program has ended.
//
// Everything happens on |context|: the socket and process sources are
// attached there and every callback runs while that context is iterated, in
// the thread that iterates it. The object must be used from that thread
// only. Callbacks never run inside a call of this class.
class PeerServer {
 public:
  // Receives what the engine does. Nothing is queued for an observer; what
  // it needs later it must keep (ValuePtr references are cheap to take with
  // RefValue).
  class Observer {
   public:
    virtual ~Observer() = default;
    virtual void OnHello(const Hello& /*hello*/) {}
    // A message on a channel that this peer listened to.
    virtual void OnEvent(const ChannelEvent& /*event*/) {}
    // A method call from the engine; it has been answered with a null
    // success.
    virtual void OnMethodCall(const MethodCall& /*call*/) {}
    // A message that is neither an event nor a method call; it has been
    // answered as not handled.
    virtual void OnOtherMessage(const std::string& /*channel*/,
                                const std::vector<uint8_t>& /*message*/) {}
    // A piece of the program's captured standard output and error.
    virtual void OnOutput(const std::string& /*chunk*/) {}
    // The program ended. Reported after its connections have closed (or a
    // second after its end at the latest), so that what it sent before
    // ending is reported first.
    virtual void OnExit(const ExitStatus& /*status*/) {}
  };

  struct SpawnOptions {
    // "NAME=VALUE" sets a variable for the program, a bare "NAME" removes
    // one; the rest of the environment is inherited.
    std::vector<std::string> env;
    // Capture the program's standard output and error (merged) for
    // Observer::OnOutput. Otherwise its standard output goes to this
    // process's standard error, keeping this process's standard output free
    // for protocol lines, and its standard error is inherited.
    bool capture_output = false;
    // With capture_output, also copy the output to this process's standard
    // error, so that logs stay visible.
    bool echo_output = true;
  };

  using ResponseCallback = std::function<void(Response response)>;

  // |context|: nullptr means the global default context.
  explicit PeerServer(GMainContext* context);
  // Kills a program that is still running and removes the socket folder.
  ~PeerServer();
  PeerServer(const PeerServer&) = delete;
  PeerServer& operator=(const PeerServer&) = delete;

  void set_observer(Observer* observer) { observer_ = observer; }
  // When set, no "drawFrame" is sent after a HELLO.
  void set_hold_first_frame(bool hold) { hold_first_frame_ = hold; }

  // Creates the socket and starts accepting connections.
  bool Open(std::string* error);
  // Starts |argv| (argv[0] is looked up in PATH) with FLUTTER_LINUX_PEER
  // set. Open() must have succeeded. Only one program per server.
  bool Spawn(const std::vector<std::string>& argv,
             const SpawnOptions& options,
             std::string* error);

  // Calls |method| on |channel| with the standard method codec. |args| may
  // be nullptr (null). The callback runs exactly once.
  void Invoke(const std::string& channel,
              const std::string& method,
              FlValue* args,
              ResponseCallback callback);
  // Makes |channel| an event channel of this peer, then sends "listen".
  // From then on every message on it is reported as an event, also after a
  // cancel, so that a test can see events that should have stopped.
  void ListenChannel(const std::string& channel,
                     FlValue* args,
                     ResponseCallback callback);
  // Sends "cancel" on |channel|.
  void CancelChannel(const std::string& channel,
                     FlValue* args,
                     ResponseCallback callback);
  bool IsEventChannel(const std::string& channel) const;

  // Sends SIGKILL to the program; its end is reported with killed_by_peer.
  void Kill();
  // Sends |signal| to the program; false when it is not running.
  bool SendSignal(int signal);

  GMainContext* context() const { return context_; }
  const std::string& socket_path() const { return socket_path_; }
  // The program's process id, 0 before Spawn.
  GPid pid() const { return pid_; }
  bool program_running() const { return process_ != nullptr && !exited_; }
  // True once OnExit has been (or would have been) reported.
  bool exit_reported() const { return exit_reported_; }
  const ExitStatus& exit_status() const { return exit_status_; }
  size_t connection_count() const { return connections_.size(); }
  // Requests sent or queued and not answered yet.
  size_t open_requests() const { return pending_.size() + queued_.size(); }

 private:
  struct Connection;
  // Called with the raw reply bytes, or with delivered == false and a reason
  // when the request could not be answered.
  using RawReplyCallback = std::function<
      void(bool delivered, std::vector<uint8_t> reply, std::string reason)>;
  struct Pending {
    Connection* connection;  // Weak: the connection fails its own requests.
    RawReplyCallback callback;
  };
  struct Outgoing {
    std::string channel;
    std::vector<uint8_t> message;
    RawReplyCallback callback;
  };

  static gboolean OnAcceptReady(GSocket* socket,
                                GIOCondition condition,
                                gpointer user_data);
  static gboolean OnConnectionReadable(GSocket* socket,
                                       GIOCondition condition,
                                       gpointer user_data);
  static gboolean OnConnectionWritable(GSocket* socket,
                                       GIOCondition condition,
                                       gpointer user_data);
  static void OnProcessExited(GObject* object,
                              GAsyncResult* result,
                              gpointer user_data);
  static void OnOutputRead(GObject* object,
                           GAsyncResult* result,
                           gpointer user_data);

  void AcceptPending();
  void ReadFromConnection(Connection* connection);
  void HandleFrame(Connection* connection, Frame* frame);
  void HandleHello(Connection* connection, const std::vector<uint8_t>& payload);
  void HandleMessage(Connection* connection, Frame* frame);
  void HandleReply(Connection* connection, Frame* frame);
  void WriteFrame(Connection* connection, const Frame& frame);
  void FlushConnection(Connection* connection);
  void CloseConnection(Connection* connection, const std::string& reason);
  void SendRequest(const std::string& channel,
                   std::vector<uint8_t> message,
                   RawReplyCallback callback);
  void SendOnConnection(Connection* connection,
                        const std::string& channel,
                        std::vector<uint8_t> message,
                        RawReplyCallback callback);
  void SendMethodCall(const std::string& channel,
                      const std::string& method,
                      FlValue* args,
                      ResponseCallback callback);
  uint32_t AllocateReplyId();
  void StartOutputRead();
  void MaybeReportExit();
  void ReportExit();
  // Runs |task| from |context_| soon, unless this server is gone by then.
  void Post(std::function<void()> task);

  GMainContext* context_;         // Owned reference.
  Observer* observer_ = nullptr;  // Weak.
  bool hold_first_frame_ = false;
  FlStandardMessageCodec* message_codec_;  // Owned.
  FlStandardMethodCodec* method_codec_;    // Owned.

  std::string socket_dir_;       // Private folder, removed in the destructor.
  std::string socket_path_;      // Inside socket_dir_.
  GSocket* listener_ = nullptr;  // Owned.
  GSource* accept_source_ = nullptr;  // Owned, attached to context_.

  std::vector<std::unique_ptr<Connection>> connections_;  // Open ones.
  // Closed connections wait here until the next idle, because they are
  // often closed from inside one of their own callbacks.
  std::vector<std::unique_ptr<Connection>> closed_connections_;
  Connection* current_ = nullptr;  // Newest that said HELLO; in connections_.
  int connection_serial_ = 0;

  std::map<uint32_t, Pending> pending_;
  std::vector<Outgoing> queued_;  // Waiting for a connection with HELLO.
  uint32_t next_reply_id_ = 1;
  std::set<std::string> event_channels_;

  GSubprocess* process_ = nullptr;       // Owned.
  GCancellable* cancellable_ = nullptr;  // Owned; cancels process I/O.
  GPid pid_ = 0;
  bool exited_ = false;
  bool kill_requested_ = false;
  bool output_open_ = false;  // The captured output pipe has not ended.
  bool echo_output_ = false;
  bool exit_reported_ = false;
  ExitStatus exit_status_;
  GSource* exit_grace_source_ = nullptr;  // Owned while attached.

  // Cleared in the destructor; posted tasks and async callbacks check it.
  std::shared_ptr<bool> alive_;
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_SERVER_H_
