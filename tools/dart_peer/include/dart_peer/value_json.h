// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_VALUE_JSON_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_VALUE_JSON_H_

#include <flutter_linux/flutter_linux.h>

#include <string>

#include "dart_peer/json.h"

namespace dart_peer {

// The mapping between engine values and the JSON of the line protocol:
//
//   null, bool, string       as themselves
//   int                      a number without fraction or exponent
//   float                    a number with a fraction or an exponent (1.0);
//                            NaN and the infinities, which JSON cannot spell,
//                            as {"$float": "nan" | "inf" | "-inf"}
//   list                     an array
//   map, all keys strings    an object
//   any other map            {"$map": [[key, value], ...]}
//   Uint8List                {"$uint8": "<base64>"}
//   Int32List, Int64List     {"$int32": [...]}, {"$int64": [...]}
//   Float32List, Float64List {"$float32": [...]}, {"$float64": [...]}
//
// An object with exactly one member whose name starts with "$" is always one
// of the tagged forms above. A string-keyed map that would look like one
// (one entry, key starting with "$") is therefore written as {"$map": ...},
// and a string-keyed map with duplicate keys likewise, so every value maps
// back to an equal value.

// Returns the JSON form of |value| (nullptr reads as null).
Json ValueToJson(FlValue* value);

// Returns a new value (transfer full) for |json|, or nullptr with the reason
// in *error: an unknown "$" tag, malformed base64, a typed list element that
// is not a number of that type, a "$map" entry that is not a pair, a string
// holding a NUL character.
FlValue* JsonToValue(const Json& json, std::string* error);

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_VALUE_JSON_H_
