// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// memory_playbin URI: the peer of the application's players. Plain playbins
// with the player's own video sink bin, in one process, driven by lines on
// standard input:
//   play     a new playbin of URI, set PLAYING; prints "playing" when it has
//            prerolled (or "failed")
//   open     a new playbin of URI, set PAUSED; prints "opened" when it has
//            prerolled its first frame (or "failed")
//   seek MS  a flushing key-unit seek of the newest playbin to MS; prints
//            "seeking" once asked, its frame counts in "frames"
//   frames   prints "frames N": the frames the newest playbin's sink has
//            been handed, prerolls and samples
//   ping     prints "pong", for the round trip of a line
//   dispose  every playbin stopped and released; prints "disposed"
// It ends at the end of its standard input. Memory is read from outside;
// times from outside too, the same way as the application's.

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <stdio.h>
#include <string.h>

// The player's video sink bin (kVideoSinkDescription in
// plugins/video/player.cc), word for word. Each frame is pulled and dropped
// at once: the peer does all the player's work but keeping the frame shown
// and the one to show next.
static const char kVideoSink[] =
    "videoconvert ! videoflip video-direction=auto ! videoconvert ! "
    "video/x-raw,format=RGBA ! "
    "appsink name=zk_appsink sync=true max-buffers=2 drop=true";

static const char* g_uri = NULL;
static GPtrArray* g_players = NULL;  // GstElement*, one reference each
static GMainLoop* g_loop = NULL;
// Frames handed to the newest playbin's sink, from its streaming threads.
static gint g_frames = 0;

static void reply(const char* line) {
  g_print("%s\n", line);
  fflush(stdout);
}

static GstFlowReturn on_preroll(GstAppSink* sink, gpointer data) {
  (void)data;
  GstSample* sample = gst_app_sink_pull_preroll(sink);
  if (sample != NULL) {
    gst_sample_unref(sample);
    g_atomic_int_inc(&g_frames);
  }
  return GST_FLOW_OK;
}

static GstFlowReturn on_sample(GstAppSink* sink, gpointer data) {
  (void)data;
  GstSample* sample = gst_app_sink_pull_sample(sink);
  if (sample != NULL) {
    gst_sample_unref(sample);
    g_atomic_int_inc(&g_frames);
  }
  return GST_FLOW_OK;
}

static gboolean on_bus(GstBus* bus, GstMessage* message, gpointer data) {
  (void)bus;
  GstElement* pipeline = GST_ELEMENT(data);
  switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ASYNC_DONE:
      if (g_object_get_data(G_OBJECT(pipeline), "zk-ready") == NULL) {
        g_object_set_data(G_OBJECT(pipeline), "zk-ready", GINT_TO_POINTER(1));
        reply(GPOINTER_TO_INT(g_object_get_data(G_OBJECT(pipeline),
                                                "zk-paused"))
                  ? "opened"
                  : "playing");
      }
      break;
    case GST_MESSAGE_ERROR:
      if (g_object_get_data(G_OBJECT(pipeline), "zk-ready") == NULL) {
        g_object_set_data(G_OBJECT(pipeline), "zk-ready", GINT_TO_POINTER(1));
        reply("failed");
      }
      break;
    default:
      break;
  }
  return G_SOURCE_CONTINUE;
}

static void start(GstState state) {
  GstElement* pipeline = gst_element_factory_make("playbin", NULL);
  GError* error = NULL;
  GstElement* sink = gst_parse_bin_from_description(kVideoSink, TRUE, &error);
  if (pipeline == NULL || sink == NULL) {
    g_clear_error(&error);
    reply("failed");
    return;
  }
  GstElement* appsink = gst_bin_get_by_name(GST_BIN(sink), "zk_appsink");
  GstAppSinkCallbacks callbacks = {0};
  callbacks.new_preroll = on_preroll;
  callbacks.new_sample = on_sample;
  gst_app_sink_set_callbacks(GST_APP_SINK(appsink), &callbacks, NULL, NULL);
  gst_object_unref(appsink);
  g_object_set(pipeline, "uri", g_uri, "video-sink", sink, NULL);
  gst_object_ref_sink(pipeline);
  GstBus* bus = gst_element_get_bus(pipeline);
  guint watch = gst_bus_add_watch(bus, on_bus, pipeline);
  g_object_set_data(G_OBJECT(pipeline), "zk-watch", GUINT_TO_POINTER(watch));
  gst_object_unref(bus);
  g_object_set_data(G_OBJECT(pipeline), "zk-paused",
                    GINT_TO_POINTER(state == GST_STATE_PAUSED));
  g_ptr_array_add(g_players, pipeline);
  g_atomic_int_set(&g_frames, 0);
  gst_element_set_state(pipeline, state);
}

static void seek(const char* ms) {
  if (g_players->len == 0) {
    return;
  }
  GstElement* pipeline = g_ptr_array_index(g_players, g_players->len - 1);
  gst_element_seek_simple(
      pipeline, GST_FORMAT_TIME,
      (GstSeekFlags)(GST_SEEK_FLAG_FLUSH | GST_SEEK_FLAG_KEY_UNIT),
      g_ascii_strtoll(ms, NULL, 10) * GST_MSECOND);
}

static void dispose_all(void) {
  for (guint i = 0; i < g_players->len; i++) {
    GstElement* pipeline = g_ptr_array_index(g_players, i);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    g_source_remove(
        GPOINTER_TO_UINT(g_object_get_data(G_OBJECT(pipeline), "zk-watch")));
    gst_object_unref(pipeline);
  }
  g_ptr_array_set_size(g_players, 0);
  reply("disposed");
}

static gboolean on_stdin(GIOChannel* channel,
                         GIOCondition condition,
                         gpointer data) {
  (void)condition;
  (void)data;
  gchar* line = NULL;
  if (g_io_channel_read_line(channel, &line, NULL, NULL, NULL) !=
      G_IO_STATUS_NORMAL) {
    g_main_loop_quit(g_loop);
    return G_SOURCE_REMOVE;
  }
  g_strstrip(line);
  if (strcmp(line, "play") == 0) {
    start(GST_STATE_PLAYING);
  } else if (strcmp(line, "open") == 0) {
    start(GST_STATE_PAUSED);
  } else if (g_str_has_prefix(line, "seek ")) {
    seek(line + 5);
    reply("seeking");
  } else if (strcmp(line, "frames") == 0) {
    gchar* text = g_strdup_printf("frames %d", g_atomic_int_get(&g_frames));
    reply(text);
    g_free(text);
  } else if (strcmp(line, "ping") == 0) {
    reply("pong");
  } else if (strcmp(line, "dispose") == 0) {
    dispose_all();
  } else {
    reply("unknown");
  }
  g_free(line);
  return G_SOURCE_CONTINUE;
}

int main(int argc, char** argv) {
  gst_init(&argc, &argv);
  if (argc != 2) {
    g_printerr("usage: memory_playbin URI\n");
    return 2;
  }
  g_uri = argv[1];
  g_players = g_ptr_array_new();
  g_loop = g_main_loop_new(NULL, FALSE);
  GIOChannel* input = g_io_channel_unix_new(0);
  g_io_add_watch(input, G_IO_IN | G_IO_HUP | G_IO_ERR, on_stdin, NULL);
  g_io_channel_unref(input);
  g_main_loop_run(g_loop);
  dispose_all();
  g_ptr_array_unref(g_players);
  g_main_loop_unref(g_loop);
  return 0;
}
