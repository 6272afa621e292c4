// Copyright 2026 The Zelkoz Authors. All rights reserved.
//
// A small program on the engine stand-in for end-to-end tests of the engine
// and the Dart-side peer: a window with an FlView, an echo method channel, an
// event channel and a pixel-buffer texture that draws a known pattern.
//
// "standin_test/echo" methods:
//   "echo" args          -> success with args unchanged
//   "fail" args          -> error "E_TEST" / "failed as asked" / details args
//   "emit" [v1, v2, ...] -> null; sends each value as an event on
//                           "standin_test/events", then an error event
//                           "E_EVENT", then end of stream
//   "texture"            -> the pattern texture's id
//   "textureThreads"     -> {"calls": int, "offMain": bool}: whether every
//                           copy_pixels ran off the main thread
//   "callBack" args      -> invokes "fromNative" with args on this channel
//                           and answers with the reply's kind
//   anything else        -> not implemented
#include <flutter_linux/flutter_linux.h>
#include <gtk/gtk.h>

#include <atomic>
#include <vector>

namespace {

constexpr char kEchoChannel[] = "standin_test/echo";
constexpr char kEventChannel[] = "standin_test/events";
constexpr uint32_t kPatternWidth = 64;
constexpr uint32_t kPatternHeight = 48;

GThread* g_main_thread = nullptr;
std::atomic<int> g_copy_calls{0};
std::atomic<bool> g_copy_on_main{false};

}  // namespace

G_DECLARE_FINAL_TYPE(PatternTexture,
                     pattern_texture,
                     STANDIN,
                     PATTERN_TEXTURE,
                     FlPixelBufferTexture)

struct _PatternTexture {
  FlPixelBufferTexture parent_instance;
  std::vector<uint8_t>* pixels;  // Owned.
};

G_DEFINE_TYPE(PatternTexture, pattern_texture, fl_pixel_buffer_texture_get_type())

// Called on the engine's raster thread.
static gboolean pattern_texture_copy_pixels(FlPixelBufferTexture* texture,
                                            const uint8_t** buffer,
                                            uint32_t* width,
                                            uint32_t* height,
                                            GError** error) {
  PatternTexture* self = STANDIN_PATTERN_TEXTURE(texture);
  g_copy_calls++;
  if (g_thread_self() == g_main_thread) {
    g_copy_on_main = true;
  }
  *buffer = self->pixels->data();
  *width = kPatternWidth;
  *height = kPatternHeight;
  return TRUE;
}

static void pattern_texture_dispose(GObject* object) {
  PatternTexture* self = STANDIN_PATTERN_TEXTURE(object);
  delete self->pixels;
  self->pixels = nullptr;
  G_OBJECT_CLASS(pattern_texture_parent_class)->dispose(object);
}

static void pattern_texture_class_init(PatternTextureClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = pattern_texture_dispose;
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      pattern_texture_copy_pixels;
}

// The pattern: R = 4x, G = 5y, B = (x + y) mod 256, A = 255.
static void pattern_texture_init(PatternTexture* self) {
  self->pixels = new std::vector<uint8_t>(kPatternWidth * kPatternHeight * 4);
  for (uint32_t y = 0; y < kPatternHeight; y++) {
    for (uint32_t x = 0; x < kPatternWidth; x++) {
      uint8_t* p = self->pixels->data() + (y * kPatternWidth + x) * 4;
      p[0] = static_cast<uint8_t>(x * 4);
      p[1] = static_cast<uint8_t>(y * 5);
      p[2] = static_cast<uint8_t>((x + y) & 0xff);
      p[3] = 255;
    }
  }
}

namespace {

struct App {
  GtkWidget* window = nullptr;
  FlMethodChannel* echo = nullptr;    // Owned.
  FlEventChannel* events = nullptr;   // Owned.
  PatternTexture* texture = nullptr;  // Owned.
  int64_t texture_id = 0;
};

// Called when the Dart side answers "fromNative".
void CallBackDone(GObject* object, GAsyncResult* result, gpointer user_data) {
  g_autoptr(FlMethodCall) call = FL_METHOD_CALL(user_data);
  g_autoptr(GError) error = nullptr;
  g_autoptr(FlMethodResponse) response = fl_method_channel_invoke_method_finish(
      FL_METHOD_CHANNEL(object), result, &error);
  const char* kind = response == nullptr ? "failed"
                     : FL_IS_METHOD_SUCCESS_RESPONSE(response) ? "success"
                     : FL_IS_METHOD_ERROR_RESPONSE(response)   ? "error"
                                                               : "notImplemented";
  g_autoptr(FlValue) value = fl_value_new_string(kind);
  fl_method_call_respond_success(call, value, nullptr);
}

void EchoCb(FlMethodChannel* channel, FlMethodCall* call, gpointer user_data) {
  App* app = static_cast<App*>(user_data);
  const gchar* method = fl_method_call_get_name(call);
  FlValue* args = fl_method_call_get_args(call);
  if (g_strcmp0(method, "echo") == 0) {
    fl_method_call_respond_success(call, args, nullptr);
  } else if (g_strcmp0(method, "fail") == 0) {
    fl_method_call_respond_error(call, "E_TEST", "failed as asked", args,
                                 nullptr);
  } else if (g_strcmp0(method, "emit") == 0) {
    fl_method_call_respond_success(call, nullptr, nullptr);
    if (fl_value_get_type(args) == FL_VALUE_TYPE_LIST) {
      for (size_t i = 0; i < fl_value_get_length(args); i++) {
        fl_event_channel_send(app->events, fl_value_get_list_value(args, i),
                              nullptr, nullptr);
      }
    }
    g_autoptr(FlValue) details = fl_value_new_int(7);
    fl_event_channel_send_error(app->events, "E_EVENT", "event error", details,
                                nullptr, nullptr);
    fl_event_channel_send_end_of_stream(app->events, nullptr, nullptr);
  } else if (g_strcmp0(method, "texture") == 0) {
    g_autoptr(FlValue) id = fl_value_new_int(app->texture_id);
    fl_method_call_respond_success(call, id, nullptr);
  } else if (g_strcmp0(method, "textureThreads") == 0) {
    g_autoptr(FlValue) result = fl_value_new_map();
    fl_value_set_string_take(result, "calls",
                             fl_value_new_int(g_copy_calls.load()));
    fl_value_set_string_take(result, "offMain",
                             fl_value_new_bool(!g_copy_on_main.load()));
    fl_method_call_respond_success(call, result, nullptr);
  } else if (g_strcmp0(method, "callBack") == 0) {
    fl_method_channel_invoke_method(channel, "fromNative", args, nullptr,
                                    CallBackDone, g_object_ref(call));
  } else {
    fl_method_call_respond_not_implemented(call, nullptr);
  }
}

FlMethodErrorResponse* ListenCb(FlEventChannel* channel,
                                FlValue* args,
                                gpointer user_data) {
  return nullptr;
}

void FirstFrameCb(GtkWidget* window, FlView* view) {
  gtk_widget_show(window);
}

}  // namespace

int main(int argc, char** argv) {
  g_main_thread = g_thread_self();
  gtk_init(&argc, &argv);
  App app;
  app.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  gtk_window_set_title(GTK_WINDOW(app.window), "Stand-in test");
  gtk_window_set_default_size(GTK_WINDOW(app.window), 640, 480);
  g_signal_connect(app.window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(project, argv + 1);
  FlView* view = fl_view_new(project);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(app.window), GTK_WIDGET(view));
  g_signal_connect_swapped(view, "first-frame", G_CALLBACK(FirstFrameCb),
                           app.window);
  gtk_widget_realize(GTK_WIDGET(view));

  FlEngine* engine = fl_view_get_engine(view);
  FlBinaryMessenger* messenger = fl_engine_get_binary_messenger(engine);
  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  app.echo = fl_method_channel_new(messenger, kEchoChannel,
                                   FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(app.echo, EchoCb, &app, nullptr);
  app.events = fl_event_channel_new(messenger, kEventChannel,
                                    FL_METHOD_CODEC(codec));
  fl_event_channel_set_stream_handlers(app.events, ListenCb, ListenCb, &app,
                                       nullptr);

  app.texture = STANDIN_PATTERN_TEXTURE(
      g_object_new(pattern_texture_get_type(), nullptr));
  FlTextureRegistrar* registrar = fl_engine_get_texture_registrar(engine);
  fl_texture_registrar_register_texture(registrar, FL_TEXTURE(app.texture));
  app.texture_id = fl_texture_get_id(FL_TEXTURE(app.texture));
  fl_texture_registrar_mark_texture_frame_available(registrar,
                                                    FL_TEXTURE(app.texture));

  gtk_main();

  g_clear_object(&app.echo);
  g_clear_object(&app.events);
  g_clear_object(&app.texture);
  return 0;
}
