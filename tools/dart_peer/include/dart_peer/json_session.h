// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_SESSION_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_SESSION_H_

#include <glib.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "dart_peer/json.h"
#include "dart_peer/peer_server.h"

namespace dart_peer {

// The JSON line protocol of zelkoz-dart over a PeerServer: one request per
// input line, one output line for everything that happens.
//
// Requests (every one carries an integer "id", echoed in its answer; an id
// may not be reused while its request is open):
//   {"id", "invoke": CHANNEL, "method": NAME, "args": V (optional)}
//   {"id", "listen": CHANNEL, "args": V (optional)}
//   {"id", "cancel": CHANNEL, "args": V (optional)}
//   {"id", "texture": ID, "png": PATH (optional)}
//   {"id", "wait": MS}
// Answers:
//   {"id", "result": V} | {"id", "error": {"code", "message", "details"}}
//   | {"id", "notImplemented": true}
//   | {"id", "disconnected": REASON}  the program's connection closed, or the
//                                     program ended, before the reply
//   | {"id", "badReply": REASON}      the reply was not a method envelope, or
//                                     not a texture
//   {"id", "width", "height", "sha256", "center": [r, g, b, a] or null,
//    "png": PATH | "pngError": REASON}  for "texture"
//   {"id", "waited": MS}
// Unprompted lines:
//   {"hello": {"pid", "args"}}
//   {"channel", "event": V} | {"channel", "eventError": {...}}
//   | {"channel", "endOfStream": true}
//   {"channel", "methodCall": NAME, "args": V}  (answered with null success)
//   {"channel", "message": {"$uint8": ...}}     (not a method call; answered
//                                                as not handled)
//   {"exit": STATUS} | {"signal": NUMBER}
// A malformed line gets {"badRequest": REASON} (with "id" first when the
// line had a usable one) and changes nothing. Blank lines are ignored.
class JsonSession : public PeerServer::Observer {
 public:
  using Writer = std::function<void(const std::string& line)>;

  // |server| must outlive the session; the caller makes the session its
  // observer. |writer| gets each output line without its newline.
  JsonSession(PeerServer* server, Writer writer);
  ~JsonSession() override;
  JsonSession(const JsonSession&) = delete;
  JsonSession& operator=(const JsonSession&) = delete;

  void HandleLine(std::string_view line);
  // Answers {"badRequest": "line too long"}.
  void HandleOverlongLine();

  // Requests not answered yet.
  size_t open_requests() const { return open_ids_.size(); }

  // PeerServer::Observer.
  void OnHello(const Hello& hello) override;
  void OnEvent(const ChannelEvent& event) override;
  void OnMethodCall(const MethodCall& call) override;
  void OnOtherMessage(const std::string& channel,
                      const std::vector<uint8_t>& message) override;
  void OnExit(const ExitStatus& status) override;

 private:
  struct WaitRecord;

  static gboolean OnWaitDone(gpointer user_data);

  // Checks a request; on success the verb's work has started.
  bool Dispatch(const Json& request, int64_t id, std::string* error);
  void Write(const Json& line);
  void WriteBadRequest(const Json* id, const std::string& reason);
  // Writes the answer for |response| and closes |id|.
  void Answer(int64_t id, Response response);
  void AnswerTexture(int64_t id, Response response, const std::string& png);
  PeerServer::ResponseCallback Callback(
      int64_t id,
      std::function<void(JsonSession*, int64_t, Response)> handler);

  PeerServer* server_;  // Weak.
  Writer writer_;
  std::set<int64_t> open_ids_;
  std::map<int64_t, GSource*> waits_;  // Owned, attached.
  // Cleared in the destructor; reply callbacks check it.
  std::shared_ptr<bool> alive_;
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_SESSION_H_
