// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_TYPES_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_TYPES_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dart_peer {

struct FlValueUnref {
  void operator()(FlValue* value) const {
    if (value != nullptr) {
      fl_value_unref(value);
    }
  }
};
// An owned reference to a value.
using ValuePtr = std::unique_ptr<FlValue, FlValueUnref>;

// A new reference to |value|, or a null value when |value| is nullptr, so
// that a ValuePtr taken from here is never empty.
ValuePtr RefValue(FlValue* value);

// How a request to the engine ended.
enum class ResponseKind {
  kSuccess,         // success envelope; result holds the value
  kError,           // error envelope; code, message, details
  kNotImplemented,  // empty reply
  kDisconnected,    // the connection closed, or the program ended, first
  kTimedOut,        // a synchronous wait gave up; the request stays open
  kUndecodable,     // a reply that is not a method envelope
};

const char* ResponseKindName(ResponseKind kind);

struct Response {
  ResponseKind kind = ResponseKind::kDisconnected;
  ValuePtr result;   // kSuccess: never empty
  std::string code;  // kError
  std::optional<std::string>
      message;         // kError: nullopt when the engine sent null
  ValuePtr details;    // kError: never empty
  std::string reason;  // kDisconnected, kTimedOut, kUndecodable: why
};

// The engine connected and introduced itself.
struct Hello {
  int64_t pid = 0;
  std::vector<std::string> args;
  int connection = 0;  // 1 for the first connection, then 2, ...
};

enum class EventKind { kEvent, kError, kEndOfStream };

// One message on a channel the peer listens to.
struct ChannelEvent {
  std::string channel;
  EventKind kind = EventKind::kEvent;
  ValuePtr value;                      // kEvent: never empty
  std::string code;                    // kError
  std::optional<std::string> message;  // kError
  ValuePtr details;                    // kError: never empty
};

// The engine called a method of the Dart side.
struct MethodCall {
  std::string channel;
  std::string method;
  ValuePtr args;  // never empty
};

// How the program ended.
struct ExitStatus {
  bool signaled = false;        // killed by a signal rather than exiting
  int code = 0;                 // exit status, or the signal number
  bool killed_by_peer = false;  // the signal was the peer's own Kill()
};

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_PEER_TYPES_H_
