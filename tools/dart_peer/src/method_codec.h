// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_SRC_METHOD_CODEC_H_
#define TOOLS_DART_PEER_SRC_METHOD_CODEC_H_

#include <flutter_linux/flutter_linux.h>

#include <cstdint>
#include <string>
#include <vector>

#include "dart_peer/peer_types.h"

namespace dart_peer {

// The engine keeps its method-codec wrappers private, so the peer goes
// through the class vfuncs, which are public.

// Encodes a method call; false with *error if the codec refuses the value.
bool EncodeMethodCall(FlMethodCodec* codec,
                      const std::string& method,
                      FlValue* args,
                      std::vector<uint8_t>* out,
                      std::string* error);

// Decodes a method call; false when |message| is not one.
bool DecodeMethodCall(FlMethodCodec* codec,
                      const std::vector<uint8_t>& message,
                      std::string* method,
                      ValuePtr* args,
                      std::string* error);

// The bytes of a success envelope holding |result| (nullptr: null).
std::vector<uint8_t> EncodeSuccessEnvelope(FlMethodCodec* codec,
                                           FlValue* result);

// Turns reply bytes into a Response: empty is not implemented, a success or
// error envelope is itself, anything else is kUndecodable.
Response DecodeReply(FlMethodCodec* codec, const std::vector<uint8_t>& reply);

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_SRC_METHOD_CODEC_H_
