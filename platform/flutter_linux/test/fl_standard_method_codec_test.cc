// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "fl_method_codec_private.h"
#include "flutter_linux/flutter_linux.h"

// A codec that sends strings beginning with '#' as its own type 0x80 holding
// the rest of the text: it exercises the hooks subclasses use for custom
// types.
G_DECLARE_FINAL_TYPE(FlTagCodec,
                     fl_tag_codec,
                     FL,
                     TAG_CODEC,
                     FlStandardMessageCodec)

struct _FlTagCodec {
  FlStandardMessageCodec parent_instance;
};

G_DEFINE_TYPE(FlTagCodec, fl_tag_codec, fl_standard_message_codec_get_type())

constexpr int kTagType = 0x80;

static gboolean fl_tag_codec_write_value(FlStandardMessageCodec* codec,
                                         GByteArray* buffer,
                                         FlValue* value,
                                         GError** error) {
  if (value != nullptr && fl_value_get_type(value) == FL_VALUE_TYPE_STRING &&
      fl_value_get_string(value)[0] == '#') {
    const gchar* rest = fl_value_get_string(value) + 1;
    const uint8_t type = kTagType;
    g_byte_array_append(buffer, &type, 1);
    fl_standard_message_codec_write_size(codec, buffer, strlen(rest));
    g_byte_array_append(buffer, reinterpret_cast<const guint8*>(rest),
                        strlen(rest));
    return TRUE;
  }
  return FL_STANDARD_MESSAGE_CODEC_CLASS(fl_tag_codec_parent_class)
      ->write_value(codec, buffer, value, error);
}

static FlValue* fl_tag_codec_read_value_of_type(FlStandardMessageCodec* codec,
                                                GBytes* buffer,
                                                size_t* offset,
                                                int type,
                                                GError** error) {
  if (type == kTagType) {
    uint32_t length = 0;
    if (!fl_standard_message_codec_read_size(codec, buffer, offset, &length,
                                             error)) {
      return nullptr;
    }
    if (length > g_bytes_get_size(buffer) - *offset) {
      g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                  FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA, "short tag");
      return nullptr;
    }
    std::string text = "#";
    text.append(
        static_cast<const char*>(g_bytes_get_data(buffer, nullptr)) + *offset,
        length);
    *offset += length;
    return fl_value_new_string(text.c_str());
  }
  return FL_STANDARD_MESSAGE_CODEC_CLASS(fl_tag_codec_parent_class)
      ->read_value_of_type(codec, buffer, offset, type, error);
}

static void fl_tag_codec_class_init(FlTagCodecClass* klass) {
  FL_STANDARD_MESSAGE_CODEC_CLASS(klass)->write_value =
      fl_tag_codec_write_value;
  FL_STANDARD_MESSAGE_CODEC_CLASS(klass)->read_value_of_type =
      fl_tag_codec_read_value_of_type;
}

static void fl_tag_codec_init(FlTagCodec*) {}

namespace {

std::string Hex(GBytes* bytes) {
  if (bytes == nullptr) {
    return "(none)";
  }
  gsize size = 0;
  const uint8_t* data =
      static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  std::string text;
  for (gsize i = 0; i < size; i++) {
    char byte[4];
    g_snprintf(byte, sizeof(byte), i == 0 ? "%02x" : " %02x", data[i]);
    text += byte;
  }
  return text;
}

// The bytes written in `hex`; spaces and '|' are ignored.
GBytes* Unhex(const std::string& hex) {
  std::string digits;
  for (char c : hex) {
    if (g_ascii_isxdigit(c)) {
      digits += c;
    }
  }
  std::string bytes;
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes += static_cast<char>(g_ascii_xdigit_value(digits[i]) * 16 +
                               g_ascii_xdigit_value(digits[i + 1]));
  }
  return g_bytes_new(bytes.data(), bytes.size());
}

// Normalises `hex` to the form Hex() prints.
std::string Canonical(const std::string& hex) {
  g_autoptr(GBytes) bytes = Unhex(hex);
  return Hex(bytes);
}

FlMethodCodec* NewCodec() {
  return FL_METHOD_CODEC(fl_standard_method_codec_new());
}

FlValue* NewPathMap() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "path", fl_value_new_string("/a"));
  return map;
}

std::string ToString(FlValue* value) {
  if (value == nullptr) {
    return "(none)";
  }
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

// A one-line description of a response, for comparing against expectations.
std::string Describe(FlMethodResponse* response) {
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    return "success " + ToString(fl_method_success_response_get_result(
                            FL_METHOD_SUCCESS_RESPONSE(response)));
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    const gchar* message = fl_method_error_response_get_message(e);
    return std::string("error ") + fl_method_error_response_get_code(e) + " " +
           (message != nullptr ? message : "(none)") + " " +
           ToString(fl_method_error_response_get_details(e));
  }
  if (FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    return "not implemented";
  }
  return "unknown";
}

std::string DecodeResponse(FlMethodCodec* codec, GBytes* message) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      fl_method_codec_decode_response(codec, message, &error);
  if (response == nullptr) {
    return std::string("failed ") + g_quark_to_string(error->domain) + " " +
           std::to_string(error->code);
  }
  return Describe(response);
}

void ExpectCodecError(GError* error, FlMessageCodecError code) {
  ASSERT_NE(error, nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, code))
      << error->message;
}

// The exact bytes of the calls the other side exchanges with us.
const struct {
  const char* name;
  std::function<FlValue*()> args;
  const char* hex;
} kCalls[] = {
    {"probe", NewPathMap,
     "07 05 70 72 6f 62 65 | 0d 01 | 07 04 70 61 74 68 | 07 02 2f 61"},
    {"listen", [] { return static_cast<FlValue*>(nullptr); },
     "07 06 6c 69 73 74 65 6e 00"},
    {"cancel", fl_value_new_null, "07 06 63 61 6e 63 65 6c 00"},
    // The float's tag lands at offset 3, so four padding bytes follow it.
    {"x", [] { return fl_value_new_float(1.5); },
     "07 01 78 06 00 00 00 00 | 00 00 00 00 00 00 f8 3f"},
};

// The exact bytes of replies, and how they decode.
const struct {
  const char* name;
  std::function<GBytes*(FlMethodCodec*, GError**)> encode;
  const char* hex;
  const char* decoded;
} kEnvelopes[] = {
    {"success null",
     [](FlMethodCodec* c, GError** e) {
       return fl_method_codec_encode_success_envelope(c, nullptr, e);
     },
     "00 00", "success null"},
    {"success true",
     [](FlMethodCodec* c, GError** e) {
       g_autoptr(FlValue) v = fl_value_new_bool(true);
       return fl_method_codec_encode_success_envelope(c, v, e);
     },
     "00 01", "success true"},
    {"success 42",
     [](FlMethodCodec* c, GError** e) {
       g_autoptr(FlValue) v = fl_value_new_int(42);
       return fl_method_codec_encode_success_envelope(c, v, e);
     },
     "00 03 2a 00 00 00", "success 42"},
    {"success 1.5",
     [](FlMethodCodec* c, GError** e) {
       g_autoptr(FlValue) v = fl_value_new_float(1.5);
       return fl_method_codec_encode_success_envelope(c, v, e);
     },
     "00 06 00 00 00 00 00 00 | 00 00 00 00 00 00 f8 3f", "success 1.5"},
    {"success float64 list",
     [](FlMethodCodec* c, GError** e) {
       const double d[] = {2.0};
       g_autoptr(FlValue) v = fl_value_new_float_list(d, 1);
       return fl_method_codec_encode_success_envelope(c, v, e);
     },
     "00 0b 01 00 00 00 00 00 | 00 00 00 00 00 00 00 40", "success [2.0]"},
    {"error E1 bad",
     [](FlMethodCodec* c, GError** e) {
       return fl_method_codec_encode_error_envelope(c, "E1", "bad", nullptr, e);
     },
     "01 07 02 45 31 07 03 62 61 64 00", "error E1 bad (none)"},
    {"error without message",
     [](FlMethodCodec* c, GError** e) {
       return fl_method_codec_encode_error_envelope(c, "E1", nullptr, nullptr,
                                                    e);
     },
     "01 07 02 45 31 00 00", "error E1 (none) (none)"},
    {"error with float details",
     [](FlMethodCodec* c, GError** e) {
       g_autoptr(FlValue) v = fl_value_new_float(1.5);
       return fl_method_codec_encode_error_envelope(c, "E1", nullptr, v, e);
     },
     "01 07 02 45 31 00 06 00 | 00 00 00 00 00 00 f8 3f",
     "error E1 (none) 1.5"},
};

}  // namespace

// Calls encode to their exact bytes and decode back to name and arguments.
TEST(FlStandardMethodCodecTest, MethodCallGoldenBytes) {
  g_autoptr(FlMethodCodec) codec = NewCodec();
  for (const auto& call : kCalls) {
    SCOPED_TRACE(call.name);
    g_autoptr(FlValue) args = call.args();
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes =
        fl_method_codec_encode_method_call(codec, call.name, args, &error);
    EXPECT_EQ(Hex(bytes), Canonical(call.hex));

    g_autoptr(GBytes) golden = Unhex(call.hex);
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) decoded_args = nullptr;
    ASSERT_TRUE(fl_method_codec_decode_method_call(codec, golden, &name,
                                                   &decoded_args, &error))
        << error->message;
    EXPECT_STREQ(name, call.name);
    ASSERT_NE(decoded_args, nullptr);
    if (args == nullptr) {
      EXPECT_EQ(fl_value_get_type(decoded_args), FL_VALUE_TYPE_NULL);
    } else {
      EXPECT_TRUE(fl_value_equal(decoded_args, args));
    }
  }
}

// Replies encode to their exact bytes and decode to the matching response.
TEST(FlStandardMethodCodecTest, EnvelopeGoldenBytes) {
  g_autoptr(FlMethodCodec) codec = NewCodec();
  for (const auto& envelope : kEnvelopes) {
    SCOPED_TRACE(envelope.name);
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes = envelope.encode(codec, &error);
    EXPECT_EQ(Hex(bytes), Canonical(envelope.hex));
    g_autoptr(GBytes) golden = Unhex(envelope.hex);
    EXPECT_EQ(DecodeResponse(codec, golden), envelope.decoded);
  }
}

// Replies from other writers: details that are not null, an integer in 64
// bits, and the empty reply that means no handler took the call.
TEST(FlStandardMethodCodecTest, DecodesOtherReplies) {
  g_autoptr(FlMethodCodec) codec = NewCodec();
  const struct {
    const char* hex;
    const char* decoded;
  } cases[] = {
      {"", "not implemented"},
      {"01 07 02 45 31 00 0c 01 01", "error E1 (none) [true]"},
      {"00 0d 01 07 01 6b 04 01 00 00 00 00 00 00 00", "success {k: 1}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    g_autoptr(GBytes) message = Unhex(c.hex);
    EXPECT_EQ(DecodeResponse(codec, message), c.decoded);
  }
  EXPECT_EQ(DecodeResponse(codec, nullptr), "not implemented");
}

// Malformed replies fail with a codec error and never crash.
TEST(FlStandardMethodCodecTest, MalformedRepliesFail) {
  g_autoptr(FlMethodCodec) codec = NewCodec();
  std::string deep = "00 ";
  for (int i = 0; i < 100000; i++) {
    deep += "0c 01 ";
  }
  const struct {
    const char* name;
    std::string hex;
    FlMessageCodecError code;
  } cases[] = {
      {"unknown envelope", "02 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"unknown envelope alone", "ff", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"success without value", "00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"success with extra byte", "00 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"error without code", "01", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"code not a string", "01 03 01 00 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"message not a string", "01 07 01 45 03 01 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"details missing", "01 07 01 45 00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      // Some senders append a stack trace; it is extra data like any other.
      {"stack trace after details",
       "01 07 02 45 31 07 01 6d 07 01 64 07 05 74 72 61 63 65",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"null after details", "01 07 01 45 00 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"unknown tag after details", "01 07 01 45 00 00 20",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"unknown tag in result", "00 0c 01 20",
       FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"result nested too deep", deep, FL_MESSAGE_CODEC_ERROR_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(GBytes) message = Unhex(c.hex);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        fl_method_codec_decode_response(codec, message, &error);
    EXPECT_EQ(response, nullptr);
    ExpectCodecError(error, c.code);
  }

  // Every cut of a valid reply, except the empty one, is short of data.
  for (const auto& envelope : kEnvelopes) {
    SCOPED_TRACE(envelope.name);
    g_autoptr(GBytes) whole = Unhex(envelope.hex);
    for (size_t cut = 1; cut < g_bytes_get_size(whole); cut++) {
      SCOPED_TRACE(cut);
      g_autoptr(GBytes) part = g_bytes_new_from_bytes(whole, 0, cut);
      g_autoptr(GError) error = nullptr;
      g_autoptr(FlMethodResponse) response =
          fl_method_codec_decode_response(codec, part, &error);
      EXPECT_EQ(response, nullptr);
      ExpectCodecError(error, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA);
    }
  }
}

// Malformed calls fail with a codec error and never crash.
TEST(FlStandardMethodCodecTest, MalformedCallsFail) {
  g_autoptr(FlMethodCodec) codec = NewCodec();
  const struct {
    const char* name;
    const char* hex;
    FlMessageCodecError code;
  } cases[] = {
      {"empty", "", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"name not a string", "03 01 00 00 00 00", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"arguments missing", "07 01 6d", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"extra after arguments", "07 01 6d 00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"unknown tag in arguments", "07 01 6d 0d 01 07 01 6b 42",
       FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"name past the end", "07 ff ff ff ff ff 6d 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(GBytes) message = Unhex(c.hex);
    g_autoptr(GError) error = nullptr;
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) args = nullptr;
    EXPECT_FALSE(fl_method_codec_decode_method_call(codec, message, &name,
                                                    &args, &error));
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(args, nullptr);
    ExpectCodecError(error, c.code);
  }

  for (const auto& call : kCalls) {
    SCOPED_TRACE(call.name);
    g_autoptr(GBytes) whole = Unhex(call.hex);
    for (size_t cut = 0; cut < g_bytes_get_size(whole); cut++) {
      SCOPED_TRACE(cut);
      g_autoptr(GBytes) part = g_bytes_new_from_bytes(whole, 0, cut);
      g_autoptr(GError) error = nullptr;
      g_autofree gchar* name = nullptr;
      g_autoptr(FlValue) args = nullptr;
      EXPECT_FALSE(fl_method_codec_decode_method_call(codec, part, &name, &args,
                                                      &error));
      ExpectCodecError(error, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA);
    }
  }
}

// fl_method_response_get_result hands out a success's own value and turns
// the other responses into their errors.
TEST(FlStandardMethodCodecTest, ResponseResults) {
  g_autoptr(FlValue) value = fl_value_new_string("ok");
  g_autoptr(FlMethodResponse) success =
      FL_METHOD_RESPONSE(fl_method_success_response_new(value));
  g_clear_pointer(&value, fl_value_unref);
  g_autoptr(FlValue) details = fl_value_new_int(9);
  g_autoptr(FlMethodResponse) failure = FL_METHOD_RESPONSE(
      fl_method_error_response_new("E1", "went wrong", details));
  g_clear_pointer(&details, fl_value_unref);
  g_autoptr(FlMethodResponse) missing =
      FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  g_autoptr(FlMethodResponse) empty_success =
      FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));

  g_autoptr(GError) error = nullptr;
  FlValue* result = fl_method_response_get_result(success, &error);
  EXPECT_EQ(error, nullptr);
  EXPECT_EQ(result, fl_method_success_response_get_result(
                        FL_METHOD_SUCCESS_RESPONSE(success)));
  EXPECT_EQ(ToString(result), "ok");

  // A success always carries a value, so NULL can only mean failure.
  result = fl_method_response_get_result(empty_success, &error);
  ASSERT_NE(result, nullptr);
  EXPECT_EQ(fl_value_get_type(result), FL_VALUE_TYPE_NULL);

  EXPECT_EQ(fl_method_response_get_result(failure, &error), nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_REMOTE_ERROR));
  g_clear_error(&error);
  EXPECT_EQ(Describe(failure), "error E1 went wrong 9");

  EXPECT_EQ(fl_method_response_get_result(missing, &error), nullptr);
  EXPECT_TRUE(g_error_matches(error, FL_METHOD_RESPONSE_ERROR,
                              FL_METHOD_RESPONSE_ERROR_NOT_IMPLEMENTED));
}

// A method codec built on a given message codec keeps it alive and uses its
// custom types, at the top level and nested.
TEST(FlStandardMethodCodecTest, UsesGivenMessageCodec) {
  FlStandardMessageCodec* message_codec =
      FL_STANDARD_MESSAGE_CODEC(g_object_new(fl_tag_codec_get_type(), nullptr));
  gboolean finalized = FALSE;
  g_object_weak_ref(
      G_OBJECT(message_codec),
      [](gpointer data, GObject*) { *static_cast<gboolean*>(data) = TRUE; },
      &finalized);
  FlMethodCodec* codec = FL_METHOD_CODEC(
      fl_standard_method_codec_new_with_message_codec(message_codec));

  g_autoptr(FlValue) value = fl_value_new_string("#x");
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bare = fl_message_codec_encode_message(
      FL_MESSAGE_CODEC(message_codec), value, &error);
  EXPECT_EQ(Hex(bare), "80 01 78");
  g_object_unref(message_codec);
  EXPECT_FALSE(finalized);

  g_autoptr(FlValue) args = fl_value_new_list();
  fl_value_append(args, value);
  fl_value_append_take(args, fl_value_new_string("y"));
  g_autoptr(GBytes) call =
      fl_method_codec_encode_method_call(codec, "#m", args, &error);
  EXPECT_EQ(Hex(call), "80 01 6d 0c 02 80 01 78 07 01 79");
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) decoded = nullptr;
  ASSERT_TRUE(
      fl_method_codec_decode_method_call(codec, call, &name, &decoded, &error))
      << error->message;
  EXPECT_STREQ(name, "#m");
  EXPECT_EQ(ToString(decoded), "[#x, y]");

  g_autoptr(GBytes) reply =
      fl_method_codec_encode_success_envelope(codec, value, &error);
  EXPECT_EQ(Hex(reply), "00 80 01 78");
  EXPECT_EQ(DecodeResponse(codec, reply), "success #x");

  g_object_unref(codec);
  EXPECT_TRUE(finalized);
}
