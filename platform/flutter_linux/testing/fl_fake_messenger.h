// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MESSENGER_H_
#define PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MESSENGER_H_

#include <flutter_linux/flutter_linux.h>

G_BEGIN_DECLS

// A messenger for unit tests. Plugins install their channel handlers on it as
// on the engine's; a test plays the Dart side: it sends messages to those
// handlers and reads the replies, and it records every message the native
// side sends (events, method invocations), which get an empty reply.
// Replies and sends from any thread but the one that made the messenger are
// refused with a critical, as the engine refuses them.
G_DECLARE_FINAL_TYPE(FlFakeMessenger,
                     fl_fake_messenger,
                     FL,
                     FAKE_MESSENGER,
                     GObject)

FlFakeMessenger* fl_fake_messenger_new();

// Whether a handler is installed on channel.
gboolean fl_fake_messenger_has_handler(FlFakeMessenger* messenger,
                                       const gchar* channel);

// Sends message to the handler of channel and starts waiting for its reply.
// Returns a ticket for fl_fake_messenger_wait_reply(). A channel without a
// handler gets an empty reply at once.
guint64 fl_fake_messenger_send(FlFakeMessenger* messenger,
                               const gchar* channel,
                               GBytes* message);

// Runs the default main context until the reply of ticket has arrived or
// timeout_ms have passed. Returns the reply (transfer full; an empty GBytes
// for an empty reply), or NULL when none came. A reply is handed out once.
GBytes* fl_fake_messenger_wait_reply(FlFakeMessenger* messenger,
                                     guint64 ticket,
                                     guint timeout_ms);

// The reply of ticket if it has arrived, without waiting (transfer full).
GBytes* fl_fake_messenger_take_reply(FlFakeMessenger* messenger,
                                     guint64 ticket);

// How many replies ticket has received, refused ones included (a second one
// is a fault).
guint fl_fake_messenger_get_reply_count(FlFakeMessenger* messenger,
                                        guint64 ticket);

// Standard method codec helpers. begin sends the call; finish waits for the
// reply and decodes it (an empty reply gives the not-implemented response),
// NULL when no reply came in time.
guint64 fl_fake_messenger_begin_standard_method(FlFakeMessenger* messenger,
                                                const gchar* channel,
                                                const gchar* method,
                                                FlValue* args);
FlMethodResponse* fl_fake_messenger_finish_standard_method(
    FlFakeMessenger* messenger,
    guint64 ticket,
    guint timeout_ms);
// begin + finish with a timeout of ten seconds.
FlMethodResponse* fl_fake_messenger_invoke_standard_method(
    FlFakeMessenger* messenger,
    const gchar* channel,
    const gchar* method,
    FlValue* args);

// Messages the native side has sent on channel so far, oldest first.
guint fl_fake_messenger_get_message_count(FlFakeMessenger* messenger,
                                          const gchar* channel);
// Borrowed; NULL past the end. An empty message is an empty GBytes.
GBytes* fl_fake_messenger_get_message(FlFakeMessenger* messenger,
                                      const gchar* channel,
                                      guint index);
// Runs the default main context until channel has at least count messages or
// timeout_ms have passed; returns whether the count was reached.
gboolean fl_fake_messenger_wait_for_messages(FlFakeMessenger* messenger,
                                             const gchar* channel,
                                             guint count,
                                             guint timeout_ms);
void fl_fake_messenger_clear_messages(FlFakeMessenger* messenger,
                                      const gchar* channel);

// The messages on an event channel decoded with the standard method codec, as
// a list (transfer full) of maps: {"event": value} for a success envelope,
// {"error": {"code": s, "message": s or null, "details": v}} for an error
// envelope, {"end": true} for end of stream.
FlValue* fl_fake_messenger_decode_events(FlFakeMessenger* messenger,
                                         const gchar* channel);

// The method calls the native side invoked on channel, as a list (transfer
// full) of maps {"method": name, "args": value}.
FlValue* fl_fake_messenger_decode_method_calls(FlFakeMessenger* messenger,
                                               const gchar* channel);

// With refuse set, every later reply fails as the engine's do once the Dart
// side has gone: send_response returns FALSE, with a GError of message
// refusal unless refusal is NULL, and nothing arrives, not even the empty
// reply of a released handle. Unset, replies are delivered again.
void fl_fake_messenger_set_refuse_replies(FlFakeMessenger* messenger,
                                          gboolean refuse,
                                          const gchar* refusal);

// Removes every handler, running their destroy notifications, as the engine
// does when it shuts down.
void fl_fake_messenger_shutdown(FlFakeMessenger* messenger);

G_END_DECLS

#endif  // PLATFORM_FLUTTER_LINUX_TESTING_FL_FAKE_MESSENGER_H_
