// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace dart_peer {

// A JSON document as the peer's line protocol uses it: integers and floats
// stay apart ("1" is an integer, "1.0" a float, and a float always
// serialises with a fraction or an exponent), and objects keep their members
// in insertion order.
using Json = nlohmann::ordered_json;

// Nesting deeper than this is refused by ParseJson: the documents are walked
// recursively, and a line may be many megabytes long.
constexpr int kMaxJsonDepth = 256;

// Parses one complete JSON text (RFC 8259; surrounding white space is
// allowed). Integers outside the signed 64-bit range, floats outside the
// double range, duplicate object keys, invalid UTF-8, a byte order mark and
// trailing content are errors. On failure returns false with a reason in
// *error and leaves *out alone. Never throws.
bool ParseJson(std::string_view text, Json* out, std::string* error);

// Compact serialisation on one line, with no trailing newline. Strings built
// from engine values may hold invalid UTF-8; such bytes become U+FFFD so the
// line stays valid JSON. Non-finite floats, which JSON cannot spell, are
// written as null.
std::string Serialize(const Json& json);

// The member |key| of an object, or nullptr (also when |json| is no object).
const Json* Find(const Json& json, const std::string& key);

// |value| as a double that serialises with the fewest digits that read back
// as the same float ("0.1" for 0.1f, not "0.10000000149011612").
double WidenFloat32(float value);

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_
