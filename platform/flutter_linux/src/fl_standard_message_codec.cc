// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_standard_message_codec.h"

#include <cstring>

// The wire format is the host's byte order, which is little-endian on every
// Linux target the other side runs on; values are copied as they lie.
static_assert(G_BYTE_ORDER == G_LITTLE_ENDIAN,
              "the standard codec is written for little-endian hosts");

namespace {

// Tags 0 to 127 belong to this codec; subclasses use 128 and above. Tag 5,
// an integer too large for 64 bits written as hexadecimal text, has no
// FlValue type and is refused like any unknown tag.
constexpr int kValueNull = 0;
constexpr int kValueTrue = 1;
constexpr int kValueFalse = 2;
constexpr int kValueInt32 = 3;
constexpr int kValueInt64 = 4;
constexpr int kValueFloat64 = 6;
constexpr int kValueString = 7;
constexpr int kValueUint8List = 8;
constexpr int kValueInt32List = 9;
constexpr int kValueInt64List = 10;
constexpr int kValueFloat64List = 11;
constexpr int kValueList = 12;
constexpr int kValueMap = 13;
constexpr int kValueFloat32List = 14;

// Size fields: one byte below 254, else a marker and a 16- or 32-bit count.
constexpr uint8_t kSize16 = 254;
constexpr uint8_t kSize32 = 255;

// How deeply lists and maps may nest. Reading and writing recurse once per
// level, so without a bound a small hostile message could exhaust the stack.
// Worker threads may have small stacks, hence a modest figure.
constexpr int kMaxDepth = 512;

// Nesting of the reads and writes in progress on this thread. Per thread, so
// one codec may serve several threads, and counted across subclasses, which
// recurse through the public helpers.
thread_local int read_depth = 0;
thread_local int write_depth = 0;

// Counts one level of nesting for as long as it lives.
class DepthGuard {
 public:
  explicit DepthGuard(int* depth) : depth_(depth) { (*depth_)++; }
  ~DepthGuard() { (*depth_)--; }
  DepthGuard(const DepthGuard&) = delete;
  DepthGuard& operator=(const DepthGuard&) = delete;
  bool TooDeep() const { return *depth_ > kMaxDepth; }

 private:
  int* depth_;
};

void write_uint8(GByteArray* buffer, uint8_t value) {
  g_byte_array_append(buffer, &value, 1);
}

void write_data(GByteArray* buffer, gconstpointer data, size_t length) {
  if (length > 0) {
    g_byte_array_append(buffer, static_cast<const guint8*>(data), length);
  }
}

// Pads with zeros to a multiple of `alignment`, counted from the start of the
// message.
void write_align(GByteArray* buffer, guint alignment) {
  while (buffer->len % alignment != 0) {
    write_uint8(buffer, 0);
  }
}

// Writes a size field for `length`, failing for a length the field cannot
// hold.
gboolean write_length(FlStandardMessageCodec* codec,
                      GByteArray* buffer,
                      size_t length,
                      GError** error) {
  if (length > G_MAXUINT32) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                "Length %" G_GSIZE_FORMAT " does not fit a size field", length);
    return FALSE;
  }
  fl_standard_message_codec_write_size(codec, buffer, length);
  return TRUE;
}

// Writes a typed list: tag, size, padding to the element size, elements.
gboolean write_typed_list(FlStandardMessageCodec* codec,
                          GByteArray* buffer,
                          int tag,
                          gconstpointer data,
                          size_t length,
                          guint element_size,
                          GError** error) {
  write_uint8(buffer, tag);
  if (!write_length(codec, buffer, length, error)) {
    return FALSE;
  }
  write_align(buffer, element_size);
  write_data(buffer, data, length * element_size);
  return TRUE;
}

// Checks that `length` more bytes lie at `offset`.
gboolean check_remaining(GBytes* buffer,
                         size_t offset,
                         size_t length,
                         GError** error) {
  size_t size = g_bytes_get_size(buffer);
  if (offset > size || length > size - offset) {
    g_set_error(
        error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
        "Unexpected end of data: %" G_GSIZE_FORMAT
        " bytes needed at offset %" G_GSIZE_FORMAT " of %" G_GSIZE_FORMAT,
        length, offset, size);
    return FALSE;
  }
  return TRUE;
}

// Copies `length` bytes at *offset into `data` and moves past them.
gboolean read_data(GBytes* buffer,
                   size_t* offset,
                   gpointer data,
                   size_t length,
                   GError** error) {
  if (!check_remaining(buffer, *offset, length, error)) {
    return FALSE;
  }
  const uint8_t* bytes =
      static_cast<const uint8_t*>(g_bytes_get_data(buffer, nullptr));
  memcpy(data, bytes + *offset, length);
  *offset += length;
  return TRUE;
}

// Skips the padding up to a multiple of `alignment`.
gboolean read_align(GBytes* buffer,
                    size_t* offset,
                    size_t alignment,
                    GError** error) {
  size_t padding = (alignment - *offset % alignment) % alignment;
  if (!check_remaining(buffer, *offset, padding, error)) {
    return FALSE;
  }
  *offset += padding;
  return TRUE;
}

// Reads a size field and checks that the message still holds at least
// `min_item_size` bytes per counted item, so that a forged count fails at
// once instead of after a huge allocation.
gboolean read_count(FlStandardMessageCodec* codec,
                    GBytes* buffer,
                    size_t* offset,
                    size_t min_item_size,
                    uint32_t* count,
                    GError** error) {
  if (!fl_standard_message_codec_read_size(codec, buffer, offset, count,
                                           error)) {
    return FALSE;
  }
  size_t remaining = g_bytes_get_size(buffer) - *offset;
  if (*count > remaining / min_item_size) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_OUT_OF_DATA,
                "Unexpected end of data: %u items announced, %" G_GSIZE_FORMAT
                " bytes left",
                *count, remaining);
    return FALSE;
  }
  return TRUE;
}

FlValue* read_string(FlStandardMessageCodec* codec,
                     GBytes* buffer,
                     size_t* offset,
                     GError** error) {
  uint32_t length = 0;
  if (!read_count(codec, buffer, offset, 1, &length, error)) {
    return nullptr;
  }
  const gchar* text =
      static_cast<const gchar*>(g_bytes_get_data(buffer, nullptr)) + *offset;
  // Text is handed out nul-terminated, so an embedded nul would silently cut
  // it short; like malformed UTF-8 it is refused.
  if (!g_utf8_validate_len(text, length, nullptr)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "String at offset %" G_GSIZE_FORMAT " is not valid UTF-8",
                *offset);
    return nullptr;
  }
  *offset += length;
  return fl_value_new_string_sized(text, length);
}

// Reads the count, padding and elements of a typed list, whose tag has been
// read.
FlValue* read_typed_list(FlStandardMessageCodec* codec,
                         GBytes* buffer,
                         size_t* offset,
                         int tag,
                         GError** error) {
  size_t element_size = 1;
  switch (tag) {
    case kValueUint8List:
      element_size = sizeof(uint8_t);
      break;
    case kValueInt32List:
      element_size = sizeof(int32_t);
      break;
    case kValueFloat32List:
      element_size = sizeof(float);
      break;
    case kValueInt64List:
      element_size = sizeof(int64_t);
      break;
    case kValueFloat64List:
      element_size = sizeof(double);
      break;
  }
  uint32_t length = 0;
  if (!fl_standard_message_codec_read_size(codec, buffer, offset, &length,
                                           error) ||
      !read_align(buffer, offset, element_size, error) ||
      !check_remaining(buffer, *offset,
                       static_cast<size_t>(length) * element_size, error)) {
    return nullptr;
  }
  const uint8_t* data =
      static_cast<const uint8_t*>(g_bytes_get_data(buffer, nullptr)) + *offset;
  *offset += static_cast<size_t>(length) * element_size;
  // The constructors copy, so the elements need not be aligned in memory.
  switch (tag) {
    case kValueUint8List:
      return fl_value_new_uint8_list(data, length);
    case kValueInt32List: {
      g_autofree int32_t* copy = g_new(int32_t, MAX(length, 1u));
      memcpy(copy, data, length * element_size);
      return fl_value_new_int32_list(copy, length);
    }
    case kValueFloat32List: {
      g_autofree float* copy = g_new(float, MAX(length, 1u));
      memcpy(copy, data, length * element_size);
      return fl_value_new_float32_list(copy, length);
    }
    case kValueInt64List: {
      g_autofree int64_t* copy = g_new(int64_t, MAX(length, 1u));
      memcpy(copy, data, length * element_size);
      return fl_value_new_int64_list(copy, length);
    }
    default: {
      g_autofree double* copy = g_new(double, MAX(length, 1u));
      memcpy(copy, data, length * element_size);
      return fl_value_new_float_list(copy, length);
    }
  }
}

FlValue* read_list(FlStandardMessageCodec* codec,
                   GBytes* buffer,
                   size_t* offset,
                   GError** error) {
  uint32_t length = 0;
  if (!read_count(codec, buffer, offset, 1, &length, error)) {
    return nullptr;
  }
  g_autoptr(FlValue) list = fl_value_new_list();
  for (uint32_t i = 0; i < length; i++) {
    FlValue* child =
        fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (child == nullptr) {
      return nullptr;
    }
    fl_value_append_take(list, child);
  }
  return static_cast<FlValue*>(g_steal_pointer(&list));
}

FlValue* read_map(FlStandardMessageCodec* codec,
                  GBytes* buffer,
                  size_t* offset,
                  GError** error) {
  uint32_t length = 0;
  if (!read_count(codec, buffer, offset, 2, &length, error)) {
    return nullptr;
  }
  g_autoptr(FlValue) map = fl_value_new_map();
  for (uint32_t i = 0; i < length; i++) {
    g_autoptr(FlValue) key =
        fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (key == nullptr) {
      return nullptr;
    }
    g_autoptr(FlValue) value =
        fl_standard_message_codec_read_value(codec, buffer, offset, error);
    if (value == nullptr) {
      return nullptr;
    }
    fl_value_set(map, key, value);
  }
  return static_cast<FlValue*>(g_steal_pointer(&map));
}

}  // namespace

G_DEFINE_TYPE(FlStandardMessageCodec,
              fl_standard_message_codec,
              fl_message_codec_get_type())

// Writes a value of one of the standard types; the default write_value.
static gboolean fl_standard_message_codec_real_write_value(
    FlStandardMessageCodec* self,
    GByteArray* buffer,
    FlValue* value,
    GError** error) {
  if (value == nullptr) {
    write_uint8(buffer, kValueNull);
    return TRUE;
  }

  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_NULL:
      write_uint8(buffer, kValueNull);
      return TRUE;
    case FL_VALUE_TYPE_BOOL:
      write_uint8(buffer, fl_value_get_bool(value) ? kValueTrue : kValueFalse);
      return TRUE;
    case FL_VALUE_TYPE_INT: {
      int64_t v = fl_value_get_int(value);
      if (v >= G_MININT32 && v <= G_MAXINT32) {
        int32_t v32 = static_cast<int32_t>(v);
        write_uint8(buffer, kValueInt32);
        write_data(buffer, &v32, sizeof(v32));
      } else {
        write_uint8(buffer, kValueInt64);
        write_data(buffer, &v, sizeof(v));
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_FLOAT: {
      double v = fl_value_get_float(value);
      write_uint8(buffer, kValueFloat64);
      write_align(buffer, sizeof(double));
      write_data(buffer, &v, sizeof(v));
      return TRUE;
    }
    case FL_VALUE_TYPE_STRING: {
      const gchar* text = fl_value_get_string(value);
      size_t length = strlen(text);
      write_uint8(buffer, kValueString);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      write_data(buffer, text, length);
      return TRUE;
    }
    case FL_VALUE_TYPE_UINT8_LIST:
      return write_typed_list(self, buffer, kValueUint8List,
                              fl_value_get_uint8_list(value),
                              fl_value_get_length(value), 1, error);
    case FL_VALUE_TYPE_INT32_LIST:
      return write_typed_list(
          self, buffer, kValueInt32List, fl_value_get_int32_list(value),
          fl_value_get_length(value), sizeof(int32_t), error);
    case FL_VALUE_TYPE_INT64_LIST:
      return write_typed_list(
          self, buffer, kValueInt64List, fl_value_get_int64_list(value),
          fl_value_get_length(value), sizeof(int64_t), error);
    case FL_VALUE_TYPE_FLOAT_LIST:
      return write_typed_list(
          self, buffer, kValueFloat64List, fl_value_get_float_list(value),
          fl_value_get_length(value), sizeof(double), error);
    case FL_VALUE_TYPE_FLOAT32_LIST:
      return write_typed_list(self, buffer, kValueFloat32List,
                              fl_value_get_float32_list(value),
                              fl_value_get_length(value), sizeof(float), error);
    case FL_VALUE_TYPE_LIST: {
      size_t length = fl_value_get_length(value);
      write_uint8(buffer, kValueList);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < length; i++) {
        if (!fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_list_value(value, i), error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
    case FL_VALUE_TYPE_MAP: {
      size_t length = fl_value_get_length(value);
      write_uint8(buffer, kValueMap);
      if (!write_length(self, buffer, length, error)) {
        return FALSE;
      }
      for (size_t i = 0; i < length; i++) {
        if (!fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_map_key(value, i), error) ||
            !fl_standard_message_codec_write_value(
                self, buffer, fl_value_get_map_value(value, i), error)) {
          return FALSE;
        }
      }
      return TRUE;
    }
  }

  g_set_error(error, FL_MESSAGE_CODEC_ERROR,
              FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
              "Unsupported value type %d", fl_value_get_type(value));
  return FALSE;
}

// Reads the payload of a standard type whose tag has been read; the default
// read_value_of_type.
static FlValue* fl_standard_message_codec_real_read_value_of_type(
    FlStandardMessageCodec* self,
    GBytes* buffer,
    size_t* offset,
    int type,
    GError** error) {
  switch (type) {
    case kValueNull:
      return fl_value_new_null();
    case kValueTrue:
      return fl_value_new_bool(true);
    case kValueFalse:
      return fl_value_new_bool(false);
    case kValueInt32: {
      int32_t v = 0;
      if (!read_data(buffer, offset, &v, sizeof(v), error)) {
        return nullptr;
      }
      return fl_value_new_int(v);
    }
    case kValueInt64: {
      int64_t v = 0;
      if (!read_data(buffer, offset, &v, sizeof(v), error)) {
        return nullptr;
      }
      return fl_value_new_int(v);
    }
    case kValueFloat64: {
      double v = 0;
      if (!read_align(buffer, offset, sizeof(double), error) ||
          !read_data(buffer, offset, &v, sizeof(v), error)) {
        return nullptr;
      }
      return fl_value_new_float(v);
    }
    case kValueString:
      return read_string(self, buffer, offset, error);
    case kValueUint8List:
    case kValueInt32List:
    case kValueInt64List:
    case kValueFloat64List:
    case kValueFloat32List:
      return read_typed_list(self, buffer, offset, type, error);
    case kValueList:
      return read_list(self, buffer, offset, error);
    case kValueMap:
      return read_map(self, buffer, offset, error);
  }

  g_set_error(error, FL_MESSAGE_CODEC_ERROR,
              FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
              "Unexpected standard codec type %02x", type);
  return nullptr;
}

// Encodes a whole message: one value.
static GBytes* fl_standard_message_codec_encode_message(FlMessageCodec* codec,
                                                        FlValue* message,
                                                        GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  g_autoptr(GByteArray) buffer = g_byte_array_new();
  if (!fl_standard_message_codec_write_value(self, buffer, message, error)) {
    return nullptr;
  }
  return g_byte_array_free_to_bytes(
      static_cast<GByteArray*>(g_steal_pointer(&buffer)));
}

// Decodes a whole message: exactly one value and nothing after it. The other
// side sends a null message as no bytes at all.
static FlValue* fl_standard_message_codec_decode_message(FlMessageCodec* codec,
                                                         GBytes* message,
                                                         GError** error) {
  FlStandardMessageCodec* self = FL_STANDARD_MESSAGE_CODEC(codec);
  if (g_bytes_get_size(message) == 0) {
    return fl_value_new_null();
  }
  size_t offset = 0;
  g_autoptr(FlValue) value =
      fl_standard_message_codec_read_value(self, message, &offset, error);
  if (value == nullptr) {
    return nullptr;
  }
  if (offset != g_bytes_get_size(message)) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_ADDITIONAL_DATA,
                "%" G_GSIZE_FORMAT " unused bytes after the value",
                g_bytes_get_size(message) - offset);
    return nullptr;
  }
  return static_cast<FlValue*>(g_steal_pointer(&value));
}

static void fl_standard_message_codec_class_init(
    FlStandardMessageCodecClass* klass) {
  FL_MESSAGE_CODEC_CLASS(klass)->encode_message =
      fl_standard_message_codec_encode_message;
  FL_MESSAGE_CODEC_CLASS(klass)->decode_message =
      fl_standard_message_codec_decode_message;
  klass->write_value = fl_standard_message_codec_real_write_value;
  klass->read_value_of_type = fl_standard_message_codec_real_read_value_of_type;
}

static void fl_standard_message_codec_init(FlStandardMessageCodec*) {}

G_MODULE_EXPORT FlStandardMessageCodec* fl_standard_message_codec_new() {
  return FL_STANDARD_MESSAGE_CODEC(
      g_object_new(fl_standard_message_codec_get_type(), nullptr));
}

G_MODULE_EXPORT void fl_standard_message_codec_write_size(
    FlStandardMessageCodec* codec,
    GByteArray* buffer,
    uint32_t size) {
  g_return_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(codec));
  g_return_if_fail(buffer != nullptr);
  if (size < kSize16) {
    write_uint8(buffer, size);
  } else if (size <= G_MAXUINT16) {
    uint16_t v = size;
    write_uint8(buffer, kSize16);
    write_data(buffer, &v, sizeof(v));
  } else {
    write_uint8(buffer, kSize32);
    write_data(buffer, &size, sizeof(size));
  }
}

G_MODULE_EXPORT gboolean
fl_standard_message_codec_read_size(FlStandardMessageCodec* codec,
                                    GBytes* buffer,
                                    size_t* offset,
                                    uint32_t* value,
                                    GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(codec), FALSE);
  g_return_val_if_fail(buffer != nullptr, FALSE);
  g_return_val_if_fail(offset != nullptr, FALSE);
  g_return_val_if_fail(value != nullptr, FALSE);
  uint8_t first = 0;
  if (!read_data(buffer, offset, &first, sizeof(first), error)) {
    return FALSE;
  }
  if (first < kSize16) {
    *value = first;
  } else if (first == kSize16) {
    uint16_t v = 0;
    if (!read_data(buffer, offset, &v, sizeof(v), error)) {
      return FALSE;
    }
    *value = v;
  } else {
    uint32_t v = 0;
    if (!read_data(buffer, offset, &v, sizeof(v), error)) {
      return FALSE;
    }
    *value = v;
  }
  return TRUE;
}

G_MODULE_EXPORT gboolean
fl_standard_message_codec_write_value(FlStandardMessageCodec* codec,
                                      GByteArray* buffer,
                                      FlValue* value,
                                      GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(codec), FALSE);
  g_return_val_if_fail(buffer != nullptr, FALSE);
  DepthGuard depth(&write_depth);
  if (depth.TooDeep()) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR,
                FL_MESSAGE_CODEC_ERROR_UNSUPPORTED_TYPE,
                "Value nested more than %d levels deep", kMaxDepth);
    return FALSE;
  }
  return FL_STANDARD_MESSAGE_CODEC_GET_CLASS(codec)->write_value(codec, buffer,
                                                                 value, error);
}

G_MODULE_EXPORT FlValue* fl_standard_message_codec_read_value(
    FlStandardMessageCodec* codec,
    GBytes* buffer,
    size_t* offset,
    GError** error) {
  g_return_val_if_fail(FL_IS_STANDARD_MESSAGE_CODEC(codec), nullptr);
  g_return_val_if_fail(buffer != nullptr, nullptr);
  g_return_val_if_fail(offset != nullptr, nullptr);
  DepthGuard depth(&read_depth);
  if (depth.TooDeep()) {
    g_set_error(error, FL_MESSAGE_CODEC_ERROR, FL_MESSAGE_CODEC_ERROR_FAILED,
                "Value at offset %" G_GSIZE_FORMAT
                " nested more than %d levels deep",
                *offset, kMaxDepth);
    return nullptr;
  }
  uint8_t type = 0;
  if (!read_data(buffer, offset, &type, sizeof(type), error)) {
    return nullptr;
  }
  return FL_STANDARD_MESSAGE_CODEC_GET_CLASS(codec)->read_value_of_type(
      codec, buffer, offset, type, error);
}
