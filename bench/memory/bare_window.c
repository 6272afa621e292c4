// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// memory_bare_window: the peer of the application's idle memory. A plain GTK 3
// window of the main window's default size, shown; prints "drawn" once GTK
// has drawn it and stays until its standard input ends.

#include <gtk/gtk.h>

// The main window's default size (shell/my_application.cc).
enum { kWidth = 1280, kHeight = 720 };

static gboolean on_draw(GtkWidget* widget, cairo_t* cr, gpointer data) {
  (void)cr;
  (void)data;
  g_signal_handlers_disconnect_by_func(widget, on_draw, NULL);
  g_print("drawn\n");
  fflush(stdout);
  return FALSE;
}

static gboolean on_stdin(GIOChannel* channel,
                         GIOCondition condition,
                         gpointer data) {
  (void)data;
  gchar buffer[256];
  gsize got = 0;
  if ((condition & G_IO_IN) &&
      g_io_channel_read_chars(channel, buffer, sizeof buffer, &got, NULL) ==
          G_IO_STATUS_NORMAL &&
      got > 0) {
    return G_SOURCE_CONTINUE;
  }
  gtk_main_quit();
  return G_SOURCE_REMOVE;
}

int main(int argc, char** argv) {
  gtk_init(&argc, &argv);
  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_default_size(GTK_WINDOW(window), kWidth, kHeight);
  g_signal_connect_after(window, "draw", G_CALLBACK(on_draw), NULL);
  g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), NULL);
  gtk_widget_show(window);

  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_channel_set_encoding(input, NULL, NULL);
  g_io_add_watch(input, G_IO_IN | G_IO_HUP | G_IO_ERR, on_stdin, NULL);
  g_io_channel_unref(input);
  gtk_main();
  return 0;
}
