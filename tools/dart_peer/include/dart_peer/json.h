// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_
#define TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace dart_peer {

// A JSON document as the peer's line protocol uses it. Unlike most JSON
// libraries it keeps integers and floats apart: "1" parses as an integer and
// "1.0" as a float, and a float always serialises with a fraction or an
// exponent, so the distinction survives a round trip. Objects keep their
// members in insertion order.
class Json {
 public:
  enum class Type { kNull, kBool, kInt, kFloat, kString, kArray, kObject };
  using Array = std::vector<Json>;
  using Member = std::pair<std::string, Json>;
  using Object = std::vector<Member>;

  // Nesting deeper than this is refused by Parse, so that hostile input
  // cannot exhaust the stack.
  static constexpr int kMaxDepth = 256;

  Json() = default;
  static Json Bool(bool value);
  static Json Int(int64_t value);
  // |value| must be finite; JSON has no spelling for NaN or infinity.
  static Json Float(double value);
  // A float that came from single precision: it serialises with the
  // shortest digits that read back as the same float.
  static Json Float32(float value);
  static Json String(std::string value);
  static Json MakeArray();
  static Json MakeObject();

  Type type() const { return type_; }
  bool is_null() const { return type_ == Type::kNull; }
  bool is_bool() const { return type_ == Type::kBool; }
  bool is_int() const { return type_ == Type::kInt; }
  bool is_float() const { return type_ == Type::kFloat; }
  // An integer or a float.
  bool is_number() const { return is_int() || is_float(); }
  bool is_string() const { return type_ == Type::kString; }
  bool is_array() const { return type_ == Type::kArray; }
  bool is_object() const { return type_ == Type::kObject; }

  bool bool_value() const { return bool_; }
  int64_t int_value() const { return int_; }
  double float_value() const { return float_; }
  // The value of an integer or a float as a double.
  double number_value() const {
    return is_int() ? static_cast<double>(int_) : float_;
  }
  const std::string& string_value() const { return string_; }
  const Array& array() const { return array_; }
  Array& array() { return array_; }
  const Object& object() const { return object_; }

  // The member |key| of an object, or nullptr.
  const Json* Find(std::string_view key) const;
  // Sets member |key| of an object, replacing an existing one in place.
  Json& Set(std::string key, Json value);
  // Appends to an array.
  Json& Append(Json value);

  // Compact serialisation on one line, with no trailing newline.
  std::string Serialize() const;

  // Parses one complete JSON text (RFC 8259; surrounding white space is
  // allowed). Integers outside the signed 64-bit range, duplicate object
  // keys, invalid UTF-8 and trailing content are errors. On failure returns
  // false with a reason in *error and leaves *out alone.
  static bool Parse(std::string_view text, Json* out, std::string* error);

  bool operator==(const Json& other) const;
  bool operator!=(const Json& other) const { return !(*this == other); }

 private:
  void SerializeTo(std::string* out) const;

  Type type_ = Type::kNull;
  bool bool_ = false;
  bool single_precision_ = false;  // kFloat only: print as a float32.
  int64_t int_ = 0;
  double float_ = 0.0;
  std::string string_;
  Array array_;
  Object object_;
};

// The shortest decimal spelling of |value| that reads back as the same
// double, always with a fraction or an exponent ("1.0", "1e+300").
std::string FormatDouble(double value);
// The same for a single-precision value ("0.1" for 0.1f).
std::string FormatFloat32(float value);

}  // namespace dart_peer

#endif  // TOOLS_DART_PEER_INCLUDE_DART_PEER_JSON_H_
