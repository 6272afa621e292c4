// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fl_method_codec_private.h"

G_DEFINE_ABSTRACT_TYPE(FlMethodCodec, fl_method_codec, G_TYPE_OBJECT)

static void fl_method_codec_class_init(FlMethodCodecClass*) {}

static void fl_method_codec_init(FlMethodCodec*) {}

G_MODULE_EXPORT GBytes* fl_method_codec_encode_method_call(FlMethodCodec* self,
                                                           const gchar* name,
                                                           FlValue* args,
                                                           GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CODEC(self), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  return FL_METHOD_CODEC_GET_CLASS(self)->encode_method_call(self, name, args,
                                                             error);
}

G_MODULE_EXPORT gboolean fl_method_codec_decode_method_call(FlMethodCodec* self,
                                                            GBytes* message,
                                                            gchar** name,
                                                            FlValue** args,
                                                            GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CODEC(self), FALSE);
  g_return_val_if_fail(name != nullptr, FALSE);
  g_return_val_if_fail(args != nullptr, FALSE);
  // A call from the other side may arrive without a body; that is a bad
  // call, not a misuse of this function.
  g_autoptr(GBytes) empty = nullptr;
  if (message == nullptr) {
    empty = g_bytes_new(nullptr, 0);
    message = empty;
  }
  return FL_METHOD_CODEC_GET_CLASS(self)->decode_method_call(self, message,
                                                             name, args, error);
}

G_MODULE_EXPORT GBytes* fl_method_codec_encode_success_envelope(
    FlMethodCodec* self,
    FlValue* result,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CODEC(self), nullptr);
  return FL_METHOD_CODEC_GET_CLASS(self)->encode_success_envelope(self, result,
                                                                  error);
}

G_MODULE_EXPORT GBytes* fl_method_codec_encode_error_envelope(
    FlMethodCodec* self,
    const gchar* code,
    const gchar* message,
    FlValue* details,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CODEC(self), nullptr);
  g_return_val_if_fail(code != nullptr, nullptr);
  return FL_METHOD_CODEC_GET_CLASS(self)->encode_error_envelope(
      self, code, message, details, error);
}

G_MODULE_EXPORT FlMethodResponse* fl_method_codec_decode_response(
    FlMethodCodec* self,
    GBytes* message,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CODEC(self), nullptr);
  // The other side answers with nothing when no handler took the call.
  if (message == nullptr || g_bytes_get_size(message) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  return FL_METHOD_CODEC_GET_CLASS(self)->decode_response(self, message, error);
}
