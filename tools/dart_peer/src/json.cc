// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/json.h"

#include <glib.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unordered_set>

namespace dart_peer {

namespace {

// Lays out the decimal digits |digits| (no dot, first digit non-zero unless
// the value is zero) with decimal exponent |exponent| as a JSON number that
// always shows it is not an integer.
std::string LayOutDigits(bool negative,
                         const std::string& digits,
                         int exponent) {
  std::string out = negative ? "-" : "";
  if (exponent >= -5 && exponent < 17) {
    if (exponent >= 0) {
      std::string whole = digits.substr(
          0, std::min(digits.size(), static_cast<size_t>(exponent) + 1));
      whole.append(static_cast<size_t>(exponent) + 1 - whole.size(), '0');
      std::string fraction =
          digits.size() > whole.size()
              ? digits.substr(static_cast<size_t>(exponent) + 1)
              : "0";
      out += whole + "." + fraction;
    } else {
      out +=
          "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    }
    return out;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) {
    out += "." + digits.substr(1);
  }
  out += exponent < 0 ? "e-" : "e+";
  out += std::to_string(std::abs(exponent));
  return out;
}

// Splits the output of "%.Ne" into its digits and its exponent.
void SplitScientific(const char* text,
                     bool* negative,
                     std::string* digits,
                     int* exponent) {
  const char* p = text;
  *negative = *p == '-';
  if (*negative) {
    p++;
  }
  digits->clear();
  for (; *p != '\0' && *p != 'e'; p++) {
    if (*p != '.') {
      digits->push_back(*p);
    }
  }
  *exponent = *p == 'e' ? atoi(p + 1) : 0;
  // "%.Ne" may leave trailing zeros in the mantissa; they carry nothing.
  while (digits->size() > 1 && digits->back() == '0') {
    digits->pop_back();
  }
}

// Formats |value| with the fewest significant digits (up to |max_digits|)
// for which |round_trips| accepts the text.
template <typename RoundTrips>
std::string FormatShortest(double value,
                           int max_digits,
                           RoundTrips round_trips) {
  char buffer[G_ASCII_DTOSTR_BUF_SIZE];
  for (int precision = 1; precision <= max_digits; precision++) {
    g_autofree gchar* format = g_strdup_printf("%%.%de", precision - 1);
    g_ascii_formatd(buffer, sizeof(buffer), format, value);
    if (precision == max_digits ||
        round_trips(g_ascii_strtod(buffer, nullptr))) {
      break;
    }
  }
  bool negative = false;
  std::string digits;
  int exponent = 0;
  SplitScientific(buffer, &negative, &digits, &exponent);
  return LayOutDigits(negative, digits, exponent);
}

// GLib's UTF-8 checks stop at (or refuse) NUL, which JSON strings may hold
// as "\u0000"; these work on the pieces between NULs.
bool IsValidUtf8(const std::string& text) {
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    if (!g_utf8_validate_len(text.data() + start, end - start, nullptr)) {
      return false;
    }
    start = end + 1;
  }
  return true;
}

std::string MakeValidUtf8(const std::string& text) {
  std::string out;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\0', start);
    if (end == std::string::npos) {
      end = text.size();
    }
    g_autofree gchar* piece = g_utf8_make_valid(
        text.data() + start, static_cast<gssize>(end - start));
    out += piece;
    if (end < text.size()) {
      out.push_back('\0');
    }
    start = end + 1;
  }
  return out;
}

void AppendEscaped(std::string* out, const std::string& text) {
  // Strings built from engine values may hold invalid UTF-8; the line
  // protocol must stay valid JSON, so such bytes become U+FFFD.
  std::string valid;
  const std::string* source = &text;
  if (!IsValidUtf8(text)) {
    valid = MakeValidUtf8(text);
    source = &valid;
  }
  out->push_back('"');
  for (char c : *source) {
    switch (c) {
      case '"':
        out->append("\\\"");
        break;
      case '\\':
        out->append("\\\\");
        break;
      case '\n':
        out->append("\\n");
        break;
      case '\r':
        out->append("\\r");
        break;
      case '\t':
        out->append("\\t");
        break;
      case '\b':
        out->append("\\b");
        break;
      case '\f':
        out->append("\\f");
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escape[8];
          snprintf(escape, sizeof(escape), "\\u%04x",
                   static_cast<unsigned char>(c));
          out->append(escape);
        } else {
          out->push_back(c);
        }
    }
  }
  out->push_back('"');
}

// A recursive-descent parser over one JSON text.
class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  bool ParseDocument(Json* out, std::string* error) {
    SkipSpace();
    if (!ParseValue(out, 0)) {
      *error = error_;
      return false;
    }
    SkipSpace();
    if (pos_ != text_.size()) {
      Fail("unexpected content after the value");
      *error = error_;
      return false;
    }
    return true;
  }

 private:
  bool Fail(const std::string& reason) {
    if (error_.empty()) {
      error_ = "invalid JSON at offset " + std::to_string(pos_) + ": " + reason;
    }
    return false;
  }

  void SkipSpace() {
    while (pos_ < text_.size() &&
           (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\n' ||
            text_[pos_] == '\r')) {
      pos_++;
    }
  }

  bool ConsumeWord(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) {
      return Fail("unknown literal");
    }
    pos_ += word.size();
    return true;
  }

  bool ParseValue(Json* out, int depth) {
    if (depth > Json::kMaxDepth) {
      return Fail("nested too deeply");
    }
    if (pos_ >= text_.size()) {
      return Fail("a value is missing");
    }
    char c = text_[pos_];
    switch (c) {
      case 'n':
        *out = Json();
        return ConsumeWord("null");
      case 't':
        *out = Json::Bool(true);
        return ConsumeWord("true");
      case 'f':
        *out = Json::Bool(false);
        return ConsumeWord("false");
      case '"': {
        std::string s;
        if (!ParseString(&s)) {
          return false;
        }
        *out = Json::String(std::move(s));
        return true;
      }
      case '[':
        return ParseArray(out, depth);
      case '{':
        return ParseObject(out, depth);
      default:
        if (c == '-' || (c >= '0' && c <= '9')) {
          return ParseNumber(out);
        }
        return Fail(std::string("unexpected character '") + c + "'");
    }
  }

  bool ParseArray(Json* out, int depth) {
    pos_++;  // '['
    Json array = Json::MakeArray();
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      pos_++;
      *out = std::move(array);
      return true;
    }
    while (true) {
      SkipSpace();
      Json element;
      if (!ParseValue(&element, depth + 1)) {
        return false;
      }
      array.Append(std::move(element));
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        pos_++;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        pos_++;
        *out = std::move(array);
        return true;
      }
      return Fail("expected ',' or ']'");
    }
  }

  bool ParseObject(Json* out, int depth) {
    pos_++;  // '{'
    Json object = Json::MakeObject();
    std::unordered_set<std::string> keys;
    SkipSpace();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      pos_++;
      *out = std::move(object);
      return true;
    }
    while (true) {
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != '"') {
        return Fail("expected a member name");
      }
      std::string key;
      if (!ParseString(&key)) {
        return false;
      }
      if (!keys.insert(key).second) {
        return Fail("duplicate member \"" + key + "\"");
      }
      SkipSpace();
      if (pos_ >= text_.size() || text_[pos_] != ':') {
        return Fail("expected ':'");
      }
      pos_++;
      SkipSpace();
      Json value;
      if (!ParseValue(&value, depth + 1)) {
        return false;
      }
      object.Set(std::move(key), std::move(value));
      SkipSpace();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        pos_++;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        pos_++;
        *out = std::move(object);
        return true;
      }
      return Fail("expected ',' or '}'");
    }
  }

  bool ParseHex4(uint32_t* value) {
    if (pos_ + 4 > text_.size()) {
      return Fail("truncated \\u escape");
    }
    *value = 0;
    for (int i = 0; i < 4; i++) {
      int digit = g_ascii_xdigit_value(text_[pos_ + i]);
      if (digit < 0) {
        return Fail("bad \\u escape");
      }
      *value = *value * 16 + static_cast<uint32_t>(digit);
    }
    pos_ += 4;
    return true;
  }

  bool ParseString(std::string* out) {
    pos_++;  // '"'
    while (true) {
      if (pos_ >= text_.size()) {
        return Fail("unterminated string");
      }
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        pos_++;
        break;
      }
      if (c < 0x20) {
        return Fail("control character in string");
      }
      if (c != '\\') {
        out->push_back(static_cast<char>(c));
        pos_++;
        continue;
      }
      pos_++;
      if (pos_ >= text_.size()) {
        return Fail("unterminated string");
      }
      char escape = text_[pos_++];
      switch (escape) {
        case '"':
        case '\\':
        case '/':
          out->push_back(escape);
          break;
        case 'b':
          out->push_back('\b');
          break;
        case 'f':
          out->push_back('\f');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'u': {
          uint32_t unit = 0;
          if (!ParseHex4(&unit)) {
            return false;
          }
          if (unit >= 0xdc00 && unit <= 0xdfff) {
            return Fail("lone low surrogate");
          }
          if (unit >= 0xd800 && unit <= 0xdbff) {
            uint32_t low = 0;
            if (text_.substr(pos_, 2) != "\\u") {
              return Fail("lone high surrogate");
            }
            pos_ += 2;
            if (!ParseHex4(&low)) {
              return false;
            }
            if (low < 0xdc00 || low > 0xdfff) {
              return Fail("lone high surrogate");
            }
            unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
          }
          char utf8[8];
          int length = g_unichar_to_utf8(unit, utf8);
          out->append(utf8, static_cast<size_t>(length));
          break;
        }
        default:
          return Fail("bad escape");
      }
    }
    if (!IsValidUtf8(*out)) {
      return Fail("string is not valid UTF-8");
    }
    return true;
  }

  bool ParseNumber(Json* out) {
    size_t start = pos_;
    bool integral = true;
    if (text_[pos_] == '-') {
      pos_++;
    }
    if (pos_ >= text_.size() || !g_ascii_isdigit(text_[pos_])) {
      return Fail("bad number");
    }
    if (text_[pos_] == '0') {
      pos_++;
    } else {
      while (pos_ < text_.size() && g_ascii_isdigit(text_[pos_])) {
        pos_++;
      }
    }
    if (pos_ < text_.size() && text_[pos_] == '.') {
      integral = false;
      pos_++;
      if (pos_ >= text_.size() || !g_ascii_isdigit(text_[pos_])) {
        return Fail("bad number");
      }
      while (pos_ < text_.size() && g_ascii_isdigit(text_[pos_])) {
        pos_++;
      }
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      integral = false;
      pos_++;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) {
        pos_++;
      }
      if (pos_ >= text_.size() || !g_ascii_isdigit(text_[pos_])) {
        return Fail("bad number");
      }
      while (pos_ < text_.size() && g_ascii_isdigit(text_[pos_])) {
        pos_++;
      }
    }
    std::string literal(text_.substr(start, pos_ - start));
    errno = 0;
    if (integral) {
      gint64 value = g_ascii_strtoll(literal.c_str(), nullptr, 10);
      if (errno == ERANGE) {
        pos_ = start;
        return Fail("integer out of the 64-bit range");
      }
      *out = Json::Int(value);
      return true;
    }
    double value = g_ascii_strtod(literal.c_str(), nullptr);
    if (!std::isfinite(value)) {
      pos_ = start;
      return Fail("number out of range");
    }
    *out = Json::Float(value);
    return true;
  }

  std::string_view text_;
  size_t pos_ = 0;
  std::string error_;
};

}  // namespace

std::string FormatDouble(double value) {
  return FormatShortest(value, 17,
                        [value](double read) { return read == value; });
}

std::string FormatFloat32(float value) {
  return FormatShortest(static_cast<double>(value), 9, [value](double read) {
    return static_cast<float>(read) == value;
  });
}

Json Json::Bool(bool value) {
  Json json;
  json.type_ = Type::kBool;
  json.bool_ = value;
  return json;
}

Json Json::Int(int64_t value) {
  Json json;
  json.type_ = Type::kInt;
  json.int_ = value;
  return json;
}

Json Json::Float(double value) {
  Json json;
  json.type_ = Type::kFloat;
  json.float_ = value;
  return json;
}

Json Json::Float32(float value) {
  Json json = Float(static_cast<double>(value));
  json.single_precision_ = true;
  return json;
}

Json Json::String(std::string value) {
  Json json;
  json.type_ = Type::kString;
  json.string_ = std::move(value);
  return json;
}

Json Json::MakeArray() {
  Json json;
  json.type_ = Type::kArray;
  return json;
}

Json Json::MakeObject() {
  Json json;
  json.type_ = Type::kObject;
  return json;
}

const Json* Json::Find(std::string_view key) const {
  for (const Member& member : object_) {
    if (member.first == key) {
      return &member.second;
    }
  }
  return nullptr;
}

Json& Json::Set(std::string key, Json value) {
  for (Member& member : object_) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  object_.emplace_back(std::move(key), std::move(value));
  return object_.back().second;
}

Json& Json::Append(Json value) {
  array_.push_back(std::move(value));
  return array_.back();
}

std::string Json::Serialize() const {
  std::string out;
  SerializeTo(&out);
  return out;
}

void Json::SerializeTo(std::string* out) const {
  switch (type_) {
    case Type::kNull:
      out->append("null");
      break;
    case Type::kBool:
      out->append(bool_ ? "true" : "false");
      break;
    case Type::kInt:
      out->append(std::to_string(int_));
      break;
    case Type::kFloat:
      if (!std::isfinite(float_)) {
        // Callers map non-finite values to something else first; "null"
        // keeps the line valid JSON should one slip through.
        out->append("null");
      } else if (single_precision_) {
        out->append(FormatFloat32(static_cast<float>(float_)));
      } else {
        out->append(FormatDouble(float_));
      }
      break;
    case Type::kString:
      AppendEscaped(out, string_);
      break;
    case Type::kArray:
      out->push_back('[');
      for (size_t i = 0; i < array_.size(); i++) {
        if (i > 0) {
          out->push_back(',');
        }
        array_[i].SerializeTo(out);
      }
      out->push_back(']');
      break;
    case Type::kObject:
      out->push_back('{');
      for (size_t i = 0; i < object_.size(); i++) {
        if (i > 0) {
          out->push_back(',');
        }
        AppendEscaped(out, object_[i].first);
        out->push_back(':');
        object_[i].second.SerializeTo(out);
      }
      out->push_back('}');
      break;
  }
}

bool Json::Parse(std::string_view text, Json* out, std::string* error) {
  Parser parser(text);
  Json result;
  if (!parser.ParseDocument(&result, error)) {
    return false;
  }
  *out = std::move(result);
  return true;
}

bool Json::operator==(const Json& other) const {
  if (type_ != other.type_) {
    return false;
  }
  switch (type_) {
    case Type::kNull:
      return true;
    case Type::kBool:
      return bool_ == other.bool_;
    case Type::kInt:
      return int_ == other.int_;
    case Type::kFloat:
      return float_ == other.float_;
    case Type::kString:
      return string_ == other.string_;
    case Type::kArray:
      return array_ == other.array_;
    case Type::kObject:
      return object_ == other.object_;
  }
  return false;
}

}  // namespace dart_peer
