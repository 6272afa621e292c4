// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// The engine's standard codecs on arbitrary bytes: every input is decoded as
// a message, as a method call and as a method reply. Each decoder gives a
// value or an error, never both and never neither; whatever decodes encodes
// again, and that encoding decodes to an equal value and encodes to the same
// bytes.
#include <flutter_linux/flutter_linux.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "fl_method_codec_private.h"
#include "fuzz_support.h"

namespace {

using zk_fuzz::Fail;

FlMessageCodec* g_message_codec = nullptr;
FlMethodCodec* g_method_codec = nullptr;

bool ContainsNaN(FlValue* value) {
  switch (fl_value_get_type(value)) {
    case FL_VALUE_TYPE_FLOAT:
      return std::isnan(fl_value_get_float(value));
    case FL_VALUE_TYPE_FLOAT_LIST:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (std::isnan(fl_value_get_float_list(value)[i])) {
          return true;
        }
      }
      return false;
    case FL_VALUE_TYPE_FLOAT32_LIST:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (std::isnan(fl_value_get_float32_list(value)[i])) {
          return true;
        }
      }
      return false;
    case FL_VALUE_TYPE_LIST:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (ContainsNaN(fl_value_get_list_value(value, i))) {
          return true;
        }
      }
      return false;
    case FL_VALUE_TYPE_MAP:
      for (size_t i = 0; i < fl_value_get_length(value); i++) {
        if (ContainsNaN(fl_value_get_map_key(value, i)) ||
            ContainsNaN(fl_value_get_map_value(value, i))) {
          return true;
        }
      }
      return false;
    default:
      return false;
  }
}

bool SameBytes(GBytes* a, GBytes* b) {
  return g_bytes_equal(a, b);
}

// The two values were decoded from the same encoding: they must be equal.
// NaN equals nothing, itself included, so values that hold one are compared
// by their encodings alone.
void CheckSame(FlValue* first,
               FlValue* second,
               GBytes* first_bytes,
               GBytes* second_bytes,
               const char* what) {
  if (fl_value_equal(first, second)) {
    return;
  }
  if (ContainsNaN(first) && SameBytes(first_bytes, second_bytes)) {
    return;
  }
  g_autofree gchar* a = fl_value_to_string(first);
  g_autofree gchar* b = fl_value_to_string(second);
  Fail("%s does not survive a round trip: %s became %s", what, a, b);
}

GBytes* Encode(FlValue* value, const char* what) {
  g_autoptr(GError) error = nullptr;
  GBytes* bytes = fl_message_codec_encode_message(g_message_codec, value, &error);
  if (bytes == nullptr) {
    Fail("a decoded %s does not encode: %s", what,
         error != nullptr ? error->message : "(no error)");
  }
  return bytes;
}

void FuzzMessage(GBytes* message) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlValue) value =
      fl_message_codec_decode_message(g_message_codec, message, &error);
  if (value == nullptr) {
    if (error == nullptr) {
      Fail("a message failed to decode without an error");
    }
    return;
  }
  if (error != nullptr) {
    Fail("a message decoded with an error: %s", error->message);
  }
  // Values end up in log lines too.
  g_autofree gchar* text = fl_value_to_string(value);
  if (text == nullptr) {
    Fail("a decoded message has no text form");
  }
  g_autoptr(GBytes) encoded = Encode(value, "message");
  g_autoptr(GError) again_error = nullptr;
  g_autoptr(FlValue) again =
      fl_message_codec_decode_message(g_message_codec, encoded, &again_error);
  if (again == nullptr) {
    Fail("an encoded message does not decode: %s", again_error->message);
  }
  g_autoptr(GBytes) reencoded = Encode(again, "message");
  CheckSame(value, again, encoded, reencoded, "a message");
  if (!SameBytes(encoded, reencoded)) {
    Fail("a message encodes differently after a round trip");
  }
}

void FuzzMethodCall(GBytes* message) {
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(g_method_codec, message, &name, &args,
                                          &error)) {
    if (error == nullptr) {
      Fail("a method call failed to decode without an error");
    }
    return;
  }
  if (name == nullptr || args == nullptr) {
    Fail("a decoded method call lacks its name or arguments");
  }
  g_autoptr(GError) encode_error = nullptr;
  g_autoptr(GBytes) encoded = fl_method_codec_encode_method_call(
      g_method_codec, name, args, &encode_error);
  if (encoded == nullptr) {
    Fail("a decoded method call does not encode: %s", encode_error->message);
  }
  g_autofree gchar* name_again = nullptr;
  g_autoptr(FlValue) args_again = nullptr;
  g_autoptr(GError) again_error = nullptr;
  if (!fl_method_codec_decode_method_call(g_method_codec, encoded, &name_again,
                                          &args_again, &again_error)) {
    Fail("an encoded method call does not decode: %s", again_error->message);
  }
  if (g_strcmp0(name, name_again) != 0) {
    Fail("a method name does not survive a round trip: %s became %s", name,
         name_again);
  }
  g_autoptr(GBytes) args_bytes = Encode(args, "method argument");
  g_autoptr(GBytes) again_bytes = Encode(args_again, "method argument");
  CheckSame(args, args_again, args_bytes, again_bytes, "a method argument");
}

// Encodes a decoded reply again.
GBytes* EncodeResponse(FlMethodResponse* response) {
  g_autoptr(GError) error = nullptr;
  GBytes* bytes = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    bytes = fl_method_codec_encode_success_envelope(
        g_method_codec,
        fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response)),
        &error);
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    bytes = fl_method_codec_encode_error_envelope(
        g_method_codec, fl_method_error_response_get_code(e),
        fl_method_error_response_get_message(e),
        fl_method_error_response_get_details(e), &error);
  } else {
    return g_bytes_new(nullptr, 0);
  }
  if (bytes == nullptr) {
    Fail("a decoded reply does not encode: %s",
         error != nullptr ? error->message : "(no error)");
  }
  return bytes;
}

void CheckSameOptional(FlValue* a, FlValue* b, const char* what) {
  if (a == nullptr || b == nullptr) {
    if (a != b) {
      Fail("%s appears or vanishes in a round trip", what);
    }
    return;
  }
  g_autoptr(GBytes) a_bytes = Encode(a, what);
  g_autoptr(GBytes) b_bytes = Encode(b, what);
  CheckSame(a, b, a_bytes, b_bytes, what);
}

void FuzzResponse(GBytes* message) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response =
      fl_method_codec_decode_response(g_method_codec, message, &error);
  if (response == nullptr) {
    if (error == nullptr) {
      Fail("a reply failed to decode without an error");
    }
    return;
  }
  const bool empty = g_bytes_get_size(message) == 0;
  if (empty != FL_IS_METHOD_NOT_IMPLEMENTED_RESPONSE(response)) {
    Fail("only the empty reply means not implemented");
  }
  g_autoptr(GBytes) encoded = EncodeResponse(response);
  g_autoptr(GError) again_error = nullptr;
  g_autoptr(FlMethodResponse) again =
      fl_method_codec_decode_response(g_method_codec, encoded, &again_error);
  if (again == nullptr) {
    Fail("an encoded reply does not decode: %s", again_error->message);
  }
  if (G_OBJECT_TYPE(again) != G_OBJECT_TYPE(response)) {
    Fail("a reply changes its kind in a round trip");
  }
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    CheckSameOptional(fl_method_success_response_get_result(
                          FL_METHOD_SUCCESS_RESPONSE(response)),
                      fl_method_success_response_get_result(
                          FL_METHOD_SUCCESS_RESPONSE(again)),
                      "a reply's result");
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* a = FL_METHOD_ERROR_RESPONSE(response);
    FlMethodErrorResponse* b = FL_METHOD_ERROR_RESPONSE(again);
    if (g_strcmp0(fl_method_error_response_get_code(a),
                  fl_method_error_response_get_code(b)) != 0 ||
        g_strcmp0(fl_method_error_response_get_message(a),
                  fl_method_error_response_get_message(b)) != 0) {
      Fail("an error reply's code or message changes in a round trip");
    }
    CheckSameOptional(fl_method_error_response_get_details(a),
                      fl_method_error_response_get_details(b),
                      "an error reply's details");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
  zk_fuzz::InitEnvironment(false);
  g_message_codec = FL_MESSAGE_CODEC(fl_standard_message_codec_new());
  g_method_codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_autoptr(GBytes) message = g_bytes_new(data, size);
  FuzzMessage(message);
  FuzzMethodCall(message);
  FuzzResponse(message);
  return 0;
}
