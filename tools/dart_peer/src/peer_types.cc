// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/peer_types.h"

namespace dart_peer {

ValuePtr RefValue(FlValue* value) {
  return ValuePtr(value != nullptr ? fl_value_ref(value) : fl_value_new_null());
}

const char* ResponseKindName(ResponseKind kind) {
  switch (kind) {
    case ResponseKind::kSuccess:
      return "success";
    case ResponseKind::kError:
      return "error";
    case ResponseKind::kNotImplemented:
      return "notImplemented";
    case ResponseKind::kDisconnected:
      return "disconnected";
    case ResponseKind::kTimedOut:
      return "timedOut";
    case ResponseKind::kUndecodable:
      return "undecodable";
  }
  return "unknown";
}

}  // namespace dart_peer
