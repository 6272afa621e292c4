// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/peer_server.h"

#include <gio/gunixsocketaddress.h>
#include <glib/gstdio.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "method_codec.h"

namespace dart_peer {

namespace {

constexpr char kPeerVariable[] = "FLUTTER_LINUX_PEER";
constexpr int64_t kProtocolVersion = 1;
// How long the end of the program may wait for its connections and its
// output to close before it is reported anyway.
constexpr guint kExitGraceMs = 1000;
constexpr size_t kReadChunk = 256 * 1024;
// Bytes read from one connection per dispatch, so that a flood from one
// connection cannot starve the rest of the loop.
constexpr size_t kReadBudget = 4 * 1024 * 1024;

// Makes |context| the thread-default context while it lives, so that the
// asynchronous GIO calls made meanwhile complete there.
class ContextScope {
 public:
  explicit ContextScope(GMainContext* context) : context_(context) {
    g_main_context_push_thread_default(context_);
  }
  ~ContextScope() { g_main_context_pop_thread_default(context_); }
  ContextScope(const ContextScope&) = delete;
  ContextScope& operator=(const ContextScope&) = delete;

 private:
  GMainContext* context_;
};

// Carries the server through a GIO callback that may outlive it.
struct AsyncTarget {
  PeerServer* server;
  std::shared_ptr<bool> alive;
};

// A task posted to the server's context.
struct PostedTask {
  std::function<void()> task;
  std::shared_ptr<bool> alive;
};

// Runs a posted task once.
gboolean RunPostedTask(gpointer user_data) {
  auto* posted = static_cast<PostedTask*>(user_data);
  if (*posted->alive) {
    posted->task();
  }
  return G_SOURCE_REMOVE;
}

void DeletePostedTask(gpointer user_data) {
  delete static_cast<PostedTask*>(user_data);
}

GSource* AttachSocketSource(GSocket* socket,
                            GIOCondition condition,
                            GSocketSourceFunc callback,
                            gpointer user_data,
                            GMainContext* context) {
  GSource* source = g_socket_create_source(socket, condition, nullptr);
  g_source_set_callback(source, G_SOURCE_FUNC(callback), user_data, nullptr);
  g_source_attach(source, context);
  return source;
}

void DestroySource(GSource** source) {
  if (*source != nullptr) {
    g_source_destroy(*source);
    g_source_unref(*source);
    *source = nullptr;
  }
}

// Reads the HELLO map; false with *error when it lacks a field.
bool ParseHello(FlValue* value, Hello* hello, std::string* error) {
  if (value == nullptr || fl_value_get_type(value) != FL_VALUE_TYPE_MAP) {
    *error = "HELLO is not a map";
    return false;
  }
  FlValue* protocol = fl_value_lookup_string(value, "protocol");
  FlValue* pid = fl_value_lookup_string(value, "pid");
  FlValue* args = fl_value_lookup_string(value, "args");
  if (protocol == nullptr || fl_value_get_type(protocol) != FL_VALUE_TYPE_INT) {
    *error = "HELLO has no integer \"protocol\"";
    return false;
  }
  if (fl_value_get_int(protocol) != kProtocolVersion) {
    *error = "HELLO speaks protocol " +
             std::to_string(fl_value_get_int(protocol)) + ", not 1";
    return false;
  }
  if (pid == nullptr || fl_value_get_type(pid) != FL_VALUE_TYPE_INT) {
    *error = "HELLO has no integer \"pid\"";
    return false;
  }
  if (args == nullptr || fl_value_get_type(args) != FL_VALUE_TYPE_LIST) {
    *error = "HELLO has no list \"args\"";
    return false;
  }
  hello->pid = fl_value_get_int(pid);
  hello->args.clear();
  for (size_t i = 0; i < fl_value_get_length(args); i++) {
    FlValue* arg = fl_value_get_list_value(args, i);
    if (fl_value_get_type(arg) != FL_VALUE_TYPE_STRING) {
      *error = "HELLO \"args\" holds a value that is not a string";
      return false;
    }
    hello->args.push_back(fl_value_get_string(arg));
  }
  return true;
}

}  // namespace

struct PeerServer::Connection {
  PeerServer* server = nullptr;
  int serial = 0;
  GSocket* socket = nullptr;        // Owned.
  GSource* read_source = nullptr;   // Owned, attached while open.
  GSource* write_source = nullptr;  // Owned, attached while output waits.
  FrameReader reader;
  std::vector<uint8_t> output;  // Bytes not yet written.
  size_t output_offset = 0;     // Written part of output.
  bool hello_seen = false;
  bool closed = false;

  ~Connection() {
    DestroySource(&read_source);
    DestroySource(&write_source);
    if (socket != nullptr) {
      g_socket_close(socket, nullptr);
      g_clear_object(&socket);
    }
  }
};

PeerServer::PeerServer(GMainContext* context)
    : context_(g_main_context_ref(
          context != nullptr ? context : g_main_context_default())),
      message_codec_(fl_standard_message_codec_new()),
      method_codec_(fl_standard_method_codec_new()),
      alive_(std::make_shared<bool>(true)) {}

PeerServer::~PeerServer() {
  *alive_ = false;
  if (cancellable_ != nullptr) {
    g_cancellable_cancel(cancellable_);
  }
  if (program_running()) {
    // GIO reaps the child in its own worker, so no zombie is left behind.
    g_subprocess_force_exit(process_);
  }
  DestroySource(&exit_grace_source_);
  DestroySource(&accept_source_);
  connections_.clear();
  closed_connections_.clear();
  if (listener_ != nullptr) {
    g_socket_close(listener_, nullptr);
    g_clear_object(&listener_);
  }
  if (!socket_path_.empty()) {
    g_unlink(socket_path_.c_str());
  }
  if (!socket_dir_.empty()) {
    g_rmdir(socket_dir_.c_str());
  }
  g_clear_object(&process_);
  g_clear_object(&cancellable_);
  g_clear_object(&method_codec_);
  g_clear_object(&message_codec_);
  g_main_context_unref(context_);
}

bool PeerServer::Open(std::string* error) {
  if (listener_ != nullptr) {
    *error = "already open";
    return false;
  }
  g_autoptr(GError) local_error = nullptr;
  g_autofree gchar* dir = g_dir_make_tmp("zelkoz-dart-XXXXXX", &local_error);
  if (dir == nullptr) {
    *error =
        std::string("cannot create the socket folder: ") + local_error->message;
    return false;
  }
  socket_dir_ = dir;
  g_autofree gchar* path = g_build_filename(dir, "peer.sock", nullptr);
  g_autoptr(GSocket) listener =
      g_socket_new(G_SOCKET_FAMILY_UNIX, G_SOCKET_TYPE_STREAM,
                   G_SOCKET_PROTOCOL_DEFAULT, &local_error);
  if (listener == nullptr) {
    *error = std::string("cannot create a socket: ") + local_error->message;
    return false;
  }
  g_autoptr(GSocketAddress) address = g_unix_socket_address_new(path);
  if (!g_socket_bind(listener, address, FALSE, &local_error) ||
      !g_socket_listen(listener, &local_error)) {
    *error =
        std::string("cannot listen on ") + path + ": " + local_error->message;
    return false;
  }
  socket_path_ = path;
  g_socket_set_blocking(listener, FALSE);
  listener_ = static_cast<GSocket*>(g_steal_pointer(&listener));
  accept_source_ =
      AttachSocketSource(listener_, G_IO_IN, OnAcceptReady, this, context_);
  return true;
}

bool PeerServer::Spawn(const std::vector<std::string>& argv,
                       const SpawnOptions& options,
                       std::string* error) {
  if (listener_ == nullptr) {
    *error = "the socket is not open";
    return false;
  }
  if (process_ != nullptr) {
    *error = "a program was already started";
    return false;
  }
  if (argv.empty()) {
    *error = "no program given";
    return false;
  }
  GSubprocessFlags flags =
      options.capture_output
          ? static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                          G_SUBPROCESS_FLAGS_STDERR_MERGE)
          : G_SUBPROCESS_FLAGS_NONE;
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(flags);
  if (!options.capture_output) {
    int stderr_copy = dup(STDERR_FILENO);
    if (stderr_copy >= 0) {
      g_subprocess_launcher_take_stdout_fd(launcher, stderr_copy);
    }
  }
  for (const std::string& entry : options.env) {
    size_t equals = entry.find('=');
    if (equals == std::string::npos) {
      g_subprocess_launcher_unsetenv(launcher, entry.c_str());
    } else {
      g_subprocess_launcher_setenv(launcher, entry.substr(0, equals).c_str(),
                                   entry.substr(equals + 1).c_str(), TRUE);
    }
  }
  g_subprocess_launcher_setenv(launcher, kPeerVariable, socket_path_.c_str(),
                               TRUE);
  std::vector<const gchar*> args;
  for (const std::string& arg : argv) {
    args.push_back(arg.c_str());
  }
  args.push_back(nullptr);
  g_autoptr(GError) local_error = nullptr;
  GSubprocess* process =
      g_subprocess_launcher_spawnv(launcher, args.data(), &local_error);
  if (process == nullptr) {
    *error = "cannot start " + argv[0] + ": " + local_error->message;
    return false;
  }
  process_ = process;
  const gchar* identifier = g_subprocess_get_identifier(process_);
  pid_ = identifier != nullptr ? static_cast<GPid>(atoi(identifier)) : 0;
  cancellable_ = g_cancellable_new();
  {
    ContextScope scope(context_);
    g_subprocess_wait_async(process_, cancellable_, OnProcessExited,
                            new AsyncTarget{this, alive_});
  }
  if (options.capture_output) {
    output_open_ = true;
    echo_output_ = options.echo_output;
    StartOutputRead();
  }
  return true;
}

void PeerServer::StartOutputRead() {
  ContextScope scope(context_);
  g_input_stream_read_bytes_async(g_subprocess_get_stdout_pipe(process_),
                                  64 * 1024, G_PRIORITY_DEFAULT, cancellable_,
                                  OnOutputRead, new AsyncTarget{this, alive_});
}

// Called with each piece of the program's captured output.
void PeerServer::OnOutputRead(GObject* object,
                              GAsyncResult* result,
                              gpointer user_data) {
  std::unique_ptr<AsyncTarget> target(static_cast<AsyncTarget*>(user_data));
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      g_input_stream_read_bytes_finish(G_INPUT_STREAM(object), result, &error);
  if (!*target->alive) {
    return;
  }
  PeerServer* self = target->server;
  gsize size = 0;
  const char* data =
      bytes != nullptr
          ? static_cast<const char*>(g_bytes_get_data(bytes, &size))
          : nullptr;
  if (size == 0) {
    self->output_open_ = false;
    self->MaybeReportExit();
    return;
  }
  if (self->echo_output_) {
    // Best effort: a closed standard error must not stop the capture.
    ssize_t ignored = write(STDERR_FILENO, data, size);
    (void)ignored;
  }
  if (self->observer_ != nullptr) {
    self->observer_->OnOutput(std::string(data, size));
  }
  self->StartOutputRead();
}

// Called when the program has ended.
void PeerServer::OnProcessExited(GObject* object,
                                 GAsyncResult* result,
                                 gpointer user_data) {
  std::unique_ptr<AsyncTarget> target(static_cast<AsyncTarget*>(user_data));
  g_autoptr(GError) error = nullptr;
  gboolean waited =
      g_subprocess_wait_finish(G_SUBPROCESS(object), result, &error);
  if (!*target->alive || !waited) {
    return;
  }
  PeerServer* self = target->server;
  GSubprocess* process = G_SUBPROCESS(object);
  self->exited_ = true;
  if (g_subprocess_get_if_signaled(process)) {
    self->exit_status_.signaled = true;
    self->exit_status_.code = g_subprocess_get_term_sig(process);
    self->exit_status_.killed_by_peer =
        self->kill_requested_ && self->exit_status_.code == SIGKILL;
  } else {
    self->exit_status_.code = g_subprocess_get_exit_status(process);
  }
  self->exit_grace_source_ = g_timeout_source_new(kExitGraceMs);
  g_source_set_callback(
      self->exit_grace_source_,
      [](gpointer data) -> gboolean {
        auto* server = static_cast<PeerServer*>(data);
        g_source_unref(server->exit_grace_source_);
        server->exit_grace_source_ = nullptr;
        server->ReportExit();
        return G_SOURCE_REMOVE;
      },
      self, nullptr);
  g_source_attach(self->exit_grace_source_, self->context_);
  self->MaybeReportExit();
}

void PeerServer::MaybeReportExit() {
  if (exited_ && !exit_reported_ && connections_.empty() && !output_open_) {
    ReportExit();
  }
}

void PeerServer::ReportExit() {
  if (exit_reported_) {
    return;
  }
  exit_reported_ = true;
  DestroySource(&exit_grace_source_);
  // Nothing is left to carry the requests that were waiting for a HELLO.
  std::vector<Outgoing> queued = std::move(queued_);
  queued_.clear();
  for (Outgoing& outgoing : queued) {
    Post([callback = std::move(outgoing.callback)]() {
      callback(false, {}, "the program has ended");
    });
  }
  if (observer_ != nullptr) {
    observer_->OnExit(exit_status_);
  }
}

void PeerServer::Kill() {
  if (program_running()) {
    kill_requested_ = true;
    g_subprocess_force_exit(process_);
  }
}

bool PeerServer::SendSignal(int signal) {
  if (!program_running()) {
    return false;
  }
  if (signal == SIGKILL) {
    kill_requested_ = true;
  }
  g_subprocess_send_signal(process_, signal);
  return true;
}

// Called when the listening socket has connections to accept.
gboolean PeerServer::OnAcceptReady(GSocket* /*socket*/,
                                   GIOCondition /*condition*/,
                                   gpointer user_data) {
  static_cast<PeerServer*>(user_data)->AcceptPending();
  return G_SOURCE_CONTINUE;
}

void PeerServer::AcceptPending() {
  while (true) {
    g_autoptr(GError) error = nullptr;
    g_autoptr(GSocket) socket = g_socket_accept(listener_, nullptr, &error);
    if (socket == nullptr) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
        g_warning("dart-peer: cannot accept a connection: %s", error->message);
      }
      return;
    }
    g_socket_set_blocking(socket, FALSE);
    auto connection = std::make_unique<Connection>();
    connection->server = this;
    connection->serial = ++connection_serial_;
    connection->socket = static_cast<GSocket*>(g_steal_pointer(&socket));
    connection->read_source = AttachSocketSource(
        connection->socket,
        static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
        OnConnectionReadable, connection.get(), context_);
    connections_.push_back(std::move(connection));
  }
}

// Called when a connection has bytes to read or has been closed.
gboolean PeerServer::OnConnectionReadable(GSocket* /*socket*/,
                                          GIOCondition /*condition*/,
                                          gpointer user_data) {
  auto* connection = static_cast<Connection*>(user_data);
  connection->server->ReadFromConnection(connection);
  // A closed connection has already destroyed this source.
  return G_SOURCE_CONTINUE;
}

void PeerServer::ReadFromConnection(Connection* connection) {
  std::vector<uint8_t> chunk(kReadChunk);
  size_t total = 0;
  while (!connection->closed && total < kReadBudget) {
    g_autoptr(GError) error = nullptr;
    gssize count = g_socket_receive(connection->socket,
                                    reinterpret_cast<gchar*>(chunk.data()),
                                    chunk.size(), nullptr, &error);
    if (count < 0) {
      if (!g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
        CloseConnection(connection, error->message);
      }
      return;
    }
    if (count == 0) {
      if (connection->reader.buffered() > 0) {
        g_warning(
            "dart-peer: the engine closed connection %d in the middle "
            "of a frame",
            connection->serial);
      }
      CloseConnection(connection, "closed by the engine");
      return;
    }
    total += static_cast<size_t>(count);
    connection->reader.Append(chunk.data(), static_cast<size_t>(count));
    while (!connection->closed) {
      Frame frame;
      std::string reason;
      FrameReader::Result result = connection->reader.Next(&frame, &reason);
      if (result == FrameReader::Result::kNeedMore) {
        break;
      }
      if (result == FrameReader::Result::kError) {
        g_warning(
            "dart-peer: unreadable frame on connection %d (%s); "
            "closing it",
            connection->serial, reason.c_str());
        CloseConnection(connection, "unreadable frame: " + reason);
        return;
      }
      HandleFrame(connection, &frame);
    }
  }
}

void PeerServer::HandleFrame(Connection* connection, Frame* frame) {
  if (frame->type == FrameType::kHello) {
    HandleHello(connection, frame->payload);
    return;
  }
  if (!connection->hello_seen) {
    g_warning("dart-peer: frame before HELLO on connection %d; closing it",
              connection->serial);
    CloseConnection(connection, "frame before HELLO");
    return;
  }
  if (frame->type == FrameType::kMessage) {
    HandleMessage(connection, frame);
  } else {
    HandleReply(connection, frame);
  }
}

void PeerServer::HandleHello(Connection* connection,
                             const std::vector<uint8_t>& payload) {
  std::string reason;
  Hello hello;
  if (connection->hello_seen) {
    reason = "a second HELLO";
  } else {
    g_autoptr(GBytes) bytes = g_bytes_new(payload.data(), payload.size());
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = fl_message_codec_decode_message(
        FL_MESSAGE_CODEC(message_codec_), bytes, &error);
    if (value == nullptr) {
      reason = std::string("HELLO does not decode: ") + error->message;
    } else {
      ParseHello(value, &hello, &reason);
    }
  }
  if (!reason.empty()) {
    g_warning("dart-peer: bad HELLO on connection %d (%s); closing it",
              connection->serial, reason.c_str());
    CloseConnection(connection, reason);
    return;
  }
  connection->hello_seen = true;
  hello.connection = connection->serial;
  current_ = connection;
  if (observer_ != nullptr) {
    observer_->OnHello(hello);
  }
  if (connection->closed) {
    return;
  }
  if (!hold_first_frame_) {
    SendMethodCall(kEngineChannel, "drawFrame", nullptr, [](Response response) {
      if (response.kind != ResponseKind::kSuccess &&
          response.kind != ResponseKind::kDisconnected) {
        g_warning("dart-peer: \"drawFrame\" was answered with %s %s",
                  ResponseKindName(response.kind), response.code.c_str());
      }
    });
  }
  std::vector<Outgoing> queued = std::move(queued_);
  queued_.clear();
  for (Outgoing& outgoing : queued) {
    SendRequest(outgoing.channel, std::move(outgoing.message),
                std::move(outgoing.callback));
  }
}

void PeerServer::HandleMessage(Connection* connection, Frame* frame) {
  const std::string& channel = frame->channel;
  std::vector<uint8_t> reply;  // Empty: not handled.
  if (IsEventChannel(channel)) {
    ChannelEvent event;
    event.channel = channel;
    bool report = true;
    if (frame->payload.empty()) {
      event.kind = EventKind::kEndOfStream;
    } else {
      Response decoded =
          DecodeReply(FL_METHOD_CODEC(method_codec_), frame->payload);
      if (decoded.kind == ResponseKind::kSuccess) {
        event.kind = EventKind::kEvent;
        event.value = std::move(decoded.result);
      } else if (decoded.kind == ResponseKind::kError) {
        event.kind = EventKind::kError;
        event.code = std::move(decoded.code);
        event.message = std::move(decoded.message);
        event.details = std::move(decoded.details);
      } else {
        g_warning("dart-peer: undecodable event on \"%s\": %s", channel.c_str(),
                  decoded.reason.c_str());
        report = false;
      }
    }
    if (report && observer_ != nullptr) {
      observer_->OnEvent(event);
    }
  } else {
    MethodCall call;
    call.channel = channel;
    std::string reason;
    if (DecodeMethodCall(FL_METHOD_CODEC(method_codec_), frame->payload,
                         &call.method, &call.args, &reason)) {
      reply = EncodeSuccessEnvelope(FL_METHOD_CODEC(method_codec_), nullptr);
      if (observer_ != nullptr) {
        observer_->OnMethodCall(call);
      }
    } else if (observer_ != nullptr) {
      observer_->OnOtherMessage(channel, frame->payload);
    }
  }
  if (frame->reply_id != 0 && !connection->closed) {
    Frame answer;
    answer.type = FrameType::kReply;
    answer.reply_id = frame->reply_id;
    answer.payload = std::move(reply);
    WriteFrame(connection, answer);
  }
}

void PeerServer::HandleReply(Connection* connection, Frame* frame) {
  auto it = pending_.find(frame->reply_id);
  if (it == pending_.end() || it->second.connection != connection) {
    g_warning("dart-peer: REPLY %u on connection %d answers no open request",
              frame->reply_id, connection->serial);
    return;
  }
  RawReplyCallback callback = std::move(it->second.callback);
  pending_.erase(it);
  callback(true, std::move(frame->payload), "");
}

void PeerServer::WriteFrame(Connection* connection, const Frame& frame) {
  std::vector<uint8_t> bytes = EncodeFrame(frame);
  connection->output.insert(connection->output.end(), bytes.begin(),
                            bytes.end());
  FlushConnection(connection);
}

// Called when a connection can take more of its pending output.
gboolean PeerServer::OnConnectionWritable(GSocket* /*socket*/,
                                          GIOCondition /*condition*/,
                                          gpointer user_data) {
  auto* connection = static_cast<Connection*>(user_data);
  connection->server->FlushConnection(connection);
  return G_SOURCE_CONTINUE;
}

void PeerServer::FlushConnection(Connection* connection) {
  while (!connection->closed &&
         connection->output_offset < connection->output.size()) {
    g_autoptr(GError) error = nullptr;
    gssize count = g_socket_send(
        connection->socket,
        reinterpret_cast<const gchar*>(connection->output.data() +
                                       connection->output_offset),
        connection->output.size() - connection->output_offset, nullptr, &error);
    if (count < 0) {
      if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK)) {
        if (connection->write_source == nullptr) {
          connection->write_source =
              AttachSocketSource(connection->socket, G_IO_OUT,
                                 OnConnectionWritable, connection, context_);
        }
        return;
      }
      CloseConnection(connection, error->message);
      return;
    }
    connection->output_offset += static_cast<size_t>(count);
  }
  if (!connection->closed) {
    connection->output.clear();
    connection->output_offset = 0;
    DestroySource(&connection->write_source);
  }
}

void PeerServer::CloseConnection(Connection* connection,
                                 const std::string& reason) {
  if (connection->closed) {
    return;
  }
  connection->closed = true;
  DestroySource(&connection->read_source);
  DestroySource(&connection->write_source);
  g_socket_close(connection->socket, nullptr);
  if (current_ == connection) {
    current_ = nullptr;
  }
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second.connection == connection) {
      Post([callback = std::move(it->second.callback), reason]() {
        callback(false, {}, "connection closed: " + reason);
      });
      it = pending_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto it = connections_.begin(); it != connections_.end(); ++it) {
    if (it->get() == connection) {
      closed_connections_.push_back(std::move(*it));
      connections_.erase(it);
      break;
    }
  }
  Post([this]() { closed_connections_.clear(); });
  MaybeReportExit();
}

uint32_t PeerServer::AllocateReplyId() {
  while (next_reply_id_ == 0 || pending_.count(next_reply_id_) > 0) {
    next_reply_id_++;
  }
  return next_reply_id_++;
}

void PeerServer::SendRequest(const std::string& channel,
                             std::vector<uint8_t> message,
                             RawReplyCallback callback) {
  if (current_ != nullptr) {
    SendOnConnection(current_, channel, std::move(message),
                     std::move(callback));
    return;
  }
  if (exit_reported_) {
    Post([callback = std::move(callback)]() {
      callback(false, {}, "the program has ended");
    });
    return;
  }
  queued_.push_back(Outgoing{channel, std::move(message), std::move(callback)});
}

void PeerServer::SendOnConnection(Connection* connection,
                                  const std::string& channel,
                                  std::vector<uint8_t> message,
                                  RawReplyCallback callback) {
  uint32_t id = AllocateReplyId();
  pending_[id] = Pending{connection, std::move(callback)};
  Frame frame;
  frame.type = FrameType::kMessage;
  frame.reply_id = id;
  frame.channel = channel;
  frame.payload = std::move(message);
  WriteFrame(connection, frame);
}

void PeerServer::SendMethodCall(const std::string& channel,
                                const std::string& method,
                                FlValue* args,
                                ResponseCallback callback) {
  std::vector<uint8_t> message;
  std::string reason;
  if (!EncodeMethodCall(FL_METHOD_CODEC(method_codec_), method, args, &message,
                        &reason)) {
    Post([callback = std::move(callback), reason]() {
      Response response;
      response.kind = ResponseKind::kUndecodable;
      response.reason = "cannot encode the call: " + reason;
      callback(std::move(response));
    });
    return;
  }
  FlMethodCodec* codec = FL_METHOD_CODEC(method_codec_);
  SendRequest(
      channel, std::move(message),
      [codec, callback = std::move(callback)](
          bool delivered, std::vector<uint8_t> reply, std::string reason) {
        if (!delivered) {
          Response response;
          response.kind = ResponseKind::kDisconnected;
          response.reason = std::move(reason);
          callback(std::move(response));
          return;
        }
        callback(DecodeReply(codec, reply));
      });
}

void PeerServer::Invoke(const std::string& channel,
                        const std::string& method,
                        FlValue* args,
                        ResponseCallback callback) {
  SendMethodCall(channel, method, args, std::move(callback));
}

void PeerServer::ListenChannel(const std::string& channel,
                               FlValue* args,
                               ResponseCallback callback) {
  // Marked before the call goes out: the engine may send the first events
  // right after its reply, in the same read.
  event_channels_.insert(channel);
  SendMethodCall(channel, "listen", args, std::move(callback));
}

void PeerServer::CancelChannel(const std::string& channel,
                               FlValue* args,
                               ResponseCallback callback) {
  SendMethodCall(channel, "cancel", args, std::move(callback));
}

bool PeerServer::IsEventChannel(const std::string& channel) const {
  return event_channels_.count(channel) > 0;
}

void PeerServer::Post(std::function<void()> task) {
  GSource* source = g_idle_source_new();
  g_source_set_callback(source, RunPostedTask,
                        new PostedTask{std::move(task), alive_},
                        DeletePostedTask);
  g_source_attach(source, context_);
  g_source_unref(source);
}

}  // namespace dart_peer
