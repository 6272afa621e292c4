// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/json.h"

#include <charconv>
#include <cstdint>
#include <vector>

namespace dart_peer {

namespace {

// Builds the document from the parser's events, refusing what the line
// protocol does not accept but the library would: integers beyond int64
// (which it reads as unsigned or as floats), duplicate keys (where it keeps
// the last) and deep nesting.
class Builder : public Json::json_sax_t {
 public:
  bool null() override { return Put(nullptr); }
  bool boolean(bool value) override { return Put(value); }
  bool number_integer(int64_t value) override { return Put(value); }
  bool number_unsigned(uint64_t value) override {
    if (value > static_cast<uint64_t>(INT64_MAX)) {
      return Fail("integer out of the 64-bit range");
    }
    return Put(static_cast<int64_t>(value));
  }
  bool number_float(double value, const std::string& text) override {
    if (text.find_first_of(".eE") == std::string::npos) {
      return Fail("integer out of the 64-bit range");
    }
    return Put(value);
  }
  bool string(std::string& value) override { return Put(std::move(value)); }
  // Text never holds binary values.
  bool binary(Json::binary_t&) override { return Fail("binary value"); }
  bool start_object(size_t) override { return Open(Json::object()); }
  bool key(std::string& key) override {
    if (open_.back()->contains(key)) {
      return Fail("duplicate member \"" + key + "\"");
    }
    key_ = std::move(key);
    return true;
  }
  bool end_object() override { return Close(); }
  bool start_array(size_t) override { return Open(Json::array()); }
  bool end_array() override { return Close(); }
  bool parse_error(size_t position,
                   const std::string&,
                   const Json::exception& error) override {
    // what() reads "[json.exception.parse_error.101] parse error at line 1,
    // column 5: REASON" or "[json.exception.out_of_range.406] REASON"; the
    // line and column say less than the offset.
    std::string reason = error.what();
    size_t start = reason.find("] ");
    start = start == std::string::npos ? 0 : start + 2;
    size_t colon = reason.find(": ", start);
    if (reason.compare(start, 12, "parse error ") == 0 &&
        colon != std::string::npos) {
      start = colon + 2;
    }
    error_ = "invalid JSON at offset " + std::to_string(position) + ": " +
             reason.substr(start);
    return false;
  }

  Json& root() { return root_; }
  const std::string& error() const { return error_; }

 private:
  bool Fail(const std::string& reason) {
    error_ = "invalid JSON: " + reason;
    return false;
  }

  // Places |value| in the innermost open container, or as the root.
  Json* Add(Json value) {
    if (open_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& container = *open_.back();
    if (container.is_array()) {
      container.push_back(std::move(value));
      return &container.back();
    }
    return &(container[key_] = std::move(value));
  }

  bool Put(Json value) {
    Add(std::move(value));
    return true;
  }

  bool Open(Json container) {
    if (open_.size() > kMaxJsonDepth) {
      return Fail("nested too deeply");
    }
    // The pointer stays valid: a container's parent grows only after it has
    // been closed.
    open_.push_back(Add(std::move(container)));
    return true;
  }

  bool Close() {
    open_.pop_back();
    return true;
  }

  Json root_;
  std::vector<Json*> open_;
  std::string key_;
  std::string error_;
};

}  // namespace

bool ParseJson(std::string_view text, Json* out, std::string* error) {
  // The library skips a byte order mark and stops at a NUL byte, taking
  // what follows for the end of the input; neither belongs in a JSON text.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") {
    *error = "invalid JSON at offset 0: byte order mark";
    return false;
  }
  size_t nul = text.find('\0');
  if (nul != std::string_view::npos) {
    *error = "invalid JSON at offset " + std::to_string(nul) + ": NUL byte";
    return false;
  }
  Builder builder;
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) {
    *error = builder.error();
    return false;
  }
  *out = std::move(builder.root());
  return true;
}

std::string Serialize(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const Json* Find(const Json& json, const std::string& key) {
  auto it = json.find(key);
  return it == json.end() ? nullptr : &*it;
}

double WidenFloat32(float value) {
  char digits[32];
  std::to_chars_result end =
      std::to_chars(digits, digits + sizeof(digits), value);
  double widened = static_cast<double>(value);
  std::from_chars(digits, end.ptr, widened);
  // The reader narrows the double it parses; should that land elsewhere
  // (or the value not be finite) the exact widening is kept.
  return static_cast<float>(widened) == value ? widened
                                              : static_cast<double>(value);
}

}  // namespace dart_peer
