// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/value_json.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace dart_peer {

namespace {

constexpr char kFloatTag[] = "$float";
constexpr char kMapTag[] = "$map";
constexpr char kUint8Tag[] = "$uint8";
constexpr char kInt32Tag[] = "$int32";
constexpr char kInt64Tag[] = "$int64";
constexpr char kFloat32Tag[] = "$float32";
constexpr char kFloat64Tag[] = "$float64";

Json Tagged(const char* tag, Json value) {
  Json object = Json::object();
  object[tag] = std::move(value);
  return object;
}

// A double as JSON: a number, or the tagged spelling of NaN and infinity.
Json DoubleToJson(double value, bool single_precision) {
  if (std::isnan(value)) {
    return Tagged(kFloatTag, "nan");
  }
  if (std::isinf(value)) {
    return Tagged(kFloatTag, value > 0 ? "inf" : "-inf");
  }
  return single_precision ? WidenFloat32(static_cast<float>(value)) : value;
}

// True when a map's keys are distinct strings and the map cannot be taken
// for a tagged form, so that it can be written as a plain object.
bool IsPlainObject(FlValue* map) {
  size_t length = fl_value_get_length(map);
  std::unordered_set<std::string> keys;
  for (size_t i = 0; i < length; i++) {
    FlValue* key = fl_value_get_map_key(map, i);
    if (fl_value_get_type(key) != FL_VALUE_TYPE_STRING ||
        !keys.insert(fl_value_get_string(key)).second) {
      return false;
    }
  }
  if (length == 1) {
    const gchar* only = fl_value_get_string(fl_value_get_map_key(map, 0));
    return only[0] != '$';
  }
  return true;
}

// Accepts standard base64 with padding and nothing else, so that a typo in
// a request is reported instead of silently dropped by a lenient decoder.
bool IsStrictBase64(const std::string& text) {
  if (text.size() % 4 != 0) {
    return false;
  }
  size_t padding = 0;
  for (size_t i = 0; i < text.size(); i++) {
    char c = text[i];
    if (c == '=') {
      padding++;
      continue;
    }
    if (padding > 0) {
      return false;
    }
    if (!(g_ascii_isalnum(c) || c == '+' || c == '/')) {
      return false;
    }
  }
  return padding <= 2;
}

// Reads a float element of a "$float32"/"$float64" list or a "$float" tag.
bool JsonToDouble(const Json& json, double* value, std::string* error) {
  if (json.is_number()) {
    *value = json.get<double>();
    return true;
  }
  const Json* tag =
      json.is_object() && json.size() == 1 ? Find(json, kFloatTag) : nullptr;
  if (tag != nullptr && tag->is_string()) {
    const std::string& name = tag->get_ref<const std::string&>();
    if (name == "nan") {
      *value = NAN;
      return true;
    }
    if (name == "inf") {
      *value = INFINITY;
      return true;
    }
    if (name == "-inf") {
      *value = -INFINITY;
      return true;
    }
  }
  *error = "expected a number or {\"$float\": \"nan\"|\"inf\"|\"-inf\"}, got " +
           Serialize(json);
  return false;
}

FlValue* TaggedToValue(const std::string& tag,
                       const Json& body,
                       std::string* error) {
  if (tag == kFloatTag) {
    double value = 0;
    if (!JsonToDouble(Tagged(kFloatTag, body), &value, error)) {
      return nullptr;
    }
    return fl_value_new_float(value);
  }
  if (tag == kUint8Tag) {
    if (!body.is_string() ||
        !IsStrictBase64(body.get_ref<const std::string&>())) {
      *error = "\"$uint8\" needs a base64 string";
      return nullptr;
    }
    const std::string& text = body.get_ref<const std::string&>();
    gsize length = 0;
    g_autofree guchar* bytes =
        text.empty() ? nullptr : g_base64_decode(text.c_str(), &length);
    return fl_value_new_uint8_list(bytes, length);
  }
  if (tag == kMapTag) {
    if (!body.is_array()) {
      *error = "\"$map\" needs an array of [key, value] pairs";
      return nullptr;
    }
    g_autoptr(FlValue) map = fl_value_new_map();
    for (const Json& entry : body) {
      if (!entry.is_array() || entry.size() != 2) {
        *error =
            "\"$map\" entry is not a [key, value] pair: " + Serialize(entry);
        return nullptr;
      }
      FlValue* key = JsonToValue(entry[0], error);
      if (key == nullptr) {
        return nullptr;
      }
      FlValue* value = JsonToValue(entry[1], error);
      if (value == nullptr) {
        fl_value_unref(key);
        return nullptr;
      }
      fl_value_set_take(map, key, value);
    }
    return static_cast<FlValue*>(g_steal_pointer(&map));
  }
  const bool is_int32 = tag == kInt32Tag;
  const bool is_int64 = tag == kInt64Tag;
  const bool is_float32 = tag == kFloat32Tag;
  const bool is_float64 = tag == kFloat64Tag;
  if (!(is_int32 || is_int64 || is_float32 || is_float64)) {
    *error = "unknown tag \"" + tag + "\"";
    return nullptr;
  }
  if (!body.is_array()) {
    *error = "\"" + tag + "\" needs an array";
    return nullptr;
  }
  if (is_int32 || is_int64) {
    std::vector<int32_t> ints32;
    std::vector<int64_t> ints64;
    for (const Json& element : body) {
      int64_t value = element.is_number_integer() ? element.get<int64_t>() : 0;
      if (!element.is_number_integer() ||
          (is_int32 && (value < INT32_MIN || value > INT32_MAX))) {
        *error = "\"" + tag + "\" element is not a " +
                 (is_int32 ? "32" : "64") +
                 "-bit integer: " + Serialize(element);
        return nullptr;
      }
      ints32.push_back(static_cast<int32_t>(value));
      ints64.push_back(value);
    }
    return is_int32 ? fl_value_new_int32_list(ints32.data(), ints32.size())
                    : fl_value_new_int64_list(ints64.data(), ints64.size());
  }
  std::vector<float> floats32;
  std::vector<double> floats64;
  for (const Json& element : body) {
    double value = 0;
    if (!JsonToDouble(element, &value, error)) {
      *error = "\"" + tag + "\" element: " + *error;
      return nullptr;
    }
    if (is_float32 && std::isfinite(value) && std::fabs(value) > FLT_MAX) {
      *error = "\"$float32\" element is out of the float range: " +
               Serialize(element);
      return nullptr;
    }
    floats32.push_back(static_cast<float>(value));
    floats64.push_back(value);
  }
  return is_float32
             ? fl_value_new_float32_list(floats32.data(), floats32.size())
             : fl_value_new_float_list(floats64.data(), floats64.size());
}

}  // namespace

Json ValueToJson(FlValue* value) {
  if (value == nullptr) {
    return Json();
  }
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      return Json();
    case FL_VALUE_TYPE_BOOL:
      return static_cast<bool>(fl_value_get_bool(value));
    case FL_VALUE_TYPE_INT:
      return fl_value_get_int(value);
    case FL_VALUE_TYPE_FLOAT:
      return DoubleToJson(fl_value_get_float(value), false);
    case FL_VALUE_TYPE_STRING:
      return fl_value_get_string(value);
    case FL_VALUE_TYPE_UINT8_LIST: {
      size_t length = fl_value_get_length(value);
      g_autofree gchar* encoded =
          length == 0 ? g_strdup("")
                      : g_base64_encode(fl_value_get_uint8_list(value), length);
      return Tagged(kUint8Tag, encoded);
    }
    case FL_VALUE_TYPE_INT32_LIST: {
      Json array = Json::array();
      const int32_t* data = fl_value_get_int32_list(value);
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(data[i]);
      }
      return Tagged(kInt32Tag, std::move(array));
    }
    case FL_VALUE_TYPE_INT64_LIST: {
      Json array = Json::array();
      const int64_t* data = fl_value_get_int64_list(value);
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(data[i]);
      }
      return Tagged(kInt64Tag, std::move(array));
    }
    case FL_VALUE_TYPE_FLOAT32_LIST: {
      Json array = Json::array();
      const float* data = fl_value_get_float32_list(value);
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(DoubleToJson(data[i], true));
      }
      return Tagged(kFloat32Tag, std::move(array));
    }
    case FL_VALUE_TYPE_FLOAT_LIST: {
      Json array = Json::array();
      const double* data = fl_value_get_float_list(value);
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(DoubleToJson(data[i], false));
      }
      return Tagged(kFloat64Tag, std::move(array));
    }
    case FL_VALUE_TYPE_LIST: {
      Json array = Json::array();
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        array.push_back(ValueToJson(fl_value_get_list_value(value, i)));
      }
      return array;
    }
    case FL_VALUE_TYPE_MAP: {
      size_t length = fl_value_get_length(value);
      if (IsPlainObject(value)) {
        Json object = Json::object();
        for (size_t i = 0; i < length; i++) {
          object[fl_value_get_string(fl_value_get_map_key(value, i))] =
              ValueToJson(fl_value_get_map_value(value, i));
        }
        return object;
      }
      Json entries = Json::array();
      for (size_t i = 0; i < length; i++) {
        Json pair = Json::array();
        pair.push_back(ValueToJson(fl_value_get_map_key(value, i)));
        pair.push_back(ValueToJson(fl_value_get_map_value(value, i)));
        entries.push_back(std::move(pair));
      }
      return Tagged(kMapTag, std::move(entries));
    }
  }
  // A type this build does not know (a newer engine's custom value): null
  // keeps the line protocol going, and the warning says what was lost.
  g_warning("dart_peer: value of unknown type %d shown as null",
            static_cast<int>(fl_value_get_type(value)));
  return Json();
}

FlValue* JsonToValue(const Json& json, std::string* error) {
  switch (json.type()) {
    case Json::value_t::null:
      return fl_value_new_null();
    case Json::value_t::boolean:
      return fl_value_new_bool(json.get<bool>());
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return fl_value_new_int(json.get<int64_t>());
    case Json::value_t::number_float:
      return fl_value_new_float(json.get<double>());
    case Json::value_t::string: {
      const std::string& text = json.get_ref<const std::string&>();
      if (memchr(text.data(), '\0', text.size()) != nullptr) {
        *error = "strings cannot hold a NUL character";
        return nullptr;
      }
      return fl_value_new_string(text.c_str());
    }
    case Json::value_t::array: {
      g_autoptr(FlValue) list = fl_value_new_list();
      for (const Json& element : json) {
        FlValue* child = JsonToValue(element, error);
        if (child == nullptr) {
          return nullptr;
        }
        fl_value_append_take(list, child);
      }
      return static_cast<FlValue*>(g_steal_pointer(&list));
    }
    case Json::value_t::object: {
      if (json.size() == 1 && json.begin().key().rfind('$', 0) == 0) {
        return TaggedToValue(json.begin().key(), json.begin().value(), error);
      }
      g_autoptr(FlValue) map = fl_value_new_map();
      for (const auto& member : json.items()) {
        FlValue* child = JsonToValue(member.value(), error);
        if (child == nullptr) {
          return nullptr;
        }
        const std::string& key = member.key();
        if (memchr(key.data(), '\0', key.size()) != nullptr) {
          fl_value_unref(child);
          *error = "strings cannot hold a NUL character";
          return nullptr;
        }
        fl_value_set_string_take(map, key.c_str(), child);
      }
      return static_cast<FlValue*>(g_steal_pointer(&map));
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  *error = "unknown JSON type";
  return nullptr;
}

}  // namespace dart_peer
