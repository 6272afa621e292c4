// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_message_codec.h"

G_DEFINE_QUARK(fl_message_codec_error_quark, fl_message_codec_error)

G_DEFINE_ABSTRACT_TYPE(FlMessageCodec, fl_message_codec, G_TYPE_OBJECT)

static void fl_message_codec_class_init(FlMessageCodecClass*) {}

static void fl_message_codec_init(FlMessageCodec*) {}

G_MODULE_EXPORT GBytes* fl_message_codec_encode_message(FlMessageCodec* self,
                                                        FlValue* message,
                                                        GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(self), nullptr);
  FlMessageCodecClass* klass = FL_MESSAGE_CODEC_GET_CLASS(self);
  g_return_val_if_fail(klass->encode_message != nullptr, nullptr);
  // A NULL message is passed on as is: each codec encodes it as its null.
  return klass->encode_message(self, message, error);
}

G_MODULE_EXPORT FlValue* fl_message_codec_decode_message(FlMessageCodec* self,
                                                         GBytes* message,
                                                         GError** error) {
  g_return_val_if_fail(FL_IS_MESSAGE_CODEC(self), nullptr);
  FlMessageCodecClass* klass = FL_MESSAGE_CODEC_GET_CLASS(self);
  g_return_val_if_fail(klass->decode_message != nullptr, nullptr);
  // Messages come from the other side, where an absent message is an empty
  // one; the codec decides what that means rather than treating it as a
  // misuse.
  g_autoptr(GBytes) empty = nullptr;
  if (message == nullptr) {
    empty = g_bytes_new(nullptr, 0);
    message = empty;
  }
  return klass->decode_message(self, message, error);
}
