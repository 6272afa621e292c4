// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_event_channel.h"

#include "fl_method_codec_private.h"

struct _FlEventChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;  // Owned.
  gchar* name;                   // Owned.
  FlMethodCodec* codec;          // Owned.
  FlEventChannelHandler listen_handler;
  FlEventChannelHandler cancel_handler;
  gpointer handler_data;
  GDestroyNotify handler_destroy;
  // The messenger holds a reference while stream handlers are set.
  gboolean registered;
};

G_DEFINE_TYPE(FlEventChannel, fl_event_channel, G_TYPE_OBJECT)

namespace {

void ClearHandlers(FlEventChannel* self) {
  GDestroyNotify destroy = self->handler_destroy;
  gpointer data = self->handler_data;
  self->listen_handler = nullptr;
  self->cancel_handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
  if (destroy != nullptr) {
    destroy(data);
  }
}

// Answers a listen or cancel with the handler's verdict.
void RespondToStreamCall(FlEventChannel* self,
                         FlBinaryMessengerResponseHandle* response_handle,
                         FlMethodErrorResponse* error_response) {
  g_autoptr(GBytes) reply = nullptr;
  if (error_response == nullptr) {
    reply =
        fl_method_codec_encode_success_envelope(self->codec, nullptr, nullptr);
  } else {
    reply = fl_method_codec_encode_error_envelope(
        self->codec, fl_method_error_response_get_code(error_response),
        fl_method_error_response_get_message(error_response),
        fl_method_error_response_get_details(error_response), nullptr);
  }
  fl_binary_messenger_send_response(self->messenger, response_handle, reply,
                                    nullptr);
}

}  // namespace

// Called by the messenger for every "listen" and "cancel" from the Dart side.
static void message_cb(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  FlEventChannel* self = FL_EVENT_CHANNEL(user_data);
  g_autofree gchar* method = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &method,
                                          &args, &error)) {
    g_warning("Failed to decode stream call on %s: %s", channel,
              error->message);
    fl_binary_messenger_send_response(messenger, response_handle, nullptr,
                                      nullptr);
    return;
  }
  FlEventChannelHandler handler = nullptr;
  if (g_strcmp0(method, "listen") == 0) {
    handler = self->listen_handler;
  } else if (g_strcmp0(method, "cancel") == 0) {
    handler = self->cancel_handler;
  } else {
    fl_binary_messenger_send_response(messenger, response_handle, nullptr,
                                      nullptr);
    return;
  }
  // The handler may drop the channel's last outside reference.
  G_GNUC_UNUSED g_autoptr(FlEventChannel) keep = FL_EVENT_CHANNEL(g_object_ref(self));
  g_autoptr(FlMethodErrorResponse) verdict = nullptr;
  if (handler != nullptr) {
    verdict = handler(self, args, self->handler_data);
  }
  RespondToStreamCall(self, response_handle, verdict);
}

static void registration_destroyed_cb(gpointer user_data) {
  FlEventChannel* self = FL_EVENT_CHANNEL(user_data);
  self->registered = FALSE;
  ClearHandlers(self);
  g_object_unref(self);
}

static void fl_event_channel_dispose(GObject* object) {
  FlEventChannel* self = FL_EVENT_CHANNEL(object);
  ClearHandlers(self);
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->name, g_free);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_event_channel_parent_class)->dispose(object);
}

static void fl_event_channel_class_init(FlEventChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_event_channel_dispose;
}

static void fl_event_channel_init(FlEventChannel* self) {}

G_MODULE_EXPORT FlEventChannel* fl_event_channel_new(
    FlBinaryMessenger* messenger,
    const gchar* name,
    FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  auto* self =
      FL_EVENT_CHANNEL(g_object_new(fl_event_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  return self;
}

G_MODULE_EXPORT void fl_event_channel_set_stream_handlers(
    FlEventChannel* self,
    FlEventChannelHandler listen_handler,
    FlEventChannelHandler cancel_handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_EVENT_CHANNEL(self));
  ClearHandlers(self);
  self->listen_handler = listen_handler;
  self->cancel_handler = cancel_handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
  gboolean wanted = listen_handler != nullptr || cancel_handler != nullptr;
  if (wanted && !self->registered) {
    self->registered = TRUE;
    fl_binary_messenger_set_message_handler_on_channel(
        self->messenger, self->name, message_cb, g_object_ref(self),
        registration_destroyed_cb);
  } else if (!wanted && self->registered) {
    fl_binary_messenger_set_message_handler_on_channel(
        self->messenger, self->name, nullptr, nullptr, nullptr);
  }
}

G_MODULE_EXPORT gboolean fl_event_channel_send(FlEventChannel* self,
                                               FlValue* event,
                                               GCancellable* cancellable,
                                               GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_autoptr(GBytes) message =
      fl_method_codec_encode_success_envelope(self->codec, event, error);
  if (message == nullptr) {
    return FALSE;
  }
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message,
                                      cancellable, nullptr, nullptr);
  return TRUE;
}

G_MODULE_EXPORT gboolean fl_event_channel_send_error(FlEventChannel* self,
                                                     const gchar* code,
                                                     const gchar* message,
                                                     FlValue* details,
                                                     GCancellable* cancellable,
                                                     GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  g_return_val_if_fail(code != nullptr, FALSE);
  g_autoptr(GBytes) envelope = fl_method_codec_encode_error_envelope(
      self->codec, code, message, details, error);
  if (envelope == nullptr) {
    return FALSE;
  }
  fl_binary_messenger_send_on_channel(self->messenger, self->name, envelope,
                                      cancellable, nullptr, nullptr);
  return TRUE;
}

G_MODULE_EXPORT gboolean fl_event_channel_send_end_of_stream(
    FlEventChannel* self,
    GCancellable* cancellable,
    GError** error) {
  g_return_val_if_fail(FL_IS_EVENT_CHANNEL(self), FALSE);
  fl_binary_messenger_send_on_channel(self->messenger, self->name, nullptr,
                                      cancellable, nullptr, nullptr);
  return TRUE;
}
