// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "flutter_linux/flutter_linux.h"

namespace {

// Counts the criticals logged while it lives and keeps them from aborting, so
// a test can check that a misuse is reported, or that a call is quiet.
class CriticalCounter {
 public:
  CriticalCounter() {
    g_test_log_set_fatal_handler(OnFatal, this);
    old_handler_ = g_log_set_default_handler(OnLog, &count_);
  }
  ~CriticalCounter() {
    g_log_set_default_handler(old_handler_, nullptr);
    g_test_log_set_fatal_handler(nullptr, nullptr);
  }
  CriticalCounter(const CriticalCounter&) = delete;
  CriticalCounter& operator=(const CriticalCounter&) = delete;
  int count() const { return count_; }

 private:
  static void OnLog(const gchar*,
                    GLogLevelFlags level,
                    const gchar*,
                    gpointer data) {
    if (level & G_LOG_LEVEL_CRITICAL) {
      (*static_cast<int*>(data))++;
    }
  }
  static gboolean OnFatal(const gchar*,
                          GLogLevelFlags level,
                          const gchar*,
                          gpointer) {
    return (level & G_LOG_LEVEL_CRITICAL) == 0;
  }

  int count_ = 0;
  GLogFunc old_handler_ = nullptr;
};

std::string ToString(FlValue* value) {
  g_autofree gchar* text = fl_value_to_string(value);
  return text;
}

// Builds {"b": 1, "a": 2, "c": 3}, in that order.
FlValue* NewOrderedMap() {
  FlValue* map = fl_value_new_map();
  fl_value_set_string_take(map, "b", fl_value_new_int(1));
  fl_value_set_string_take(map, "a", fl_value_new_int(2));
  fl_value_set_string_take(map, "c", fl_value_new_int(3));
  return map;
}

std::vector<std::string> MapKeys(FlValue* map) {
  std::vector<std::string> keys;
  for (size_t i = 0; i < fl_value_get_length(map); i++) {
    keys.push_back(ToString(fl_value_get_map_key(map, i)));
  }
  return keys;
}

}  // namespace

// Constructors copy what they are given; the caller's buffer stays its own.
TEST(FlValueTest, ConstructorsCopyTheirInput) {
  gchar text[] = "abcdef";
  uint8_t bytes[] = {1, 2, 3};
  int32_t ints[] = {-1, 7};
  double doubles[] = {0.5, -2.0};
  g_autoptr(FlValue) s = fl_value_new_string(text);
  g_autoptr(FlValue) sized = fl_value_new_string_sized(text, 3);
  g_autoptr(FlValue) u8 = fl_value_new_uint8_list(bytes, 3);
  g_autoptr(FlValue) i32 = fl_value_new_int32_list(ints, 2);
  g_autoptr(FlValue) f64 = fl_value_new_float_list(doubles, 2);
  text[0] = 'X';
  bytes[0] = 99;
  ints[0] = 99;
  doubles[0] = 99;

  EXPECT_STREQ(fl_value_get_string(s), "abcdef");
  EXPECT_STREQ(fl_value_get_string(sized), "abc");
  EXPECT_EQ(fl_value_get_uint8_list(u8)[0], 1);
  EXPECT_EQ(fl_value_get_length(u8), 3u);
  EXPECT_EQ(fl_value_get_int32_list(i32)[0], -1);
  EXPECT_EQ(fl_value_get_float_list(f64)[0], 0.5);

  g_autoptr(GBytes) gbytes = g_bytes_new("\x05\x06", 2);
  g_autoptr(FlValue) from_bytes = fl_value_new_uint8_list_from_bytes(gbytes);
  g_clear_pointer(&gbytes, g_bytes_unref);
  ASSERT_EQ(fl_value_get_length(from_bytes), 2u);
  EXPECT_EQ(fl_value_get_uint8_list(from_bytes)[1], 6);

  const gchar* strv[] = {"x", "y", nullptr};
  g_autoptr(FlValue) list = fl_value_new_list_from_strv(strv);
  EXPECT_EQ(ToString(list), "[x, y]");
}

// An empty typed list still hands out an array, so callers that test the
// pointer do not mistake it for a failure.
TEST(FlValueTest, EmptyTypedListsHaveData) {
  g_autoptr(FlValue) u8 = fl_value_new_uint8_list(nullptr, 0);
  g_autoptr(FlValue) i32 = fl_value_new_int32_list(nullptr, 0);
  g_autoptr(FlValue) i64 = fl_value_new_int64_list(nullptr, 0);
  g_autoptr(FlValue) f32 = fl_value_new_float32_list(nullptr, 0);
  g_autoptr(FlValue) f64 = fl_value_new_float_list(nullptr, 0);
  EXPECT_NE(fl_value_get_uint8_list(u8), nullptr);
  EXPECT_NE(fl_value_get_int32_list(i32), nullptr);
  EXPECT_NE(fl_value_get_int64_list(i64), nullptr);
  EXPECT_NE(fl_value_get_float32_list(f32), nullptr);
  EXPECT_NE(fl_value_get_float_list(f64), nullptr);
  EXPECT_EQ(fl_value_get_length(f64), 0u);
}

// Maps keep insertion order, and setting an existing key replaces its value
// where it stands.
TEST(FlValueTest, MapsKeepOrderAndReplaceInPlace) {
  g_autoptr(FlValue) map = NewOrderedMap();
  EXPECT_EQ(MapKeys(map), (std::vector<std::string>{"b", "a", "c"}));

  fl_value_set_string_take(map, "a", fl_value_new_string("new"));
  EXPECT_EQ(MapKeys(map), (std::vector<std::string>{"b", "a", "c"}));
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(map, "a")), "new");

  // Keys of any type are compared by value, and the type counts.
  g_autoptr(FlValue) one = fl_value_new_int(1);
  g_autoptr(FlValue) one_again = fl_value_new_int(1);
  g_autoptr(FlValue) one_float = fl_value_new_float(1.0);
  fl_value_set_take(map, fl_value_ref(one), fl_value_new_bool(false));
  fl_value_set(map, one_again, one_float);
  fl_value_set_take(map, fl_value_ref(one_float), fl_value_new_null());
  EXPECT_EQ(ToString(map), "{b: 1, a: new, c: 3, 1: 1.0, 1.0: null}");
  EXPECT_EQ(fl_value_lookup(map, one), one_float);
}

// A container keeps what it holds alive: the plain setters add a reference,
// the _take ones adopt the caller's.
TEST(FlValueTest, ContainersOwnTheirChildren) {
  g_autoptr(FlValue) list = fl_value_new_list();
  g_autoptr(FlValue) map = fl_value_new_map();
  FlValue* child = fl_value_new_string("child");
  FlValue* key = fl_value_new_string("key");
  fl_value_append(list, child);
  fl_value_set(map, key, child);
  fl_value_set_string(map, "other", child);
  fl_value_unref(child);
  fl_value_unref(key);
  EXPECT_STREQ(fl_value_get_string(fl_value_get_list_value(list, 0)), "child");
  EXPECT_STREQ(fl_value_get_string(fl_value_get_map_key(map, 0)), "key");
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(map, "other")),
               "child");

  fl_value_append_take(list, fl_value_new_int(5));
  EXPECT_EQ(fl_value_get_int(fl_value_get_list_value(list, 1)), 5);

  // fl_value_ref hands back the same value with one more reference.
  FlValue* extra = fl_value_ref(list);
  EXPECT_EQ(extra, list);
  fl_value_unref(extra);
  EXPECT_EQ(fl_value_get_length(list), 2u);
}

// Equality is deep and typed; maps compare regardless of entry order.
TEST(FlValueTest, EqualIsDeep) {
  auto list_of = [](std::vector<FlValue*> items) {
    FlValue* list = fl_value_new_list();
    for (FlValue* item : items) {
      fl_value_append_take(list, item);
    }
    return list;
  };
  auto map_ab = [](int64_t a, int64_t b, bool a_first) {
    FlValue* map = fl_value_new_map();
    if (a_first) {
      fl_value_set_string_take(map, "a", fl_value_new_int(a));
    }
    fl_value_set_string_take(map, "b", fl_value_new_int(b));
    if (!a_first) {
      fl_value_set_string_take(map, "a", fl_value_new_int(a));
    }
    return map;
  };
  const int32_t i32[] = {1, 2};
  const int32_t i32_other[] = {1, 3};
  const uint8_t u8[] = {1, 2};
  const double zero = 0.0, minus_zero = -0.0;
  const struct {
    const char* name;
    FlValue* a;
    FlValue* b;
    bool equal;
  } cases[] = {
      {"null", fl_value_new_null(), fl_value_new_null(), true},
      {"int", fl_value_new_int(7), fl_value_new_int(7), true},
      {"int vs other int", fl_value_new_int(7), fl_value_new_int(8), false},
      {"int vs float", fl_value_new_int(1), fl_value_new_float(1.0), false},
      {"bool vs int", fl_value_new_bool(true), fl_value_new_int(1), false},
      {"string", fl_value_new_string("x"), fl_value_new_string("x"), true},
      {"string prefix", fl_value_new_string("x"), fl_value_new_string("xy"),
       false},
      {"int32 list", fl_value_new_int32_list(i32, 2),
       fl_value_new_int32_list(i32, 2), true},
      {"int32 list element", fl_value_new_int32_list(i32, 2),
       fl_value_new_int32_list(i32_other, 2), false},
      {"int32 list length", fl_value_new_int32_list(i32, 2),
       fl_value_new_int32_list(i32, 1), false},
      {"uint8 vs int32 list", fl_value_new_uint8_list(u8, 2),
       fl_value_new_int32_list(i32, 2), false},
      {"float list signed zero", fl_value_new_float_list(&zero, 1),
       fl_value_new_float_list(&minus_zero, 1), true},
      {"list", list_of({fl_value_new_int(1), fl_value_new_string("a")}),
       list_of({fl_value_new_int(1), fl_value_new_string("a")}), true},
      {"list order", list_of({fl_value_new_int(1), fl_value_new_string("a")}),
       list_of({fl_value_new_string("a"), fl_value_new_int(1)}), false},
      {"map order", map_ab(1, 2, true), map_ab(1, 2, false), true},
      {"map value", map_ab(1, 2, true), map_ab(1, 3, false), false},
      {"map size", map_ab(1, 2, true), fl_value_new_map(), false},
      {"nested", list_of({map_ab(1, 2, true)}), list_of({map_ab(1, 2, false)}),
       true},
      {"nested differs", list_of({map_ab(1, 2, true)}),
       list_of({map_ab(2, 2, true)}), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(fl_value_equal(c.a, c.b), c.equal);
    EXPECT_EQ(fl_value_equal(c.b, c.a), c.equal);
    EXPECT_TRUE(fl_value_equal(c.a, c.a));
    fl_value_unref(c.a);
    fl_value_unref(c.b);
  }
}

// Lookups find keys by value; a missing key, a non-map or no value at all
// yields nothing, quietly, because handlers look up arguments unchecked.
TEST(FlValueTest, LookupYieldsNothingQuietly) {
  g_autoptr(FlValue) map = NewOrderedMap();
  g_autoptr(FlValue) key = fl_value_new_string("c");
  EXPECT_EQ(fl_value_get_int(fl_value_lookup(map, key)), 3);
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(map, "b")), 1);

  g_autoptr(FlValue) null_value = fl_value_new_null();
  g_autoptr(FlValue) int_value = fl_value_new_int(3);
  g_autoptr(FlValue) string_value = fl_value_new_string("a");
  g_autoptr(FlValue) list_value = fl_value_new_list_from_strv(
      std::vector<const gchar*>{"a", nullptr}.data());
  const struct {
    const char* name;
    FlValue* value;
  } cases[] = {{"absent key", map},        {"no value", nullptr},
               {"null value", null_value}, {"int", int_value},
               {"string", string_value},   {"list", list_value}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CriticalCounter criticals;
    EXPECT_EQ(fl_value_lookup_string(c.value, "zz"), nullptr);
    EXPECT_EQ(fl_value_lookup_string(c.value, "a") != nullptr, c.value == map);
    g_autoptr(FlValue) absent = fl_value_new_string("zz");
    EXPECT_EQ(fl_value_lookup(c.value, absent), nullptr);
    EXPECT_EQ(criticals.count(), 0);
  }
}

// Wrong types, missing values and out-of-range indexes are programming
// errors: each logs a critical and returns a harmless value.
TEST(FlValueTest, MisuseIsCritical) {
  g_autoptr(FlValue) i = fl_value_new_int(3);
  g_autoptr(FlValue) s = fl_value_new_string("text");
  g_autoptr(FlValue) list = fl_value_new_list();
  g_autoptr(FlValue) map = NewOrderedMap();
  const struct {
    const char* name;
    std::function<bool()> misuse;  // True when the fallback result came back.
  } cases[] = {
      {"get_bool on int", [&] { return fl_value_get_bool(i) == false; }},
      {"get_bool on nothing",
       [&] { return fl_value_get_bool(nullptr) == false; }},
      {"get_int on string", [&] { return fl_value_get_int(s) == 0; }},
      {"get_float on int", [&] { return fl_value_get_float(i) == 0.0; }},
      {"get_string on int", [&] { return fl_value_get_string(i) == nullptr; }},
      {"get_length on string", [&] { return fl_value_get_length(s) == 0; }},
      {"get_uint8_list on list",
       [&] { return fl_value_get_uint8_list(list) == nullptr; }},
      {"list index past end",
       [&] { return fl_value_get_list_value(list, 0) == nullptr; }},
      {"map key past end",
       [&] { return fl_value_get_map_key(map, 3) == nullptr; }},
      {"map value past end",
       [&] { return fl_value_get_map_value(map, 3) == nullptr; }},
      {"list value of map",
       [&] { return fl_value_get_list_value(map, 0) == nullptr; }},
      {"append to map",
       [&] {
         fl_value_append(map, i);
         return fl_value_get_length(map) == 3;
       }},
      {"append to itself",
       [&] {
         fl_value_append(list, list);
         return fl_value_get_length(list) == 0;
       }},
      {"set on list",
       [&] {
         fl_value_set_string(list, "k", i);
         return fl_value_get_length(list) == 0;
       }},
      {"string from nothing",
       [&] { return fl_value_new_string(nullptr) == nullptr; }},
      {"type of nothing",
       [&] { return fl_value_get_type(nullptr) == FL_VALUE_TYPE_NULL; }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CriticalCounter criticals;
    EXPECT_TRUE(c.misuse());
    EXPECT_EQ(criticals.count(), 1);
  }
}

// fl_value_to_string prints as Dart's toString does.
TEST(FlValueTest, ToStringMatchesDart) {
  const uint8_t u8[] = {0, 255};
  const int32_t i32[] = {-2147483647 - 1};
  const int64_t i64[] = {std::numeric_limits<int64_t>::max()};
  const double f64[] = {1.5, 2};
  const float f32[] = {0.1f, 1};
  auto mixed_list = [] {
    FlValue* list = fl_value_new_list();
    fl_value_append_take(list, fl_value_new_int(1));
    fl_value_append_take(list, fl_value_new_string("a"));
    FlValue* inner = fl_value_new_list();
    fl_value_append_take(inner, fl_value_new_bool(true));
    fl_value_append_take(list, inner);
    fl_value_append_take(list, fl_value_new_map());
    return list;
  };
  auto mixed_map = [] {
    FlValue* map = fl_value_new_map();
    fl_value_set_string_take(map, "a", fl_value_new_float(-1));
    fl_value_set_take(map, fl_value_new_int(2), fl_value_new_null());
    return map;
  };
  const struct {
    FlValue* value;
    const char* text;
  } cases[] = {
      {fl_value_new_null(), "null"},
      {fl_value_new_bool(true), "true"},
      {fl_value_new_bool(false), "false"},
      {fl_value_new_int(-5), "-5"},
      {fl_value_new_int(std::numeric_limits<int64_t>::min()),
       "-9223372036854775808"},
      {fl_value_new_float(1), "1.0"},
      {fl_value_new_float(1.5), "1.5"},
      {fl_value_new_float(0.1), "0.1"},
      {fl_value_new_float(-0.0), "-0.0"},
      {fl_value_new_float(123.456), "123.456"},
      {fl_value_new_float(1e20), "100000000000000000000.0"},
      {fl_value_new_float(1e21), "1e+21"},
      {fl_value_new_float(1.5e300), "1.5e+300"},
      {fl_value_new_float(0.000001), "0.000001"},
      {fl_value_new_float(1e-7), "1e-7"},
      {fl_value_new_float(-1.2345e-10), "-1.2345e-10"},
      {fl_value_new_float(1.0 / 3), "0.3333333333333333"},
      {fl_value_new_float(NAN), "NaN"},
      {fl_value_new_float(INFINITY), "Infinity"},
      {fl_value_new_float(-INFINITY), "-Infinity"},
      {fl_value_new_string("hi there"), "hi there"},
      {fl_value_new_uint8_list(u8, 2), "[0, 255]"},
      {fl_value_new_int32_list(i32, 1), "[-2147483648]"},
      {fl_value_new_int64_list(i64, 1), "[9223372036854775807]"},
      {fl_value_new_float_list(f64, 2), "[1.5, 2.0]"},
      {fl_value_new_float32_list(f32, 2), "[0.10000000149011612, 1.0]"},
      {fl_value_new_list(), "[]"},
      {mixed_list(), "[1, a, [true], {}]"},
      {mixed_map(), "{a: -1.0, 2: null}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(ToString(c.value), c.text);
    fl_value_unref(c.value);
  }
}

// A shared value survives references taken and dropped on many threads at
// once (run under AddressSanitizer, a lost update shows as a use after free).
TEST(FlValueTest, ReferencesAreThreadSafe) {
  g_autoptr(FlValue) shared = NewOrderedMap();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&shared] {
      for (int i = 0; i < 100000; i++) {
        fl_value_unref(fl_value_ref(shared));
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(MapKeys(shared), (std::vector<std::string>{"b", "a", "c"}));
}

// Releasing a very deeply nested value does not recurse once per level,
// which would overflow the stack.
TEST(FlValueTest, DeepValueIsReleased) {
  FlValue* root = fl_value_new_list();
  FlValue* tip = root;
  for (int i = 0; i < 200000; i++) {
    FlValue* child = fl_value_new_list();
    fl_value_append_take(tip, child);
    tip = child;
  }
  fl_value_append_take(tip, fl_value_new_string("bottom"));
  fl_value_unref(root);
}
