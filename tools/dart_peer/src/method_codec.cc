// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "method_codec.h"

namespace dart_peer {

namespace {

std::vector<uint8_t> BytesToVector(GBytes* bytes) {
  gsize size = 0;
  const uint8_t* data =
      static_cast<const uint8_t*>(g_bytes_get_data(bytes, &size));
  return std::vector<uint8_t>(data, data + size);
}

GBytes* VectorToBytes(const std::vector<uint8_t>& data) {
  return g_bytes_new(data.data(), data.size());
}

}  // namespace

bool EncodeMethodCall(FlMethodCodec* codec,
                      const std::string& method,
                      FlValue* args,
                      std::vector<uint8_t>* out,
                      std::string* error) {
  g_autoptr(GError) codec_error = nullptr;
  g_autoptr(GBytes) bytes =
      FL_METHOD_CODEC_GET_CLASS(codec)->encode_method_call(
          codec, method.c_str(), args, &codec_error);
  if (bytes == nullptr) {
    *error = codec_error != nullptr ? codec_error->message : "encoding failed";
    return false;
  }
  *out = BytesToVector(bytes);
  return true;
}

bool DecodeMethodCall(FlMethodCodec* codec,
                      const std::vector<uint8_t>& message,
                      std::string* method,
                      ValuePtr* args,
                      std::string* error) {
  g_autoptr(GBytes) bytes = VectorToBytes(message);
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) decoded_args = nullptr;
  g_autoptr(GError) codec_error = nullptr;
  if (!FL_METHOD_CODEC_GET_CLASS(codec)->decode_method_call(
          codec, bytes, &name, &decoded_args, &codec_error)) {
    *error = codec_error != nullptr ? codec_error->message : "decoding failed";
    return false;
  }
  *method = name;
  *args = RefValue(decoded_args);
  return true;
}

std::vector<uint8_t> EncodeSuccessEnvelope(FlMethodCodec* codec,
                                           FlValue* result) {
  g_autoptr(FlValue) null_value = fl_value_new_null();
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) bytes =
      FL_METHOD_CODEC_GET_CLASS(codec)->encode_success_envelope(
          codec, result != nullptr ? result : null_value, &error);
  if (bytes == nullptr) {
    g_warning("dart-peer: cannot encode a success envelope: %s",
              error != nullptr ? error->message : "unknown error");
    return {};
  }
  return BytesToVector(bytes);
}

Response DecodeReply(FlMethodCodec* codec, const std::vector<uint8_t>& reply) {
  Response response;
  if (reply.empty()) {
    response.kind = ResponseKind::kNotImplemented;
    return response;
  }
  g_autoptr(GBytes) bytes = VectorToBytes(reply);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) decoded =
      FL_METHOD_CODEC_GET_CLASS(codec)->decode_response(codec, bytes, &error);
  if (decoded == nullptr) {
    response.kind = ResponseKind::kUndecodable;
    response.reason = error != nullptr ? error->message : "decoding failed";
    return response;
  }
  if (FL_IS_METHOD_SUCCESS_RESPONSE(decoded)) {
    response.kind = ResponseKind::kSuccess;
    response.result = RefValue(fl_method_success_response_get_result(
        FL_METHOD_SUCCESS_RESPONSE(decoded)));
    return response;
  }
  if (FL_IS_METHOD_ERROR_RESPONSE(decoded)) {
    FlMethodErrorResponse* error_response = FL_METHOD_ERROR_RESPONSE(decoded);
    response.kind = ResponseKind::kError;
    response.code = fl_method_error_response_get_code(error_response);
    const gchar* message = fl_method_error_response_get_message(error_response);
    if (message != nullptr) {
      response.message = message;
    }
    response.details =
        RefValue(fl_method_error_response_get_details(error_response));
    return response;
  }
  response.kind = ResponseKind::kNotImplemented;
  return response;
}

}  // namespace dart_peer
