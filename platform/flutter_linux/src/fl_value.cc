// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_value.h"

#include <gmodule.h>

#include <cmath>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

struct _FlValue {
  FlValueType type;
  gint ref_count;  // Atomic: values may move between threads.
  union {
    bool bool_value;
    int64_t int_value;
    double float_value;
    gchar* string_value;  // Owned, nul-terminated.
    struct {
      gpointer data;  // Owned copy; never NULL, even when length is 0.
      size_t length;  // In elements.
    } typed_list;
    GPtrArray* list;  // Owns one reference to each element.
    struct {
      GPtrArray* keys;    // Owns one reference to each key.
      GPtrArray* values;  // Parallel to keys, owns its references too.
    } map;
  };
};

namespace {

FlValue* value_new(FlValueType type) {
  FlValue* self = g_new0(FlValue, 1);
  self->type = type;
  self->ref_count = 1;
  return self;
}

bool is_typed_list(FlValueType type) {
  switch (type) {
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return true;
    default:
      return false;
  }
}

// Copies `length` elements of `element_size` bytes into a new typed list.
FlValue* typed_list_new(FlValueType type,
                        gconstpointer data,
                        size_t length,
                        size_t element_size) {
  FlValue* self = value_new(type);
  // At least one element is allocated so that the getters never return NULL,
  // which callers would take for an error.
  self->typed_list.data = g_malloc0_n(MAX(length, 1), element_size);
  if (length > 0) {
    memcpy(self->typed_list.data, data, length * element_size);
  }
  self->typed_list.length = length;
  return self;
}

// Drops one reference to `value`, queueing it on `dead` if that was the last.
void release_into(FlValue* value, std::vector<FlValue*>* dead) {
  if (g_atomic_int_dec_and_test(&value->ref_count)) {
    dead->push_back(value);
  }
}

// Frees `value` and every child whose last reference it held. A worklist
// rather than recursion, so that a deeply nested value cannot exhaust the
// stack when it goes.
void destroy(FlValue* value) {
  std::vector<FlValue*> dead = {value};
  while (!dead.empty()) {
    FlValue* self = dead.back();
    dead.pop_back();
    switch (self->type) {
      case FL_VALUE_TYPE_STRING:
        g_free(self->string_value);
        break;
      case FL_VALUE_TYPE_UINT8_LIST:
      case FL_VALUE_TYPE_INT32_LIST:
      case FL_VALUE_TYPE_INT64_LIST:
      case FL_VALUE_TYPE_FLOAT_LIST:
      case FL_VALUE_TYPE_FLOAT32_LIST:
        g_free(self->typed_list.data);
        break;
      case FL_VALUE_TYPE_LIST:
        for (guint i = 0; i < self->list->len; i++) {
          release_into(static_cast<FlValue*>(g_ptr_array_index(self->list, i)),
                       &dead);
        }
        g_ptr_array_unref(self->list);
        break;
      case FL_VALUE_TYPE_MAP:
        for (guint i = 0; i < self->map.keys->len; i++) {
          release_into(
              static_cast<FlValue*>(g_ptr_array_index(self->map.keys, i)),
              &dead);
          release_into(
              static_cast<FlValue*>(g_ptr_array_index(self->map.values, i)),
              &dead);
        }
        g_ptr_array_unref(self->map.keys);
        g_ptr_array_unref(self->map.values);
        break;
      default:
        break;
    }
    g_free(self);
  }
}

// The index of the map entry whose key equals `key`, or -1.
gssize map_find(FlValue* map, FlValue* key) {
  for (guint i = 0; i < map->map.keys->len; i++) {
    if (fl_value_equal(
            static_cast<FlValue*>(g_ptr_array_index(map->map.keys, i)), key)) {
      return i;
    }
  }
  return -1;
}

// Stores an entry in `map`, taking over the caller's references to `key` and
// `child`. An entry with an equal key is replaced where it stands, so the
// order of the other entries is kept.
void map_set_take(FlValue* map, FlValue* key, FlValue* child) {
  gssize index = map_find(map, key);
  if (index < 0) {
    g_ptr_array_add(map->map.keys, key);
    g_ptr_array_add(map->map.values, child);
    return;
  }
  gpointer* keys = map->map.keys->pdata;
  gpointer* values = map->map.values->pdata;
  FlValue* old_key = static_cast<FlValue*>(keys[index]);
  FlValue* old_value = static_cast<FlValue*>(values[index]);
  keys[index] = key;
  values[index] = child;
  fl_value_unref(old_key);
  fl_value_unref(old_value);
}

bool typed_list_equal(FlValue* a, FlValue* b) {
  size_t n = a->typed_list.length;
  if (n != b->typed_list.length) {
    return false;
  }
  switch (a->type) {
    case FL_VALUE_TYPE_UINT8_LIST:
      return memcmp(a->typed_list.data, b->typed_list.data, n) == 0;
    case FL_VALUE_TYPE_INT32_LIST:
      return memcmp(a->typed_list.data, b->typed_list.data,
                    n * sizeof(int32_t)) == 0;
    case FL_VALUE_TYPE_INT64_LIST:
      return memcmp(a->typed_list.data, b->typed_list.data,
                    n * sizeof(int64_t)) == 0;
    case FL_VALUE_TYPE_FLOAT_LIST: {
      // Numeric comparison, as for single floats: 0.0 equals -0.0.
      const double* x = static_cast<const double*>(a->typed_list.data);
      const double* y = static_cast<const double*>(b->typed_list.data);
      for (size_t i = 0; i < n; i++) {
        if (x[i] != y[i]) {
          return false;
        }
      }
      return true;
    }
    case FL_VALUE_TYPE_FLOAT32_LIST: {
      const float* x = static_cast<const float*>(a->typed_list.data);
      const float* y = static_cast<const float*>(b->typed_list.data);
      for (size_t i = 0; i < n; i++) {
        if (x[i] != y[i]) {
          return false;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

// Appends `value` to `buffer` the way Dart prints a double: the shortest
// digits that read back as the same number, positional notation from 1e-6 up
// to below 1e21, and ".0" on whole numbers.
void append_double(GString* buffer, double value) {
  if (std::isnan(value)) {
    g_string_append(buffer, "NaN");
    return;
  }
  if (std::isinf(value)) {
    g_string_append(buffer, value < 0 ? "-Infinity" : "Infinity");
    return;
  }
  // The g_ascii_ functions ignore the locale, which GTK may have set to one
  // with a decimal comma.
  gchar text[G_ASCII_DTOSTR_BUF_SIZE];
  for (int precision = 0; precision < 17; precision++) {
    gchar format[8];
    g_snprintf(format, sizeof(format), "%%.%de", precision);
    g_ascii_formatd(text, sizeof(text), format, value);
    if (g_ascii_strtod(text, nullptr) == value) {
      break;
    }
  }

  // text is now [-]d[.ddd]e(+|-)dd.
  const gchar* p = text;
  bool negative = *p == '-';
  if (negative) {
    p++;
  }
  std::string digits;
  for (; *p != 'e'; p++) {
    if (g_ascii_isdigit(*p)) {
      digits += *p;
    }
  }
  int exponent = atoi(p + 1);
  while (digits.size() > 1 && digits.back() == '0') {
    digits.pop_back();
  }

  // value = 0.digits * 10^point
  int k = static_cast<int>(digits.size());
  int point = exponent + 1;
  std::string out = negative ? "-" : "";
  if (k <= point && point <= 21) {
    out += digits + std::string(point - k, '0') + ".0";
  } else if (0 < point && point <= 21) {
    out += digits.substr(0, point) + "." + digits.substr(point);
  } else if (-6 < point && point <= 0) {
    out += "0." + std::string(-point, '0') + digits;
  } else {
    out += digits.substr(0, 1);
    if (k > 1) {
      out += "." + digits.substr(1);
    }
    int e = point - 1;
    out += e < 0 ? "e-" : "e+";
    out += std::to_string(e < 0 ? -e : e);
  }
  g_string_append(buffer, out.c_str());
}

template <typename T>
void append_number_list(GString* buffer, FlValue* value) {
  const T* data = static_cast<const T*>(value->typed_list.data);
  g_string_append_c(buffer, '[');
  for (size_t i = 0; i < value->typed_list.length; i++) {
    if (i > 0) {
      g_string_append(buffer, ", ");
    }
    if constexpr (std::is_floating_point_v<T>) {
      append_double(buffer, data[i]);
    } else {
      g_string_append_printf(buffer, "%" G_GINT64_FORMAT,
                             static_cast<gint64>(data[i]));
    }
  }
  g_string_append_c(buffer, ']');
}

void append_value(GString* buffer, FlValue* value) {
  switch (value->type) {
    case FL_VALUE_TYPE_NULL:
      g_string_append(buffer, "null");
      return;
    case FL_VALUE_TYPE_BOOL:
      g_string_append(buffer, value->bool_value ? "true" : "false");
      return;
    case FL_VALUE_TYPE_INT:
      g_string_append_printf(buffer, "%" G_GINT64_FORMAT, value->int_value);
      return;
    case FL_VALUE_TYPE_FLOAT:
      append_double(buffer, value->float_value);
      return;
    case FL_VALUE_TYPE_STRING:
      g_string_append(buffer, value->string_value);
      return;
    case FL_VALUE_TYPE_UINT8_LIST:
      append_number_list<uint8_t>(buffer, value);
      return;
    case FL_VALUE_TYPE_INT32_LIST:
      append_number_list<int32_t>(buffer, value);
      return;
    case FL_VALUE_TYPE_INT64_LIST:
      append_number_list<int64_t>(buffer, value);
      return;
    case FL_VALUE_TYPE_FLOAT_LIST:
      append_number_list<double>(buffer, value);
      return;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      append_number_list<float>(buffer, value);
      return;
    case FL_VALUE_TYPE_LIST:
      g_string_append_c(buffer, '[');
      for (guint i = 0; i < value->list->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer,
                     static_cast<FlValue*>(g_ptr_array_index(value->list, i)));
      }
      g_string_append_c(buffer, ']');
      return;
    case FL_VALUE_TYPE_MAP:
      g_string_append_c(buffer, '{');
      for (guint i = 0; i < value->map.keys->len; i++) {
        if (i > 0) {
          g_string_append(buffer, ", ");
        }
        append_value(buffer, static_cast<FlValue*>(
                                 g_ptr_array_index(value->map.keys, i)));
        g_string_append(buffer, ": ");
        append_value(buffer, static_cast<FlValue*>(
                                 g_ptr_array_index(value->map.values, i)));
      }
      g_string_append_c(buffer, '}');
      return;
  }
}

}  // namespace

G_MODULE_EXPORT FlValue* fl_value_new_null() {
  return value_new(FL_VALUE_TYPE_NULL);
}

G_MODULE_EXPORT FlValue* fl_value_new_bool(bool value) {
  FlValue* self = value_new(FL_VALUE_TYPE_BOOL);
  self->bool_value = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_int(int64_t value) {
  FlValue* self = value_new(FL_VALUE_TYPE_INT);
  self->int_value = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_float(double value) {
  FlValue* self = value_new(FL_VALUE_TYPE_FLOAT);
  self->float_value = value;
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_string(const gchar* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  FlValue* self = value_new(FL_VALUE_TYPE_STRING);
  self->string_value = g_strdup(value);
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_string_sized(const gchar* value,
                                                   size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  FlValue* self = value_new(FL_VALUE_TYPE_STRING);
  self->string_value = static_cast<gchar*>(g_malloc(value_length + 1));
  if (value_length > 0) {
    memcpy(self->string_value, value, value_length);
  }
  self->string_value[value_length] = '\0';
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_uint8_list(const uint8_t* value,
                                                 size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  return typed_list_new(FL_VALUE_TYPE_UINT8_LIST, value, value_length,
                        sizeof(uint8_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_uint8_list_from_bytes(GBytes* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  gsize length = 0;
  gconstpointer data = g_bytes_get_data(value, &length);
  return typed_list_new(FL_VALUE_TYPE_UINT8_LIST, data, length,
                        sizeof(uint8_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_int32_list(const int32_t* value,
                                                 size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  return typed_list_new(FL_VALUE_TYPE_INT32_LIST, value, value_length,
                        sizeof(int32_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_int64_list(const int64_t* value,
                                                 size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  return typed_list_new(FL_VALUE_TYPE_INT64_LIST, value, value_length,
                        sizeof(int64_t));
}

G_MODULE_EXPORT FlValue* fl_value_new_float32_list(const float* value,
                                                   size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  return typed_list_new(FL_VALUE_TYPE_FLOAT32_LIST, value, value_length,
                        sizeof(float));
}

G_MODULE_EXPORT FlValue* fl_value_new_float_list(const double* value,
                                                 size_t value_length) {
  g_return_val_if_fail(value != nullptr || value_length == 0, nullptr);
  return typed_list_new(FL_VALUE_TYPE_FLOAT_LIST, value, value_length,
                        sizeof(double));
}

G_MODULE_EXPORT FlValue* fl_value_new_list() {
  FlValue* self = value_new(FL_VALUE_TYPE_LIST);
  self->list = g_ptr_array_new();
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_list_from_strv(
    const gchar* const* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  FlValue* self = fl_value_new_list();
  for (const gchar* const* s = value; *s != nullptr; s++) {
    g_ptr_array_add(self->list, fl_value_new_string(*s));
  }
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_new_map() {
  FlValue* self = value_new(FL_VALUE_TYPE_MAP);
  self->map.keys = g_ptr_array_new();
  self->map.values = g_ptr_array_new();
  return self;
}

G_MODULE_EXPORT FlValue* fl_value_ref(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_atomic_int_inc(&value->ref_count);
  return value;
}

G_MODULE_EXPORT void fl_value_unref(FlValue* value) {
  g_return_if_fail(value != nullptr);
  if (g_atomic_int_dec_and_test(&value->ref_count)) {
    destroy(value);
  }
}

G_MODULE_EXPORT FlValueType fl_value_get_type(FlValue* value) {
  g_return_val_if_fail(value != nullptr, FL_VALUE_TYPE_NULL);
  return value->type;
}

G_MODULE_EXPORT bool fl_value_equal(FlValue* a, FlValue* b) {
  g_return_val_if_fail(a != nullptr, false);
  g_return_val_if_fail(b != nullptr, false);
  if (a == b) {
    return true;
  }
  if (a->type != b->type) {
    return false;
  }
  switch (a->type) {
    case FL_VALUE_TYPE_NULL:
      return true;
    case FL_VALUE_TYPE_BOOL:
      return a->bool_value == b->bool_value;
    case FL_VALUE_TYPE_INT:
      return a->int_value == b->int_value;
    case FL_VALUE_TYPE_FLOAT:
      return a->float_value == b->float_value;
    case FL_VALUE_TYPE_STRING:
      return strcmp(a->string_value, b->string_value) == 0;
    case FL_VALUE_TYPE_UINT8_LIST:
    case FL_VALUE_TYPE_INT32_LIST:
    case FL_VALUE_TYPE_INT64_LIST:
    case FL_VALUE_TYPE_FLOAT_LIST:
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return typed_list_equal(a, b);
    case FL_VALUE_TYPE_LIST:
      if (a->list->len != b->list->len) {
        return false;
      }
      for (guint i = 0; i < a->list->len; i++) {
        if (!fl_value_equal(
                static_cast<FlValue*>(g_ptr_array_index(a->list, i)),
                static_cast<FlValue*>(g_ptr_array_index(b->list, i)))) {
          return false;
        }
      }
      return true;
    case FL_VALUE_TYPE_MAP:
      // Keys are unique within a map, so equal sizes and every entry of `a`
      // found in `b` make the two maps equal whatever their order.
      if (a->map.keys->len != b->map.keys->len) {
        return false;
      }
      for (guint i = 0; i < a->map.keys->len; i++) {
        FlValue* key = static_cast<FlValue*>(g_ptr_array_index(a->map.keys, i));
        gssize j = map_find(b, key);
        if (j < 0 ||
            !fl_value_equal(
                static_cast<FlValue*>(g_ptr_array_index(a->map.values, i)),
                static_cast<FlValue*>(g_ptr_array_index(b->map.values, j)))) {
          return false;
        }
      }
      return true;
  }
  return false;
}

G_MODULE_EXPORT void fl_value_append(FlValue* value, FlValue* child) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != nullptr);
  g_return_if_fail(child != value);
  g_ptr_array_add(value->list, fl_value_ref(child));
}

G_MODULE_EXPORT void fl_value_append_take(FlValue* value, FlValue* child) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_LIST);
  g_return_if_fail(child != nullptr);
  g_return_if_fail(child != value);
  g_ptr_array_add(value->list, child);
}

G_MODULE_EXPORT void fl_value_set(FlValue* value,
                                  FlValue* key,
                                  FlValue* child_value) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr);
  g_return_if_fail(child_value != nullptr);
  g_return_if_fail(key != value && child_value != value);
  map_set_take(value, fl_value_ref(key), fl_value_ref(child_value));
}

G_MODULE_EXPORT void fl_value_set_take(FlValue* value,
                                       FlValue* key,
                                       FlValue* child_value) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr);
  g_return_if_fail(child_value != nullptr);
  g_return_if_fail(key != value && child_value != value);
  map_set_take(value, key, child_value);
}

G_MODULE_EXPORT void fl_value_set_string(FlValue* value,
                                         const gchar* key,
                                         FlValue* child_value) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr);
  g_return_if_fail(child_value != nullptr);
  g_return_if_fail(child_value != value);
  map_set_take(value, fl_value_new_string(key), fl_value_ref(child_value));
}

G_MODULE_EXPORT void fl_value_set_string_take(FlValue* value,
                                              const gchar* key,
                                              FlValue* child_value) {
  g_return_if_fail(value != nullptr);
  g_return_if_fail(value->type == FL_VALUE_TYPE_MAP);
  g_return_if_fail(key != nullptr);
  g_return_if_fail(child_value != nullptr);
  g_return_if_fail(child_value != value);
  map_set_take(value, fl_value_new_string(key), child_value);
}

G_MODULE_EXPORT bool fl_value_get_bool(FlValue* value) {
  g_return_val_if_fail(value != nullptr, false);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_BOOL, false);
  return value->bool_value;
}

G_MODULE_EXPORT int64_t fl_value_get_int(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_INT, 0);
  return value->int_value;
}

G_MODULE_EXPORT double fl_value_get_float(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0.0);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_FLOAT, 0.0);
  return value->float_value;
}

G_MODULE_EXPORT const gchar* fl_value_get_string(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_STRING, nullptr);
  return value->string_value;
}

G_MODULE_EXPORT size_t fl_value_get_length(FlValue* value) {
  g_return_val_if_fail(value != nullptr, 0);
  g_return_val_if_fail(is_typed_list(value->type) ||
                           value->type == FL_VALUE_TYPE_LIST ||
                           value->type == FL_VALUE_TYPE_MAP,
                       0);
  switch (value->type) {
    case FL_VALUE_TYPE_LIST:
      return value->list->len;
    case FL_VALUE_TYPE_MAP:
      return value->map.keys->len;
    default:
      return value->typed_list.length;
  }
}

G_MODULE_EXPORT const uint8_t* fl_value_get_uint8_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_UINT8_LIST, nullptr);
  return static_cast<const uint8_t*>(value->typed_list.data);
}

G_MODULE_EXPORT const int32_t* fl_value_get_int32_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_INT32_LIST, nullptr);
  return static_cast<const int32_t*>(value->typed_list.data);
}

G_MODULE_EXPORT const int64_t* fl_value_get_int64_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_INT64_LIST, nullptr);
  return static_cast<const int64_t*>(value->typed_list.data);
}

G_MODULE_EXPORT const float* fl_value_get_float32_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_FLOAT32_LIST, nullptr);
  return static_cast<const float*>(value->typed_list.data);
}

G_MODULE_EXPORT const double* fl_value_get_float_list(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_FLOAT_LIST, nullptr);
  return static_cast<const double*>(value->typed_list.data);
}

G_MODULE_EXPORT FlValue* fl_value_get_list_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_LIST, nullptr);
  g_return_val_if_fail(index < value->list->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->list, index));
}

G_MODULE_EXPORT FlValue* fl_value_get_map_key(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->map.keys->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->map.keys, index));
}

G_MODULE_EXPORT FlValue* fl_value_get_map_value(FlValue* value, size_t index) {
  g_return_val_if_fail(value != nullptr, nullptr);
  g_return_val_if_fail(value->type == FL_VALUE_TYPE_MAP, nullptr);
  g_return_val_if_fail(index < value->map.values->len, nullptr);
  return static_cast<FlValue*>(g_ptr_array_index(value->map.values, index));
}

// Arguments from the other side may be anything, and handlers look keys up
// without checking first, so a missing or non-map value is not a programming
// error here: it simply has no entries.
G_MODULE_EXPORT FlValue* fl_value_lookup(FlValue* value, FlValue* key) {
  g_return_val_if_fail(key != nullptr, nullptr);
  if (value == nullptr || value->type != FL_VALUE_TYPE_MAP) {
    return nullptr;
  }
  gssize index = map_find(value, key);
  if (index < 0) {
    return nullptr;
  }
  return static_cast<FlValue*>(g_ptr_array_index(value->map.values, index));
}

G_MODULE_EXPORT FlValue* fl_value_lookup_string(FlValue* value,
                                                const gchar* key) {
  g_return_val_if_fail(key != nullptr, nullptr);
  if (value == nullptr || value->type != FL_VALUE_TYPE_MAP) {
    return nullptr;
  }
  for (guint i = 0; i < value->map.keys->len; i++) {
    FlValue* k = static_cast<FlValue*>(g_ptr_array_index(value->map.keys, i));
    if (k->type == FL_VALUE_TYPE_STRING && strcmp(k->string_value, key) == 0) {
      return static_cast<FlValue*>(g_ptr_array_index(value->map.values, i));
    }
  }
  return nullptr;
}

G_MODULE_EXPORT gchar* fl_value_to_string(FlValue* value) {
  g_return_val_if_fail(value != nullptr, nullptr);
  GString* buffer = g_string_new(nullptr);
  append_value(buffer, value);
  return g_string_free(buffer, FALSE);
}
