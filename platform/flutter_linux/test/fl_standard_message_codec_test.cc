// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>

#include "flutter_linux/flutter_linux.h"

namespace {

// Lower-case hex of `bytes`, one space between bytes.
std::string Hex(GBytes* bytes) {
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
  std::string bytes;
  std::string digits;
  for (char c : hex) {
    if (g_ascii_isxdigit(c)) {
      digits += c;
    }
  }
  for (size_t i = 0; i + 1 < digits.size(); i += 2) {
    bytes += static_cast<char>(g_ascii_xdigit_value(digits[i]) * 16 +
                               g_ascii_xdigit_value(digits[i + 1]));
  }
  return g_bytes_new(bytes.data(), bytes.size());
}

std::string Repeat(const std::string& hex, int times) {
  std::string out;
  for (int i = 0; i < times; i++) {
    out += hex + " ";
  }
  return out;
}

FlMessageCodec* NewCodec() {
  return FL_MESSAGE_CODEC(fl_standard_message_codec_new());
}

// Encodes `value`, returning its hex, or "error: ..." on failure.
std::string Encode(FlValue* value) {
  g_autoptr(FlMessageCodec) codec = NewCodec();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(codec, value, &error);
  if (bytes == nullptr) {
    return std::string("error: ") + error->message;
  }
  return Hex(bytes);
}

// Decodes `bytes`, storing the error in *error on failure.
FlValue* Decode(GBytes* bytes, GError** error) {
  g_autoptr(FlMessageCodec) codec = NewCodec();
  return fl_message_codec_decode_message(codec, bytes, error);
}

FlValue* DecodeHex(const std::string& hex, GError** error) {
  g_autoptr(GBytes) bytes = Unhex(hex);
  return Decode(bytes, error);
}

FlValue* NewList(std::initializer_list<FlValue*> items) {
  FlValue* list = fl_value_new_list();
  for (FlValue* item : items) {
    fl_value_append_take(list, item);
  }
  return list;
}

FlValue* NewStringOf(size_t length) {
  return fl_value_new_string(std::string(length, 'x').c_str());
}

FlValue* NewNestedLists(int depth) {
  FlValue* root = fl_value_new_list();
  FlValue* tip = root;
  for (int i = 1; i < depth; i++) {
    FlValue* child = fl_value_new_list();
    fl_value_append_take(tip, child);
    tip = child;
  }
  return root;
}

// A value with every type, nested, for round trips.
FlValue* NewEveryType() {
  const uint8_t u8[] = {0, 1, 255};
  const int32_t i32[] = {-1, 0, 2147483647};
  const int64_t i64[] = {std::numeric_limits<int64_t>::min(), 5};
  const double f64[] = {-0.5, 1e300};
  const float f32[] = {0.25f, -3.0f};
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "null", fl_value_new_null());
  fl_value_set_string_take(map, "true", fl_value_new_bool(true));
  fl_value_set_string_take(map, "false", fl_value_new_bool(false));
  fl_value_set_string_take(map, "small", fl_value_new_int(-7));
  fl_value_set_string_take(map, "big", fl_value_new_int(1ll << 40));
  fl_value_set_string_take(map, "float", fl_value_new_float(3.25));
  fl_value_set_string_take(map, "text",
                           fl_value_new_string("gr\xc3\xbc\xc3\x9f"));
  fl_value_set_string_take(map, "empty", fl_value_new_string(""));
  fl_value_set_string_take(map, "u8", fl_value_new_uint8_list(u8, 3));
  fl_value_set_string_take(map, "i32", fl_value_new_int32_list(i32, 3));
  fl_value_set_string_take(map, "i64", fl_value_new_int64_list(i64, 2));
  fl_value_set_string_take(map, "f64", fl_value_new_float_list(f64, 2));
  fl_value_set_string_take(map, "f32", fl_value_new_float32_list(f32, 2));
  fl_value_set_string_take(map, "no f32",
                           fl_value_new_float32_list(nullptr, 0));
  fl_value_set_take(map, fl_value_new_int(3),
                    NewList({fl_value_new_float(0.5), fl_value_new_map(),
                             fl_value_new_list()}));
  fl_value_set_take(map, NewList({fl_value_new_bool(true)}),
                    fl_value_new_string("list key"));
  return map;
}

struct Golden {
  const char* name;
  std::function<FlValue*()> make;
  const char* hex;
};

// Values and their exact encodings.
const Golden kGoldens[] = {
    {"null", fl_value_new_null, "00"},
    {"true", [] { return fl_value_new_bool(true); }, "01"},
    {"false", [] { return fl_value_new_bool(false); }, "02"},
    {"42", [] { return fl_value_new_int(42); }, "03 2a 00 00 00"},
    {"-1", [] { return fl_value_new_int(-1); }, "03 ff ff ff ff"},
    {"int32 max", [] { return fl_value_new_int(2147483647); },
     "03 ff ff ff 7f"},
    {"int32 min", [] { return fl_value_new_int(-2147483648ll); },
     "03 00 00 00 80"},
    {"int32 max + 1", [] { return fl_value_new_int(2147483648ll); },
     "04 00 00 00 80 00 00 00 00"},
    {"int32 min - 1", [] { return fl_value_new_int(-2147483649ll); },
     "04 ff ff ff 7f ff ff ff ff"},
    {"2^32", [] { return fl_value_new_int(1ll << 32); },
     "04 00 00 00 00 01 00 00 00"},
    {"int64 max",
     [] { return fl_value_new_int(std::numeric_limits<int64_t>::max()); },
     "04 ff ff ff ff ff ff ff 7f"},
    {"int64 min",
     [] { return fl_value_new_int(std::numeric_limits<int64_t>::min()); },
     "04 00 00 00 00 00 00 00 80"},
    {"1.5", [] { return fl_value_new_float(1.5); },
     "06 00 00 00 00 00 00 00 | 00 00 00 00 00 00 f8 3f"},
    {"empty string", [] { return fl_value_new_string(""); }, "07 00"},
    {"string", [] { return fl_value_new_string("/a"); }, "07 02 2f 61"},
    {"utf-8 string", [] { return fl_value_new_string("\xc3\xa9"); },
     "07 02 c3 a9"},
    {"uint8 list",
     [] {
       const uint8_t v[] = {1, 2, 3};
       return fl_value_new_uint8_list(v, 3);
     },
     "08 03 01 02 03"},
    {"int32 list",
     [] {
       const int32_t v[] = {1, 2};
       return fl_value_new_int32_list(v, 2);
     },
     "09 02 00 00 01 00 00 00 02 00 00 00"},
    {"int64 list",
     [] {
       const int64_t v[] = {-1};
       return fl_value_new_int64_list(v, 1);
     },
     "0a 01 00 00 00 00 00 00 | ff ff ff ff ff ff ff ff"},
    {"float64 list",
     [] {
       const double v[] = {1.5};
       return fl_value_new_float_list(v, 1);
     },
     "0b 01 00 00 00 00 00 00 | 00 00 00 00 00 00 f8 3f"},
    {"float32 list",
     [] {
       const float v[] = {1.0f};
       return fl_value_new_float32_list(v, 1);
     },
     "0e 01 00 00 00 00 80 3f"},
    {"list",
     [] {
       return NewList({fl_value_new_int(1), fl_value_new_string("a"),
                       fl_value_new_bool(true)});
     },
     "0c 03 03 01 00 00 00 07 01 61 01"},
    {"empty list", fl_value_new_list, "0c 00"},
    {"empty map", fl_value_new_map, "0d 00"},
    {"map",
     [] {
       FlValue* map = fl_value_new_map();
       fl_value_set_string_take(map, "path", fl_value_new_string("/a"));
       fl_value_set_take(map, fl_value_new_int(1), fl_value_new_null());
       return map;
     },
     "0d 02 07 04 70 61 74 68 07 02 2f 61 03 01 00 00 00 00"},
    // Padding counts from the start of the message, also inside containers.
    {"float in list", [] { return NewList({fl_value_new_float(1.5)}); },
     "0c 01 06 00 00 00 00 00 | 00 00 00 00 00 00 f8 3f"},
    {"float after uint8 list",
     [] {
       const uint8_t v[] = {1};
       return NewList({fl_value_new_uint8_list(v, 1), fl_value_new_float(2.0)});
     },
     "0c 02 08 01 01 06 00 00 | 00 00 00 00 00 00 00 40"},
    {"int32 list in map",
     [] {
       const int32_t v[] = {7};
       FlValue* map = fl_value_new_map();
       fl_value_set_string_take(map, "a", fl_value_new_int32_list(v, 1));
       return map;
     },
     "0d 01 07 01 61 09 01 00 07 00 00 00"},
    {"empty int64 list in list",
     [] { return NewList({fl_value_new_int64_list(nullptr, 0)}); },
     "0c 01 0a 00 00 00 00 00"},
    {"float32 list after string",
     [] {
       const float v[] = {-2.0f};
       return NewList(
           {fl_value_new_string("ab"), fl_value_new_float32_list(v, 1)});
     },
     "0c 02 07 02 61 62 0e 01 | 00 00 00 c0"},
};

}  // namespace

// Every value encodes to its exact bytes and decodes back to an equal value.
TEST(FlStandardMessageCodecTest, GoldenBytes) {
  for (const auto& golden : kGoldens) {
    SCOPED_TRACE(golden.name);
    g_autoptr(FlValue) value = golden.make();
    g_autoptr(GBytes) expected = Unhex(golden.hex);
    EXPECT_EQ(Encode(value), Hex(expected));

    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = Decode(expected, &error);
    ASSERT_NE(decoded, nullptr) << error->message;
    EXPECT_EQ(fl_value_get_type(decoded), fl_value_get_type(value));
    EXPECT_TRUE(fl_value_equal(decoded, value));
  }
}

// A NULL value encodes as null.
TEST(FlStandardMessageCodecTest, NullPointerEncodesNull) {
  EXPECT_EQ(Encode(nullptr), "00");
}

// Every type survives a round trip inside one nested value, keeping map
// order; a NaN comes back as a NaN.
TEST(FlStandardMessageCodecTest, RoundTripsEveryType) {
  g_autoptr(FlMessageCodec) codec = NewCodec();
  g_autoptr(FlValue) value = NewEveryType();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      fl_message_codec_encode_message(codec, value, &error);
  ASSERT_NE(bytes, nullptr) << error->message;
  g_autoptr(FlValue) decoded =
      fl_message_codec_decode_message(codec, bytes, &error);
  ASSERT_NE(decoded, nullptr) << error->message;
  EXPECT_TRUE(fl_value_equal(decoded, value));
  g_autofree gchar* before = fl_value_to_string(value);
  g_autofree gchar* after = fl_value_to_string(decoded);
  EXPECT_STREQ(after, before);

  g_autoptr(FlValue) nan = fl_value_new_float(NAN);
  g_autoptr(GBytes) nan_bytes =
      fl_message_codec_encode_message(codec, nan, &error);
  g_autoptr(FlValue) nan_decoded =
      fl_message_codec_decode_message(codec, nan_bytes, &error);
  ASSERT_NE(nan_decoded, nullptr);
  EXPECT_TRUE(std::isnan(fl_value_get_float(nan_decoded)));
}

// Size fields take 1, 3 or 5 bytes, switching at 254 and 65536.
TEST(FlStandardMessageCodecTest, SizePrefixBoundaries) {
  const struct {
    const char* name;
    std::function<FlValue*()> make;
    const char* prefix;
    size_t payload;  // Bytes after the prefix.
  } cases[] = {
      {"string 253", [] { return NewStringOf(253); }, "07 fd", 253},
      {"string 254", [] { return NewStringOf(254); }, "07 fe fe 00", 254},
      {"string 65535", [] { return NewStringOf(65535); }, "07 fe ff ff", 65535},
      {"string 65536", [] { return NewStringOf(65536); }, "07 ff 00 00 01 00",
       65536},
      {"list 254",
       [] {
         FlValue* list = fl_value_new_list();
         for (int i = 0; i < 254; i++) {
           fl_value_append_take(list, fl_value_new_null());
         }
         return list;
       },
       "0c fe fe 00", 254},
      {"uint8 list 70000",
       [] {
         std::string data(70000, '\x01');
         return fl_value_new_uint8_list(
             reinterpret_cast<const uint8_t*>(data.data()), data.size());
       },
       "08 ff 70 11 01 00", 70000},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) value = c.make();
    std::string hex = Encode(value);
    EXPECT_EQ(hex.substr(0, strlen(c.prefix)), c.prefix);
    g_autoptr(GBytes) prefix = Unhex(c.prefix);
    g_autoptr(GBytes) bytes = Unhex(hex);
    EXPECT_EQ(g_bytes_get_size(bytes), g_bytes_get_size(prefix) + c.payload);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = Decode(bytes, &error);
    ASSERT_NE(decoded, nullptr) << error->message;
    EXPECT_TRUE(fl_value_equal(decoded, value));
  }
}

// Forms the encoder never writes but other writers may: a small integer in
// 64 bits, a size written longer than needed, null as no bytes at all.
TEST(FlStandardMessageCodecTest, DecodesOtherWritersForms) {
  const struct {
    const char* hex;
    const char* text;
    FlValueType type;
  } cases[] = {
      {"04 2a 00 00 00 00 00 00 00", "42", FL_VALUE_TYPE_INT},
      {"04 ff ff ff ff ff ff ff ff", "-1", FL_VALUE_TYPE_INT},
      {"07 fe 01 00 61", "a", FL_VALUE_TYPE_STRING},
      {"0c ff 01 00 00 00 00", "[null]", FL_VALUE_TYPE_LIST},
      {"", "null", FL_VALUE_TYPE_NULL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = DecodeHex(c.hex, &error);
    ASSERT_NE(value, nullptr) << error->message;
    EXPECT_EQ(fl_value_get_type(value), c.type);
    g_autofree gchar* text = fl_value_to_string(value);
    EXPECT_STREQ(text, c.text);
  }

  // A missing message reads as an empty one.
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = Decode(nullptr, &error);
  ASSERT_NE(value, nullptr) << error->message;
  EXPECT_EQ(fl_value_get_type(value), FL_VALUE_TYPE_NULL);
}

// Every cut of a valid message but the empty one is short of data, and a
// trailing byte is extra data.
TEST(FlStandardMessageCodecTest, TruncatedAndPaddedMessagesFail) {
  for (const auto& golden : kGoldens) {
    SCOPED_TRACE(golden.name);
    g_autoptr(GBytes) whole = Unhex(golden.hex);
    for (size_t cut = 1; cut < g_bytes_get_size(whole); cut++) {
      SCOPED_TRACE(cut);
      g_autoptr(GBytes) part = g_bytes_new_from_bytes(whole, 0, cut);
      g_autoptr(GError) error = nullptr;
      g_autoptr(FlValue) value = Decode(part, &error);
      EXPECT_EQ(value, nullptr);
      EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                  FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA));
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value =
        DecodeHex(std::string(golden.hex) + " 00", &error);
    EXPECT_EQ(value, nullptr);
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA));
  }
}

// Malformed bytes give an error, never a crash or a read past the end.
TEST(FlStandardMessageCodecTest, MalformedMessagesFail) {
  const struct {
    const char* name;
    std::string hex;
    FlMessageCodecError code;
  } cases[] = {
      {"large integer tag 5", "05 03 31 30 30",
       FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"unknown tag 15", "0f", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"unknown tag 127", "7f", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"custom tag 128", "80 00", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"unknown tag 255", "ff", FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"unknown tag nested", "0c 02 00 0f",
       FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE},
      {"unknown tag after a value", "00 0f",
       FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
      {"string past the end", "07 05 61", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"size field cut", "08 fe 00", FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"string of 2^32-1", "07 ff ff ff ff ff 61 62",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"list of 2^32-1", "0c ff ff ff ff ff 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"map of 2^32-1", "0d ff ff ff ff ff 00 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"int32 list of 2^32-1", "09 ff ff ff ff ff 00 00 01 00 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"float64 list of 2^29",
       "0b ff 00 00 00 20 00 00 | 00 00 00 00 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"float32 list of 2^30", "0e ff 00 00 00 40 00 00 00 00 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"map value missing", "0d 01 07 01 61",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"padding past the end", "0c 01 06 00 00",
       FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA},
      {"invalid utf-8", "07 02 c3 28", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"nul inside string", "07 03 61 00 62", FL_MESSAGE_CODEC_ERROR_FAILED},
      {"two values", "00 00", FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA},
      {"nesting 100000 deep", Repeat("0c 01", 100000) + "00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
      {"map keys 100000 deep", Repeat("0d 01", 100000) + "00 00",
       FL_MESSAGE_CODEC_ERROR_FAILED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) value = DecodeHex(c.hex, &error);
    EXPECT_EQ(value, nullptr);
    ASSERT_NE(error, nullptr);
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR, c.code))
        << error->message;
  }
}

// Ordinary nesting is fine both ways; nesting deep enough to threaten the
// stack is refused both ways.
TEST(FlStandardMessageCodecTest, NestingDepthIsBounded) {
  {
    g_autoptr(FlValue) value = NewNestedLists(200);
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlValue) decoded = DecodeHex(Encode(value), &error);
    ASSERT_NE(decoded, nullptr) << error->message;
    EXPECT_TRUE(fl_value_equal(decoded, value));
  }
  {
    g_autoptr(FlValue) value = NewNestedLists(100000);
    g_autoptr(FlMessageCodec) codec = NewCodec();
    g_autoptr(GError) error = nullptr;
    g_autoptr(GBytes) bytes =
        fl_message_codec_encode_message(codec, value, &error);
    EXPECT_EQ(bytes, nullptr);
    EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                                FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE));
    // A failed encode leaves the codec usable: the depth count unwound.
    EXPECT_EQ(Encode(nullptr), "00");
  }
}

// The data of a message need not be aligned in memory: alignment counts
// from the message's first byte.
TEST(FlStandardMessageCodecTest, DecodesFromUnalignedMemory) {
  g_autoptr(GBytes) buffer = Unhex(
      "ff | 0c 02 09 01 05 00 00 00 06 00 00 00 00 00 00 00 | "
      "00 00 00 00 00 00 f8 3f");
  g_autoptr(GBytes) message =
      g_bytes_new_from_bytes(buffer, 1, g_bytes_get_size(buffer) - 1);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value = Decode(message, &error);
  ASSERT_NE(value, nullptr) << error->message;
  g_autofree gchar* text = fl_value_to_string(value);
  EXPECT_STREQ(text, "[[5], 1.5]");
}

// The size helpers read back what they write.
TEST(FlStandardMessageCodecTest, SizeHelpersRoundTrip) {
  g_autoptr(FlStandardMessageCodec) codec = fl_standard_message_codec_new();
  const uint32_t sizes[] = {0, 253, 254, 65535, 65536, 0xffffffff};
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  for (uint32_t size : sizes) {
    fl_standard_message_codec_write_size(codec, buffer, size);
  }
  g_autoptr(GBytes) bytes = g_byte_array_free_to_bytes(
      static_cast<GByteArray*>(g_steal_pointer(&buffer)));
  EXPECT_EQ(Hex(bytes),
            "00 fd fe fe 00 fe ff ff ff 00 00 01 00 ff ff ff ff ff");
  size_t offset = 0;
  for (uint32_t size : sizes) {
    SCOPED_TRACE(size);
    uint32_t read = 0;
    g_autoptr(GError) error = nullptr;
    ASSERT_TRUE(fl_standard_message_codec_read_size(codec, bytes, &offset,
                                                    &read, &error));
    EXPECT_EQ(read, size);
  }
  EXPECT_EQ(offset, g_bytes_get_size(bytes));
  uint32_t read = 0;
  g_autoptr(GError) error = nullptr;
  EXPECT_FALSE(fl_standard_message_codec_read_size(codec, bytes, &offset, &read,
                                                   &error));
  EXPECT_TRUE(g_error_matches(error, FL_MESSAGE_CODEC_ERROR,
                              FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA));
}
