// Copyright 2026 The Zelkoz Authors. All rights reserved.
#ifndef SHELL_MY_APPLICATION_H_
#define SHELL_MY_APPLICATION_H_

#include <gtk/gtk.h>

G_BEGIN_DECLS

G_DECLARE_FINAL_TYPE(MyApplication,
                     my_application,
                     MY,
                     APPLICATION,
                     GtkApplication)

// Creates the application object; the caller owns the only reference.
MyApplication* my_application_new();

// The bundle's fallback icon: data/flutter_assets/assets/app_icons/default.png
// beside the executable, whether or not the file exists; NULL when the
// executable's path cannot be read. Free with g_free.
gchar* bundle_icon_path();

G_END_DECLS

#endif  // SHELL_MY_APPLICATION_H_
