// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// zk-test-window [--until-mapped] TITLE: a plain GTK window for testing the
// session and the X11 helpers. It prints "delete-event" when it gets a close
// request and then ends with status 0; it ends with status 3 if nothing
// closes it within 20 seconds. With --until-mapped it prints "mapped" and
// ends with status 0 as soon as the window is on screen.

#include <gtk/gtk.h>

static gboolean g_deleted = FALSE;
static gboolean g_mapped = FALSE;

// Called for a window manager's close request.
static gboolean on_delete_event(GtkWidget* widget, GdkEvent* event,
                                gpointer data) {
  (void)widget;
  (void)event;
  (void)data;
  g_deleted = TRUE;
  g_print("delete-event\n");
  return FALSE;  // Let GTK destroy the window.
}

// Called when the window is on screen, with --until-mapped.
static gboolean on_map_event(GtkWidget* widget, GdkEvent* event,
                             gpointer data) {
  (void)widget;
  (void)event;
  (void)data;
  g_print("mapped\n");
  g_mapped = TRUE;
  gtk_main_quit();
  return FALSE;
}

// Called when nothing closed the window in time.
static gboolean on_timeout(gpointer data) {
  (void)data;
  g_printerr("zk-test-window: no close request\n");
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  const gboolean until_mapped =
      argc == 3 && g_strcmp0(argv[1], "--until-mapped") == 0;
  if (argc != 2 && !until_mapped) {
    g_printerr("usage: zk-test-window [--until-mapped] TITLE\n");
    return 2;
  }
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(window), argv[argc - 1]);
  gtk_window_set_default_size(GTK_WINDOW(window), 320, 200);
  g_signal_connect(window, "delete-event", G_CALLBACK(on_delete_event), NULL);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  if (until_mapped) {
    g_signal_connect(window, "map-event", G_CALLBACK(on_map_event), NULL);
  }
  gtk_widget_show(window);
  g_timeout_add_seconds(20, on_timeout, NULL);
  gtk_main();
  return g_deleted || g_mapped ? 0 : 3;
}
