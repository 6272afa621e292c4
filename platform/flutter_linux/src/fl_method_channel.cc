// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_method_channel.h"

#include "fl_method_call_private.h"
#include "fl_method_channel_private.h"
#include "fl_method_codec_private.h"

struct _FlMethodChannel {
  GObject parent_instance;
  FlBinaryMessenger* messenger;  // Owned.
  gchar* name;                   // Owned.
  FlMethodCodec* codec;          // Owned.
  FlMethodChannelMethodCallHandler handler;
  gpointer handler_data;
  GDestroyNotify handler_destroy;
  // The messenger holds a reference to the channel while a handler is set,
  // so the channel keeps working after its creator drops its reference.
  gboolean registered;
};

G_DEFINE_TYPE(FlMethodChannel, fl_method_channel, G_TYPE_OBJECT)

namespace {

// Runs the handler's destroy notification once and forgets the handler.
void ClearHandler(FlMethodChannel* self) {
  GDestroyNotify destroy = self->handler_destroy;
  gpointer data = self->handler_data;
  self->handler = nullptr;
  self->handler_data = nullptr;
  self->handler_destroy = nullptr;
  if (destroy != nullptr) {
    destroy(data);
  }
}

}  // namespace

// Called by the messenger for every message on the channel's name.
static void message_cb(FlBinaryMessenger* messenger,
                       const gchar* channel,
                       GBytes* message,
                       FlBinaryMessengerResponseHandle* response_handle,
                       gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  if (self->handler == nullptr) {
    fl_binary_messenger_send_response(messenger, response_handle, nullptr,
                                      nullptr);
    return;
  }
  g_autofree gchar* name = nullptr;
  g_autoptr(FlValue) args = nullptr;
  g_autoptr(GError) error = nullptr;
  if (!fl_method_codec_decode_method_call(self->codec, message, &name, &args,
                                          &error)) {
    g_warning("Failed to decode method call on %s: %s", channel,
              error->message);
    fl_binary_messenger_send_response(messenger, response_handle, nullptr,
                                      nullptr);
    return;
  }
  g_autoptr(FlMethodCall) call =
      fl_method_call_new(name, args, self, response_handle);
  self->handler(self, call, self->handler_data);
}

// Called when the messenger drops the channel's registration: the handler was
// replaced on the messenger, or the engine shut down.
static void registration_destroyed_cb(gpointer user_data) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(user_data);
  self->registered = FALSE;
  ClearHandler(self);
  g_object_unref(self);
}

static void fl_method_channel_dispose(GObject* object) {
  FlMethodChannel* self = FL_METHOD_CHANNEL(object);
  ClearHandler(self);
  g_clear_object(&self->messenger);
  g_clear_pointer(&self->name, g_free);
  g_clear_object(&self->codec);
  G_OBJECT_CLASS(fl_method_channel_parent_class)->dispose(object);
}

static void fl_method_channel_class_init(FlMethodChannelClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_method_channel_dispose;
}

static void fl_method_channel_init(FlMethodChannel* self) {}

G_MODULE_EXPORT FlMethodChannel* fl_method_channel_new(
    FlBinaryMessenger* messenger,
    const gchar* name,
    FlMethodCodec* codec) {
  g_return_val_if_fail(FL_IS_BINARY_MESSENGER(messenger), nullptr);
  g_return_val_if_fail(name != nullptr, nullptr);
  g_return_val_if_fail(FL_IS_METHOD_CODEC(codec), nullptr);
  auto* self =
      FL_METHOD_CHANNEL(g_object_new(fl_method_channel_get_type(), nullptr));
  self->messenger = FL_BINARY_MESSENGER(g_object_ref(messenger));
  self->name = g_strdup(name);
  self->codec = FL_METHOD_CODEC(g_object_ref(codec));
  return self;
}

G_MODULE_EXPORT void fl_method_channel_set_method_call_handler(
    FlMethodChannel* self,
    FlMethodChannelMethodCallHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  ClearHandler(self);
  self->handler = handler;
  self->handler_data = user_data;
  self->handler_destroy = destroy_notify;
  if (handler != nullptr && !self->registered) {
    self->registered = TRUE;
    fl_binary_messenger_set_message_handler_on_channel(
        self->messenger, self->name, message_cb, g_object_ref(self),
        registration_destroyed_cb);
  } else if (handler == nullptr && self->registered) {
    // Runs registration_destroyed_cb, which drops the messenger's reference.
    fl_binary_messenger_set_message_handler_on_channel(
        self->messenger, self->name, nullptr, nullptr, nullptr);
  }
}

gboolean fl_method_channel_respond(
    FlMethodChannel* self,
    FlBinaryMessengerResponseHandle* response_handle,
    FlMethodResponse* response,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), FALSE);
  g_autoptr(GBytes) message = nullptr;
  if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
    message = fl_method_codec_encode_success_envelope(
        self->codec,
        fl_method_success_response_get_result(
            FL_METHOD_SUCCESS_RESPONSE(response)),
        error);
    if (message == nullptr) {
      return FALSE;
    }
  } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
    FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
    message = fl_method_codec_encode_error_envelope(
        self->codec, fl_method_error_response_get_code(e),
        fl_method_error_response_get_message(e),
        fl_method_error_response_get_details(e), error);
    if (message == nullptr) {
      return FALSE;
    }
  }
  // Not implemented: the empty reply.
  return fl_binary_messenger_send_response(self->messenger, response_handle,
                                           message, error);
}

// Called when the reply to an invoke_method arrives.
static void invoke_reply_cb(GObject* object,
                            GAsyncResult* result,
                            gpointer user_data) {
  g_autoptr(GTask) task = G_TASK(user_data);
  g_autoptr(GError) error = nullptr;
  GBytes* reply = fl_binary_messenger_send_on_channel_finish(
      FL_BINARY_MESSENGER(object), result, &error);
  if (reply == nullptr) {
    g_task_return_error(task, g_steal_pointer(&error));
    return;
  }
  g_task_return_pointer(task, reply,
                        reinterpret_cast<GDestroyNotify>(g_bytes_unref));
}

G_MODULE_EXPORT void fl_method_channel_invoke_method(
    FlMethodChannel* self,
    const gchar* method,
    FlValue* args,
    GCancellable* cancellable,
    GAsyncReadyCallback callback,
    gpointer user_data) {
  g_return_if_fail(FL_IS_METHOD_CHANNEL(self));
  g_return_if_fail(method != nullptr);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      fl_method_codec_encode_method_call(self->codec, method, args, &error);
  if (message == nullptr) {
    if (callback != nullptr) {
      g_autoptr(GTask) task = g_task_new(self, cancellable, callback, user_data);
      g_task_return_error(task, g_steal_pointer(&error));
    }
    return;
  }
  if (callback == nullptr) {
    fl_binary_messenger_send_on_channel(self->messenger, self->name, message,
                                        cancellable, nullptr, nullptr);
    return;
  }
  GTask* task = g_task_new(self, cancellable, callback, user_data);
  fl_binary_messenger_send_on_channel(self->messenger, self->name, message,
                                      cancellable, invoke_reply_cb, task);
}

G_MODULE_EXPORT FlMethodResponse* fl_method_channel_invoke_method_finish(
    FlMethodChannel* self,
    GAsyncResult* result,
    GError** error) {
  g_return_val_if_fail(FL_IS_METHOD_CHANNEL(self), nullptr);
  g_return_val_if_fail(g_task_is_valid(result, self), nullptr);
  g_autoptr(GBytes) reply =
      static_cast<GBytes*>(g_task_propagate_pointer(G_TASK(result), error));
  if (reply == nullptr) {
    return nullptr;
  }
  return fl_method_codec_decode_response(self->codec, reply, error);
}
