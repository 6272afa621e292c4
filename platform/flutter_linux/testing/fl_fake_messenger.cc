// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "fl_fake_messenger.h"

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fl_fake_main_loop.h"

namespace {

struct Handler {
  FlBinaryMessengerMessageHandler handler;
  gpointer user_data;
  GDestroyNotify destroy_notify;
};

struct Ticket {
  std::vector<GBytes*> replies;  // Owned; handed out one at a time.
  guint reply_count = 0;
};

constexpr guint kDefaultTimeoutMs = 10000;

}  // namespace

struct _FlFakeMessenger {
  GObject parent_instance;
  GThread* owner;                                     // The test's thread.
  std::map<std::string, Handler>* handlers;           // By channel name.
  std::mutex* lock;                                   // Guards tickets.
  std::map<guint64, Ticket>* tickets;                 // Replies by ticket.
  std::map<std::string, std::vector<GBytes*>>* sent;  // Owned messages.
  guint64 next_ticket;
  FlMethodCodec* codec;  // Owned standard method codec for the helpers.
  gboolean refuse_replies;
  gchar* refusal;  // Owned; the refusal's message, NULL for no GError.
};

static void fl_fake_messenger_iface_init(FlBinaryMessengerInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlFakeMessenger,
                        fl_fake_messenger,
                        G_TYPE_OBJECT,
                        G_IMPLEMENT_INTERFACE(fl_binary_messenger_get_type(),
                                              fl_fake_messenger_iface_init))

// The response handle of one message the test sent.
G_DECLARE_FINAL_TYPE(FlFakeResponseHandle,
                     fl_fake_response_handle,
                     FL,
                     FAKE_RESPONSE_HANDLE,
                     FlBinaryMessengerResponseHandle)

struct _FlFakeResponseHandle {
  FlBinaryMessengerResponseHandle parent_instance;
  GWeakRef messenger;
  guint64 ticket;
  gboolean responded;
};

G_DEFINE_TYPE(FlFakeResponseHandle,
              fl_fake_response_handle,
              fl_binary_messenger_response_handle_get_type())

namespace {

void RecordReply(FlFakeMessenger* self, guint64 ticket, GBytes* reply) {
  std::lock_guard<std::mutex> guard(*self->lock);
  Ticket& t = (*self->tickets)[ticket];
  t.replies.push_back(reply != nullptr ? g_bytes_ref(reply)
                                       : g_bytes_new(nullptr, 0));
  t.reply_count++;
}

gboolean OnOwnerThread(FlFakeMessenger* self, const char* what) {
  if (g_thread_self() == self->owner) {
    return TRUE;
  }
  g_critical("%s from a thread other than the main thread", what);
  return FALSE;
}

}  // namespace

static void fl_fake_response_handle_dispose(GObject* object) {
  FlFakeResponseHandle* self = FL_FAKE_RESPONSE_HANDLE(object);
  if (!self->responded) {
    // As the engine does: a message released unanswered gets the empty reply.
    self->responded = TRUE;
    g_autoptr(FlFakeMessenger) messenger =
        FL_FAKE_MESSENGER(g_weak_ref_get(&self->messenger));
    if (messenger != nullptr) {
      RecordReply(messenger, self->ticket, nullptr);
    }
  }
  g_weak_ref_clear(&self->messenger);
  G_OBJECT_CLASS(fl_fake_response_handle_parent_class)->dispose(object);
}

static void fl_fake_response_handle_class_init(
    FlFakeResponseHandleClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_fake_response_handle_dispose;
}

static void fl_fake_response_handle_init(FlFakeResponseHandle* self) {}

static void set_message_handler_on_channel(
    FlBinaryMessenger* messenger,
    const gchar* channel,
    FlBinaryMessengerMessageHandler handler,
    gpointer user_data,
    GDestroyNotify destroy_notify) {
  FlFakeMessenger* self = FL_FAKE_MESSENGER(messenger);
  OnOwnerThread(self, "set_message_handler_on_channel");
  Handler old = {nullptr, nullptr, nullptr};
  auto it = self->handlers->find(channel);
  if (it != self->handlers->end()) {
    old = it->second;
    self->handlers->erase(it);
  }
  if (handler != nullptr) {
    (*self->handlers)[channel] = Handler{handler, user_data, destroy_notify};
  }
  // Last, since the notification may install handlers itself.
  if (old.destroy_notify != nullptr) {
    old.destroy_notify(old.user_data);
  }
}

static gboolean send_response(FlBinaryMessenger* messenger,
                              FlBinaryMessengerResponseHandle* response_handle,
                              GBytes* response,
                              GError** error) {
  FlFakeMessenger* self = FL_FAKE_MESSENGER(messenger);
  if (!OnOwnerThread(self, "send_response")) {
    g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED,
                        "response sent off the main thread");
    return FALSE;
  }
  g_return_val_if_fail(FL_IS_FAKE_RESPONSE_HANDLE(response_handle), FALSE);
  FlFakeResponseHandle* handle = FL_FAKE_RESPONSE_HANDLE(response_handle);
  if (handle->responded) {
    g_set_error_literal(error, FL_BINARY_MESSENGER_ERROR,
                        FL_BINARY_MESSENGER_ERROR_ALREADY_RESPONDED,
                        "Attempted to respond to a message that is already "
                        "responded to");
    return FALSE;
  }
  handle->responded = TRUE;
  if (self->refuse_replies) {
    // As with the engine, the message counts as answered all the same.
    std::lock_guard<std::mutex> guard(*self->lock);
    (*self->tickets)[handle->ticket].reply_count++;
    if (self->refusal != nullptr) {
      g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, self->refusal);
    }
    return FALSE;
  }
  RecordReply(self, handle->ticket, response);
  return TRUE;
}

static void send_on_channel(FlBinaryMessenger* messenger,
                            const gchar* channel,
                            GBytes* message,
                            GCancellable* cancellable,
                            GAsyncReadyCallback callback,
                            gpointer user_data) {
  FlFakeMessenger* self = FL_FAKE_MESSENGER(messenger);
  if (!OnOwnerThread(self, "send_on_channel")) {
    return;
  }
  (*self->sent)[channel].push_back(message != nullptr
                                       ? g_bytes_ref(message)
                                       : g_bytes_new(nullptr, 0));
  if (callback != nullptr) {
    // Nobody on the Dart side answers: the empty reply.
    g_autoptr(GTask) task =
        g_task_new(messenger, cancellable, callback, user_data);
    g_task_return_pointer(task, g_bytes_new(nullptr, 0),
                          reinterpret_cast<GDestroyNotify>(g_bytes_unref));
  }
}

static GBytes* send_on_channel_finish(FlBinaryMessenger* messenger,
                                      GAsyncResult* result,
                                      GError** error) {
  return static_cast<GBytes*>(
      g_task_propagate_pointer(G_TASK(result), error));
}

static void fl_fake_messenger_iface_init(FlBinaryMessengerInterface* iface) {
  iface->set_message_handler_on_channel = set_message_handler_on_channel;
  iface->send_response = send_response;
  iface->send_on_channel = send_on_channel;
  iface->send_on_channel_finish = send_on_channel_finish;
}

static void fl_fake_messenger_dispose(GObject* object) {
  FlFakeMessenger* self = FL_FAKE_MESSENGER(object);
  if (self->handlers != nullptr) {
    fl_fake_messenger_shutdown(self);
    delete self->handlers;
    self->handlers = nullptr;
  }
  if (self->tickets != nullptr) {
    for (auto& entry : *self->tickets) {
      for (GBytes* reply : entry.second.replies) {
        g_bytes_unref(reply);
      }
    }
    delete self->tickets;
    self->tickets = nullptr;
  }
  if (self->sent != nullptr) {
    for (auto& entry : *self->sent) {
      for (GBytes* message : entry.second) {
        g_bytes_unref(message);
      }
    }
    delete self->sent;
    self->sent = nullptr;
  }
  delete self->lock;
  self->lock = nullptr;
  g_clear_object(&self->codec);
  g_clear_pointer(&self->refusal, g_free);
  G_OBJECT_CLASS(fl_fake_messenger_parent_class)->dispose(object);
}

static void fl_fake_messenger_class_init(FlFakeMessengerClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_fake_messenger_dispose;
}

static void fl_fake_messenger_init(FlFakeMessenger* self) {
  self->owner = g_thread_self();
  self->handlers = new std::map<std::string, Handler>();
  self->lock = new std::mutex();
  self->tickets = new std::map<guint64, Ticket>();
  self->sent = new std::map<std::string, std::vector<GBytes*>>();
  self->next_ticket = 1;
  self->codec = FL_METHOD_CODEC(fl_standard_method_codec_new());
}

FlFakeMessenger* fl_fake_messenger_new() {
  return FL_FAKE_MESSENGER(g_object_new(fl_fake_messenger_get_type(), nullptr));
}

gboolean fl_fake_messenger_has_handler(FlFakeMessenger* self,
                                       const gchar* channel) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), FALSE);
  return self->handlers->count(channel) > 0;
}

guint64 fl_fake_messenger_send(FlFakeMessenger* self,
                               const gchar* channel,
                               GBytes* message) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), 0);
  guint64 ticket = self->next_ticket++;
  {
    std::lock_guard<std::mutex> guard(*self->lock);
    (*self->tickets)[ticket];
  }
  auto it = self->handlers->find(channel);
  if (it == self->handlers->end()) {
    RecordReply(self, ticket, nullptr);
    return ticket;
  }
  Handler handler = it->second;
  auto* handle = FL_FAKE_RESPONSE_HANDLE(
      g_object_new(fl_fake_response_handle_get_type(), nullptr));
  g_weak_ref_init(&handle->messenger, self);
  handle->ticket = ticket;
  handler.handler(FL_BINARY_MESSENGER(self), channel, message,
                  FL_BINARY_MESSENGER_RESPONSE_HANDLE(handle),
                  handler.user_data);
  g_object_unref(handle);
  return ticket;
}

GBytes* fl_fake_messenger_take_reply(FlFakeMessenger* self, guint64 ticket) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  std::lock_guard<std::mutex> guard(*self->lock);
  auto it = self->tickets->find(ticket);
  if (it == self->tickets->end() || it->second.replies.empty()) {
    return nullptr;
  }
  GBytes* reply = it->second.replies.front();
  it->second.replies.erase(it->second.replies.begin());
  return reply;
}

guint fl_fake_messenger_get_reply_count(FlFakeMessenger* self,
                                        guint64 ticket) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), 0);
  std::lock_guard<std::mutex> guard(*self->lock);
  auto it = self->tickets->find(ticket);
  return it == self->tickets->end() ? 0 : it->second.reply_count;
}

GBytes* fl_fake_messenger_wait_reply(FlFakeMessenger* self,
                                     guint64 ticket,
                                     guint timeout_ms) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  GBytes* reply = nullptr;
  fl_fake_run_until(
      [&] {
        reply = fl_fake_messenger_take_reply(self, ticket);
        return reply != nullptr;
      },
      timeout_ms);
  return reply;
}

guint64 fl_fake_messenger_begin_standard_method(FlFakeMessenger* self,
                                                const gchar* channel,
                                                const gchar* method,
                                                FlValue* args) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), 0);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GBytes) message =
      FL_METHOD_CODEC_GET_CLASS(self->codec)
          ->encode_method_call(self->codec, method, args, &error);
  g_return_val_if_fail(message != nullptr, 0);
  return fl_fake_messenger_send(self, channel, message);
}

FlMethodResponse* fl_fake_messenger_finish_standard_method(
    FlFakeMessenger* self,
    guint64 ticket,
    guint timeout_ms) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  g_autoptr(GBytes) reply =
      fl_fake_messenger_wait_reply(self, ticket, timeout_ms);
  if (reply == nullptr) {
    return nullptr;
  }
  if (g_bytes_get_size(reply) == 0) {
    return FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  g_autoptr(GError) error = nullptr;
  FlMethodResponse* response =
      FL_METHOD_CODEC_GET_CLASS(self->codec)
          ->decode_response(self->codec, reply, &error);
  if (response == nullptr) {
    g_warning("undecodable reply: %s", error->message);
  }
  return response;
}

FlMethodResponse* fl_fake_messenger_invoke_standard_method(
    FlFakeMessenger* self,
    const gchar* channel,
    const gchar* method,
    FlValue* args) {
  guint64 ticket =
      fl_fake_messenger_begin_standard_method(self, channel, method, args);
  return fl_fake_messenger_finish_standard_method(self, ticket,
                                                  kDefaultTimeoutMs);
}

guint fl_fake_messenger_get_message_count(FlFakeMessenger* self,
                                          const gchar* channel) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), 0);
  auto it = self->sent->find(channel);
  return it == self->sent->end() ? 0 : it->second.size();
}

GBytes* fl_fake_messenger_get_message(FlFakeMessenger* self,
                                      const gchar* channel,
                                      guint index) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  auto it = self->sent->find(channel);
  if (it == self->sent->end() || index >= it->second.size()) {
    return nullptr;
  }
  return it->second[index];
}

gboolean fl_fake_messenger_wait_for_messages(FlFakeMessenger* self,
                                             const gchar* channel,
                                             guint count,
                                             guint timeout_ms) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), FALSE);
  return fl_fake_run_until(
      [&] {
        return fl_fake_messenger_get_message_count(self, channel) >= count;
      },
      timeout_ms);
}

void fl_fake_messenger_clear_messages(FlFakeMessenger* self,
                                      const gchar* channel) {
  g_return_if_fail(FL_IS_FAKE_MESSENGER(self));
  auto it = self->sent->find(channel);
  if (it == self->sent->end()) {
    return;
  }
  for (GBytes* message : it->second) {
    g_bytes_unref(message);
  }
  self->sent->erase(it);
}

FlValue* fl_fake_messenger_decode_events(FlFakeMessenger* self,
                                         const gchar* channel) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  FlValue* events = fl_value_new_list();
  guint count = fl_fake_messenger_get_message_count(self, channel);
  for (guint i = 0; i < count; i++) {
    GBytes* message = fl_fake_messenger_get_message(self, channel, i);
    FlValue* entry = fl_value_new_map();
    if (g_bytes_get_size(message) == 0) {
      fl_value_set_string_take(entry, "end", fl_value_new_bool(true));
      fl_value_append_take(events, entry);
      continue;
    }
    g_autoptr(GError) error = nullptr;
    g_autoptr(FlMethodResponse) response =
        FL_METHOD_CODEC_GET_CLASS(self->codec)
            ->decode_response(self->codec, message, &error);
    if (FL_IS_METHOD_SUCCESS_RESPONSE(response)) {
      FlValue* value = fl_method_success_response_get_result(
          FL_METHOD_SUCCESS_RESPONSE(response));
      fl_value_set_string_take(entry, "event",
                               value != nullptr ? fl_value_ref(value)
                                                : fl_value_new_null());
    } else if (FL_IS_METHOD_ERROR_RESPONSE(response)) {
      FlMethodErrorResponse* e = FL_METHOD_ERROR_RESPONSE(response);
      FlValue* error_map = fl_value_new_map();
      fl_value_set_string_take(
          error_map, "code",
          fl_value_new_string(fl_method_error_response_get_code(e)));
      const gchar* text = fl_method_error_response_get_message(e);
      fl_value_set_string_take(error_map, "message",
                               text != nullptr ? fl_value_new_string(text)
                                               : fl_value_new_null());
      FlValue* details = fl_method_error_response_get_details(e);
      fl_value_set_string_take(error_map, "details",
                               details != nullptr ? fl_value_ref(details)
                                                  : fl_value_new_null());
      fl_value_set_string_take(entry, "error", error_map);
    } else {
      fl_value_set_string_take(entry, "undecodable", fl_value_new_bool(true));
    }
    fl_value_append_take(events, entry);
  }
  return events;
}

FlValue* fl_fake_messenger_decode_method_calls(FlFakeMessenger* self,
                                               const gchar* channel) {
  g_return_val_if_fail(FL_IS_FAKE_MESSENGER(self), nullptr);
  FlValue* calls = fl_value_new_list();
  guint count = fl_fake_messenger_get_message_count(self, channel);
  for (guint i = 0; i < count; i++) {
    GBytes* message = fl_fake_messenger_get_message(self, channel, i);
    g_autofree gchar* name = nullptr;
    g_autoptr(FlValue) args = nullptr;
    FlValue* entry = fl_value_new_map();
    if (FL_METHOD_CODEC_GET_CLASS(self->codec)
            ->decode_method_call(self->codec, message, &name, &args,
                                 nullptr)) {
      fl_value_set_string_take(entry, "method", fl_value_new_string(name));
      fl_value_set_string_take(
          entry, "args",
          args != nullptr ? fl_value_ref(args) : fl_value_new_null());
    } else {
      fl_value_set_string_take(entry, "undecodable", fl_value_new_bool(true));
    }
    fl_value_append_take(calls, entry);
  }
  return calls;
}

void fl_fake_messenger_set_refuse_replies(FlFakeMessenger* self,
                                          gboolean refuse,
                                          const gchar* refusal) {
  g_return_if_fail(FL_IS_FAKE_MESSENGER(self));
  self->refuse_replies = refuse;
  g_free(self->refusal);
  self->refusal = g_strdup(refusal);
}

void fl_fake_messenger_shutdown(FlFakeMessenger* self) {
  g_return_if_fail(FL_IS_FAKE_MESSENGER(self));
  // Destroy notifications may remove or install handlers: take them one by
  // one.
  while (!self->handlers->empty()) {
    auto it = self->handlers->begin();
    Handler handler = it->second;
    self->handlers->erase(it);
    if (handler.destroy_notify != nullptr) {
      handler.destroy_notify(handler.user_data);
    }
  }
}
