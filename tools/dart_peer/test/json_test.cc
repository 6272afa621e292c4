// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/json.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace dart_peer {
namespace {

// Valid texts parse, keep the integer/float distinction, and serialise to
// the expected compact form.
TEST(JsonTest, ParsesAndSerialises) {
  const struct {
    const char* input;
    const char* output;
    Json::Type type;
  } cases[] = {
      {"null", "null", Json::Type::kNull},
      {" true ", "true", Json::Type::kBool},
      {"false", "false", Json::Type::kBool},
      {"0", "0", Json::Type::kInt},
      {"-0", "0", Json::Type::kInt},
      {"1099511627776", "1099511627776", Json::Type::kInt},
      {"-9223372036854775808", "-9223372036854775808", Json::Type::kInt},
      {"9223372036854775807", "9223372036854775807", Json::Type::kInt},
      {"1.0", "1.0", Json::Type::kFloat},
      {"1e2", "100.0", Json::Type::kFloat},
      {"-0.0", "-0.0", Json::Type::kFloat},
      {"0.1", "0.1", Json::Type::kFloat},
      {"2.5E-3", "0.0025", Json::Type::kFloat},
      {"1e300", "1e+300", Json::Type::kFloat},
      {"\"a\\\"b\\\\c\\/d\\n\\t\\u0001\"", "\"a\\\"b\\\\c/d\\n\\t\\u0001\"",
       Json::Type::kString},
      {"\"\\u00e9\\ud83d\\ude00\"", "\"\xc3\xa9\xf0\x9f\x98\x80\"",
       Json::Type::kString},
      {"[1, [2.0, []], {}]", "[1,[2.0,[]],{}]", Json::Type::kArray},
      {"{\"b\": 1, \"a\": {\"c\": null}}", "{\"b\":1,\"a\":{\"c\":null}}",
       Json::Type::kObject},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Json json;
    std::string error;
    ASSERT_TRUE(Json::Parse(c.input, &json, &error)) << error;
    EXPECT_EQ(json.type(), c.type);
    EXPECT_EQ(json.Serialize(), c.output);
    // What is written reads back as the same document.
    Json again;
    ASSERT_TRUE(Json::Parse(json.Serialize(), &again, &error)) << error;
    EXPECT_EQ(again, json);
  }
}

// Malformed texts are refused with a reason and leave the output alone.
TEST(JsonTest, RefusesMalformedText) {
  std::string deep(Json::kMaxDepth + 2, '[');
  deep += std::string(Json::kMaxDepth + 2, ']');
  const char* cases[] = {
      "",
      "   ",
      "nul",
      "[1,]",
      "{\"a\" 1}",
      "{\"a\": 1,}",
      "{\"a\": 1, \"a\": 2}",
      "01",
      "1.",
      ".5",
      "1e",
      "+1",
      "9223372036854775808",
      "-9223372036854775809",
      "1e400",
      "\"unterminated",
      "\"bad \\x escape\"",
      "\"\\ud800\"",
      "\"\\udc00\"",
      "\"tab\there\"",
      "\"\xff\"",
      "[1] 2",
      "NaN",
      deep.c_str(),
  };
  for (const char* input : cases) {
    SCOPED_TRACE(input);
    Json json = Json::String("untouched");
    std::string error;
    EXPECT_FALSE(Json::Parse(input, &json, &error));
    EXPECT_NE(error, "");
    EXPECT_EQ(json, Json::String("untouched"));
  }
}

// Floats print with the fewest digits that read back exactly, and always
// look like floats.
TEST(JsonTest, FormatsFloatsShortestAndUnmistakable) {
  const struct {
    double value;
    const char* text;
  } doubles[] = {
      {1.0, "1.0"},
      {0.1, "0.1"},
      {1.0 / 3, "0.3333333333333333"},
      {1e16, "10000000000000000.0"},
      {1e17, "1e+17"},
      {1e-5, "0.00001"},
      {1e-6, "1e-6"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {-2.5, "-2.5"},
  };
  for (const auto& c : doubles) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(FormatDouble(c.value), c.text);
    EXPECT_EQ(g_ascii_strtod(c.text, nullptr), c.value);
  }
  EXPECT_EQ(FormatFloat32(0.1f), "0.1");
  EXPECT_EQ(FormatFloat32(16777216.0f), "16777216.0");
  EXPECT_EQ(Json::Float32(0.1f).Serialize(), "0.1");
  EXPECT_EQ(Json::Float(static_cast<double>(0.1f)).Serialize(),
            "0.10000000149011612");
}

// Strings built from engine values are always written as valid JSON, also
// when they hold invalid UTF-8 or a NUL.
TEST(JsonTest, WritesValidJsonForAnyString) {
  Json json =
      Json::String(std::string("a\xff"
                               "b\0c",
                               5));
  std::string text = json.Serialize();
  EXPECT_EQ(text,
            "\"a\xef\xbf\xbd"
            "b\\u0000c\"");
  Json again;
  std::string error;
  EXPECT_TRUE(Json::Parse(text, &again, &error)) << error;
}

// Object members keep their order, and Set replaces in place.
TEST(JsonTest, ObjectsKeepInsertionOrder) {
  Json object = Json::MakeObject();
  object.Set("z", Json::Int(1));
  object.Set("a", Json::Int(2));
  object.Set("z", Json::Int(3));
  EXPECT_EQ(object.Serialize(), "{\"z\":3,\"a\":2}");
  ASSERT_NE(object.Find("a"), nullptr);
  EXPECT_EQ(object.Find("a")->int_value(), 2);
  EXPECT_EQ(object.Find("missing"), nullptr);
}

}  // namespace
}  // namespace dart_peer
