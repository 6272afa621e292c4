// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "dart_peer/value_json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

namespace dart_peer {
namespace {

FlValue* MapOf(std::initializer_list<std::pair<FlValue*, FlValue*>> entries) {
  FlValue* map = fl_value_new_map();
  for (const auto& entry : entries) {
    fl_value_set_take(map, entry.first, entry.second);
  }
  return map;
}

FlValue* ListOf(std::initializer_list<FlValue*> items) {
  FlValue* list = fl_value_new_list();
  for (FlValue* item : items) {
    fl_value_append_take(list, item);
  }
  return list;
}

// Every value type has its documented JSON form, and that JSON maps back to
// an equal value of the same type.
TEST(ValueJsonTest, MapsEveryTypeBothWays) {
  const uint8_t bytes[] = {0x00, 0xff, 0x10};
  const int32_t ints32[] = {INT32_MIN, 0, INT32_MAX};
  const int64_t ints64[] = {INT64_MIN, 1LL << 40};
  const float floats32[] = {0.1f, -2.0f, 16777216.0f};
  const double floats64[] = {1.0, 0.5};
  const struct {
    const char* name;
    std::function<FlValue*()> make;
    const char* json;
  } cases[] = {
      {"null", [] { return fl_value_new_null(); }, "null"},
      {"bool", [] { return fl_value_new_bool(true); }, "true"},
      {"int", [] { return fl_value_new_int(-3); }, "-3"},
      {"int 2^40", [] { return fl_value_new_int(1LL << 40); }, "1099511627776"},
      {"int64 min", [] { return fl_value_new_int(INT64_MIN); },
       "-9223372036854775808"},
      {"int64 max", [] { return fl_value_new_int(INT64_MAX); },
       "9223372036854775807"},
      {"float 1.0", [] { return fl_value_new_float(1.0); }, "1.0"},
      {"float 0.1", [] { return fl_value_new_float(0.1); }, "0.1"},
      {"float 100.0", [] { return fl_value_new_float(100.0); }, "100.0"},
      {"float -0.0", [] { return fl_value_new_float(-0.0); }, "-0.0"},
      {"float 1e300", [] { return fl_value_new_float(1e300); }, "1e+300"},
      {"float nan", [] { return fl_value_new_float(NAN); },
       "{\"$float\":\"nan\"}"},
      {"float inf", [] { return fl_value_new_float(INFINITY); },
       "{\"$float\":\"inf\"}"},
      {"float -inf", [] { return fl_value_new_float(-INFINITY); },
       "{\"$float\":\"-inf\"}"},
      {"string", [] { return fl_value_new_string("h\xc3\xa9\"llo"); },
       "\"h\xc3\xa9\\\"llo\""},
      {"string with controls",
       [] { return fl_value_new_string("\\/\n\t\x01"); },
       "\"\\\\/\\n\\t\\u0001\""},
      {"uint8 list", [&] { return fl_value_new_uint8_list(bytes, 3); },
       "{\"$uint8\":\"AP8Q\"}"},
      {"empty uint8 list", [] { return fl_value_new_uint8_list(nullptr, 0); },
       "{\"$uint8\":\"\"}"},
      {"int32 list", [&] { return fl_value_new_int32_list(ints32, 3); },
       "{\"$int32\":[-2147483648,0,2147483647]}"},
      {"int64 list", [&] { return fl_value_new_int64_list(ints64, 2); },
       "{\"$int64\":[-9223372036854775808,1099511627776]}"},
      {"float32 list", [&] { return fl_value_new_float32_list(floats32, 3); },
       "{\"$float32\":[0.1,-2.0,16777216.0]}"},
      {"float64 list", [&] { return fl_value_new_float_list(floats64, 2); },
       "{\"$float64\":[1.0,0.5]}"},
      {"list",
       [] {
         return ListOf({fl_value_new_int(1), fl_value_new_string("a"),
                        ListOf({}), fl_value_new_float(2.0)});
       },
       "[1,\"a\",[],2.0]"},
      {"nested string-keyed maps",
       [] {
         return MapOf(
             {{fl_value_new_string("outer"),
               MapOf({{fl_value_new_string("inner"), fl_value_new_int(1)},
                      {fl_value_new_string("x"), fl_value_new_null()}})},
              {fl_value_new_string("b"), fl_value_new_bool(false)}});
       },
       "{\"outer\":{\"inner\":1,\"x\":null},\"b\":false}"},
      {"empty map", [] { return fl_value_new_map(); }, "{}"},
      {"int keys",
       [] {
         return MapOf({{fl_value_new_int(1), fl_value_new_string("one")},
                       {fl_value_new_int(1LL << 40), fl_value_new_null()}});
       },
       "{\"$map\":[[1,\"one\"],[1099511627776,null]]}"},
      {"mixed keys",
       [] {
         return MapOf({{fl_value_new_string("s"), fl_value_new_int(1)},
                       {fl_value_new_null(), fl_value_new_int(2)},
                       {ListOf({fl_value_new_int(3)}), fl_value_new_int(4)}});
       },
       "{\"$map\":[[\"s\",1],[null,2],[[3],4]]}"},
      {"key that looks like a tag",
       [] {
         return MapOf(
             {{fl_value_new_string("$uint8"), fl_value_new_string("AA==")}});
       },
       "{\"$map\":[[\"$uint8\",\"AA==\"]]}"},
      {"several dollar keys",
       [] {
         return MapOf({{fl_value_new_string("$a"), fl_value_new_int(1)},
                       {fl_value_new_string("$b"), fl_value_new_int(2)}});
       },
       "{\"$a\":1,\"$b\":2}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    g_autoptr(FlValue) value = c.make();
    Json json = ValueToJson(value);
    EXPECT_EQ(Serialize(json), c.json);

    Json parsed;
    std::string error;
    ASSERT_TRUE(ParseJson(c.json, &parsed, &error)) << error;
    g_autoptr(FlValue) back = JsonToValue(parsed, &error);
    ASSERT_NE(back, nullptr) << error;
    EXPECT_EQ(fl_value_get_type(back), fl_value_get_type(value));
    if (fl_value_get_type(value) == FL_VALUE_TYPE_FLOAT &&
        std::isnan(fl_value_get_float(value))) {
      EXPECT_TRUE(std::isnan(fl_value_get_float(back)));
    } else {
      g_autofree gchar* expected = fl_value_to_string(value);
      g_autofree gchar* actual = fl_value_to_string(back);
      EXPECT_TRUE(fl_value_equal(back, value)) << actual << " vs " << expected;
    }
  }
}

// Integers stay integers and floats stay floats, whatever their size.
TEST(ValueJsonTest, KeepsIntegersAndFloatsApart) {
  const struct {
    const char* json;
    FlValueType type;
  } cases[] = {
      {"1099511627776", FL_VALUE_TYPE_INT},
      {"1", FL_VALUE_TYPE_INT},
      {"-0", FL_VALUE_TYPE_INT},
      {"9223372036854775807", FL_VALUE_TYPE_INT},
      {"1.0", FL_VALUE_TYPE_FLOAT},
      {"1e3", FL_VALUE_TYPE_FLOAT},
      {"-0.0", FL_VALUE_TYPE_FLOAT},
      {"{\"$float\":\"nan\"}", FL_VALUE_TYPE_FLOAT},
      {"{\"$float64\":[1,2]}", FL_VALUE_TYPE_FLOAT_LIST},
      {"{\"$uint8\":\"AAEC\"}", FL_VALUE_TYPE_UINT8_LIST},
      {"{\"$float32\":[{\"$float\":\"-inf\"}]}", FL_VALUE_TYPE_FLOAT32_LIST},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.json);
    Json json;
    std::string error;
    ASSERT_TRUE(ParseJson(c.json, &json, &error));
    g_autoptr(FlValue) value = JsonToValue(json, &error);
    ASSERT_NE(value, nullptr) << error;
    EXPECT_EQ(fl_value_get_type(value), c.type);
  }
  Json big;
  std::string error;
  ASSERT_TRUE(ParseJson("1099511627776", &big, &error));
  g_autoptr(FlValue) value = JsonToValue(big, &error);
  EXPECT_EQ(fl_value_get_int(value), 1LL << 40);
  Json float_list;
  ASSERT_TRUE(ParseJson("{\"$float64\":[1,2.5]}", &float_list, &error));
  g_autoptr(FlValue) floats = JsonToValue(float_list, &error);
  ASSERT_EQ(fl_value_get_length(floats), 2u);
  EXPECT_EQ(fl_value_get_float_list(floats)[0], 1.0);
}

// Engine strings may hold invalid UTF-8; the line stays valid JSON.
TEST(ValueJsonTest, WritesInvalidUtf8AsValidJson) {
  g_autoptr(FlValue) value = fl_value_new_string("a\xff!");
  EXPECT_EQ(Serialize(ValueToJson(value)), "\"a\xef\xbf\xbd!\"");
}

// Tagged forms that do not fit their type are refused, not guessed at.
TEST(ValueJsonTest, RefusesMalformedTaggedForms) {
  const char* cases[] = {
      "{\"$unknown\":1}",
      "{\"$uint8\":\"not base64!\"}",
      "{\"$uint8\":\"AAE\"}",
      "{\"$uint8\":\"A===\"}",
      "{\"$uint8\":\"AA=A\"}",
      "{\"$uint8\":[1,2]}",
      "{\"$int32\":[2147483648]}",
      "{\"$int32\":[1.0]}",
      "{\"$int64\":[\"1\"]}",
      "{\"$int64\":3}",
      "{\"$float32\":[1e39]}",
      "{\"$float64\":[\"x\"]}",
      "{\"$float64\":[{\"$float\":\"NaN\"}]}",
      "{\"$float\":\"zero\"}",
      "{\"$float\":1.0}",
      "{\"$map\":[[1]]}",
      "{\"$map\":[[1,2,3]]}",
      "{\"$map\":{\"a\":1}}",
      "{\"$map\":[[{\"$bad\":0},1]]}",
      "[1,{\"$bad\":0}]",
      "{\"a\":{\"$bad\":0}}",
      "\"nul\\u0000inside\"",
  };
  for (const char* input : cases) {
    SCOPED_TRACE(input);
    Json json;
    std::string error;
    ASSERT_TRUE(ParseJson(input, &json, &error)) << error;
    FlValue* value = JsonToValue(json, &error);
    EXPECT_EQ(value, nullptr);
    EXPECT_NE(error, "");
    if (value != nullptr) {
      fl_value_unref(value);
    }
  }
}

}  // namespace
}  // namespace dart_peer
