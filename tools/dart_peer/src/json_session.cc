// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/json_session.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dart_peer/texture_image.h"
#include "dart_peer/value_json.h"

namespace dart_peer {

namespace {

// Longest "wait" accepted: a day, well past any test, far from overflow.
constexpr int64_t kMaxWaitMs = 24 * 60 * 60 * 1000;

struct Verb {
  const char* name;
  std::vector<const char*> members;  // Allowed besides "id" and the verb.
};

const Verb kVerbs[] = {
    {"invoke", {"method", "args"}}, {"listen", {"args"}}, {"cancel", {"args"}},
    {"texture", {"png"}},           {"wait", {}},
};

bool IsBlank(std::string_view line) {
  return std::all_of(line.begin(), line.end(), [](char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
  });
}

Json ErrorObject(const std::string& code,
                 const std::optional<std::string>& message,
                 FlValue* details) {
  Json error = Json::object();
  error["code"] = code;
  error["message"] = message ? Json(*message) : Json();
  error["details"] = ValueToJson(details);
  return error;
}

// Reads the optional "args" member into *args (null when absent).
bool ReadArgs(const Json& request, ValuePtr* args, std::string* error) {
  const Json* json = Find(request, "args");
  if (json == nullptr) {
    args->reset(fl_value_new_null());
    return true;
  }
  std::string reason;
  FlValue* value = JsonToValue(*json, &reason);
  if (value == nullptr) {
    *error = "\"args\": " + reason;
    return false;
  }
  args->reset(value);
  return true;
}

// Reads a required non-empty string member.
bool ReadName(const Json& request,
              const char* key,
              std::string* out,
              std::string* error) {
  const Json* json = Find(request, key);
  if (json == nullptr || !json->is_string() ||
      json->get_ref<const std::string&>().empty()) {
    *error = std::string("\"") + key + "\" must be a non-empty string";
    return false;
  }
  *out = json->get<std::string>();
  return true;
}

}  // namespace

struct JsonSession::WaitRecord {
  JsonSession* session;
  int64_t id;
  int64_t ms;
};

JsonSession::JsonSession(PeerServer* server, Writer writer)
    : server_(server),
      writer_(std::move(writer)),
      alive_(std::make_shared<bool>(true)) {}

JsonSession::~JsonSession() {
  *alive_ = false;
  for (auto& entry : waits_) {
    g_source_destroy(entry.second);
    g_source_unref(entry.second);
  }
}

void JsonSession::Write(const Json& line) {
  writer_(Serialize(line));
}

void JsonSession::WriteBadRequest(const Json* id, const std::string& reason) {
  Json line = Json::object();
  if (id != nullptr) {
    line["id"] = *id;
  }
  line["badRequest"] = reason;
  Write(line);
}

void JsonSession::HandleOverlongLine() {
  WriteBadRequest(nullptr, "line too long");
}

void JsonSession::HandleLine(std::string_view line) {
  if (IsBlank(line)) {
    return;
  }
  Json request;
  std::string error;
  if (!ParseJson(line, &request, &error)) {
    WriteBadRequest(nullptr, error);
    return;
  }
  if (!request.is_object()) {
    WriteBadRequest(nullptr, "a request must be a JSON object");
    return;
  }
  const Json* id = Find(request, "id");
  if (id == nullptr) {
    WriteBadRequest(nullptr, "missing \"id\"");
    return;
  }
  if (!id->is_number_integer()) {
    WriteBadRequest(nullptr, "\"id\" must be an integer");
    return;
  }
  const int64_t number = id->get<int64_t>();
  if (open_ids_.count(number) > 0) {
    WriteBadRequest(id, "id " + std::to_string(number) + " is still open");
    return;
  }
  if (!Dispatch(request, number, &error)) {
    WriteBadRequest(id, error);
  }
}

bool JsonSession::Dispatch(const Json& request,
                           int64_t id,
                           std::string* error) {
  const Verb* verb = nullptr;
  for (const Verb& candidate : kVerbs) {
    if (Find(request, candidate.name) == nullptr) {
      continue;
    }
    if (verb != nullptr) {
      *error = std::string("more than one request in a line: \"") + verb->name +
               "\" and \"" + candidate.name + "\"";
      return false;
    }
    verb = &candidate;
  }
  if (verb == nullptr) {
    *error =
        "unknown request: expected one of \"invoke\", \"listen\", "
        "\"cancel\", \"texture\", \"wait\"";
    return false;
  }
  for (const auto& member : request.items()) {
    const std::string& key = member.key();
    bool allowed =
        key == "id" || key == verb->name ||
        std::any_of(verb->members.begin(), verb->members.end(),
                    [&key](const char* name) { return key == name; });
    if (!allowed) {
      *error =
          "unknown member \"" + key + "\" in a \"" + verb->name + "\" request";
      return false;
    }
  }
  const std::string name = verb->name;
  if (name == "invoke" || name == "listen" || name == "cancel") {
    std::string channel;
    std::string method;
    ValuePtr args;
    if (!ReadName(request, verb->name, &channel, error) ||
        (name == "invoke" && !ReadName(request, "method", &method, error)) ||
        !ReadArgs(request, &args, error)) {
      return false;
    }
    open_ids_.insert(id);
    auto answer = Callback(
        id, [](JsonSession* session, int64_t request_id, Response response) {
          session->Answer(request_id, std::move(response));
        });
    if (name == "invoke") {
      server_->Invoke(channel, method, args.get(), std::move(answer));
    } else if (name == "listen") {
      server_->ListenChannel(channel, args.get(), std::move(answer));
    } else {
      server_->CancelChannel(channel, args.get(), std::move(answer));
    }
    return true;
  }
  if (name == "texture") {
    const Json* texture = Find(request, "texture");
    if (!texture->is_number_integer()) {
      *error = "\"texture\" must be an integer texture id";
      return false;
    }
    std::string png;
    const Json* png_json = Find(request, "png");
    if (png_json != nullptr && !ReadName(request, "png", &png, error)) {
      return false;
    }
    open_ids_.insert(id);
    g_autoptr(FlValue) args = fl_value_new_map();
    fl_value_set_string_take(args, "id",
                             fl_value_new_int(texture->get<int64_t>()));
    server_->Invoke(kEngineChannel, "readTexture", args,
                    Callback(id, [png](JsonSession* session, int64_t request_id,
                                       Response response) {
                      session->AnswerTexture(request_id, std::move(response),
                                             png);
                    }));
    return true;
  }
  // "wait"
  const Json* wait = Find(request, "wait");
  const int64_t ms = wait->is_number_integer() ? wait->get<int64_t>() : -1;
  if (ms < 0 || ms > kMaxWaitMs) {
    *error = "\"wait\" must be a whole number of milliseconds from 0 to " +
             std::to_string(kMaxWaitMs);
    return false;
  }
  open_ids_.insert(id);
  GSource* source = g_timeout_source_new(static_cast<guint>(ms));
  g_source_set_callback(
      source, OnWaitDone, new WaitRecord{this, id, ms},
      [](gpointer data) { delete static_cast<WaitRecord*>(data); });
  g_source_attach(source, server_->context());
  waits_[id] = source;
  return true;
}

// Called when the time of a "wait" request has passed.
gboolean JsonSession::OnWaitDone(gpointer user_data) {
  auto* record = static_cast<WaitRecord*>(user_data);
  JsonSession* self = record->session;
  auto it = self->waits_.find(record->id);
  if (it != self->waits_.end()) {
    g_source_unref(it->second);
    self->waits_.erase(it);
  }
  self->open_ids_.erase(record->id);
  Json line = Json::object();
  line["id"] = record->id;
  line["waited"] = record->ms;
  self->Write(line);
  return G_SOURCE_REMOVE;
}

PeerServer::ResponseCallback JsonSession::Callback(
    int64_t id,
    std::function<void(JsonSession*, int64_t, Response)> handler) {
  return [this, alive = alive_, id,
          handler = std::move(handler)](Response response) {
    if (*alive) {
      handler(this, id, std::move(response));
    }
  };
}

void JsonSession::Answer(int64_t id, Response response) {
  open_ids_.erase(id);
  Json line = Json::object();
  line["id"] = id;
  switch (response.kind) {
    case ResponseKind::kSuccess:
      line["result"] = ValueToJson(response.result.get());
      break;
    case ResponseKind::kError:
      line["error"] =
          ErrorObject(response.code, response.message, response.details.get());
      break;
    case ResponseKind::kNotImplemented:
      line["notImplemented"] = true;
      break;
    case ResponseKind::kDisconnected:
    case ResponseKind::kTimedOut:
      line["disconnected"] = response.reason;
      break;
    case ResponseKind::kUndecodable:
      line["badReply"] = response.reason;
      break;
  }
  Write(line);
}

void JsonSession::AnswerTexture(int64_t id,
                                Response response,
                                const std::string& png) {
  if (response.kind != ResponseKind::kSuccess) {
    Answer(id, std::move(response));
    return;
  }
  TextureImage image;
  std::string error;
  if (!TextureImageFromValue(response.result.get(), &image, &error)) {
    Response bad;
    bad.kind = ResponseKind::kUndecodable;
    bad.reason = error;
    Answer(id, std::move(bad));
    return;
  }
  open_ids_.erase(id);
  Json line = Json::object();
  line["id"] = id;
  line["width"] = image.width;
  line["height"] = image.height;
  line["sha256"] = image.Sha256();
  if (image.empty()) {
    line["center"] = Json();
  } else {
    Json center = Json::array();
    for (uint8_t channel : image.Center()) {
      center.push_back(channel);
    }
    line["center"] = std::move(center);
  }
  if (!png.empty()) {
    if (SaveTexturePng(image, png, &error)) {
      line["png"] = png;
    } else {
      line["pngError"] = error;
    }
  }
  Write(line);
}

void JsonSession::OnHello(const Hello& hello) {
  Json args = Json::array();
  for (const std::string& arg : hello.args) {
    args.push_back(arg);
  }
  Json body = Json::object();
  body["pid"] = hello.pid;
  body["args"] = std::move(args);
  Json line = Json::object();
  line["hello"] = std::move(body);
  Write(line);
}

void JsonSession::OnEvent(const ChannelEvent& event) {
  Json line = Json::object();
  line["channel"] = event.channel;
  switch (event.kind) {
    case EventKind::kEvent:
      line["event"] = ValueToJson(event.value.get());
      break;
    case EventKind::kError:
      line["eventError"] =
          ErrorObject(event.code, event.message, event.details.get());
      break;
    case EventKind::kEndOfStream:
      line["endOfStream"] = true;
      break;
  }
  Write(line);
}

void JsonSession::OnMethodCall(const MethodCall& call) {
  Json line = Json::object();
  line["channel"] = call.channel;
  line["methodCall"] = call.method;
  line["args"] = ValueToJson(call.args.get());
  Write(line);
}

void JsonSession::OnOtherMessage(const std::string& channel,
                                 const std::vector<uint8_t>& message) {
  g_autoptr(FlValue) bytes =
      fl_value_new_uint8_list(message.data(), message.size());
  Json line = Json::object();
  line["channel"] = channel;
  line["message"] = ValueToJson(bytes);
  Write(line);
}

void JsonSession::OnExit(const ExitStatus& status) {
  Json line = Json::object();
  line[status.signaled ? "signal" : "exit"] = status.code;
  Write(line);
}

}  // namespace dart_peer
