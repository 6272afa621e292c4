// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef FLUTTER_SHELL_PLATFORM_LINUX_FL_METHOD_CHANNEL_PRIVATE_H_
#define FLUTTER_SHELL_PLATFORM_LINUX_FL_METHOD_CHANNEL_PRIVATE_H_

#include "flutter_linux/fl_method_channel.h"

G_BEGIN_DECLS

// Encodes response with the channel's codec and sends it on response_handle.
gboolean fl_method_channel_respond(
    FlMethodChannel* channel,
    FlBinaryMessengerResponseHandle* response_handle,
    FlMethodResponse* response,
    GError** error);

G_END_DECLS

#endif  // FLUTTER_SHELL_PLATFORM_LINUX_FL_METHOD_CHANNEL_PRIVATE_H_
