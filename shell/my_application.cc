// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "my_application.h"

#include <flutter_linux/flutter_linux.h>
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#endif

#include "generated_plugin_registrant.h"

namespace {

constexpr char kApplicationId[] = "com.zelkoz.Zelkoz";
constexpr char kWindowTitle[] = "Zelkoz";
constexpr char kWindowChannel[] = "com.zelko.zelko_app/window";
constexpr char kBackgroundColor[] = "#000000";
constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 720;
constexpr int kMinimumWidth = 360;
constexpr int kMinimumHeight = 560;

}  // namespace

struct _MyApplication {
  GtkApplication parent_instance;
  // The command-line arguments after the program name; owned.
  gchar** dart_entrypoint_arguments;
  // The main window; GTK and the application's window list own it.
  GtkWindow* window;
  // A close request hides the window instead of ending the application.
  gboolean hide_on_close;
  // The window method channel; owned.
  FlMethodChannel* window_channel;
};

G_DEFINE_TYPE(MyApplication, my_application, GTK_TYPE_APPLICATION)

namespace {

// Whether the icon theme can give the window and notifications our icon.
gboolean ThemeHasApplicationIcon() {
  return gtk_icon_theme_has_icon(gtk_icon_theme_get_default(), kApplicationId);
}

// Client-side decorations are dropped only on a Wayland compositor that
// neither prefers server-side decorations nor lacks the KDE decoration
// manager, which then draws them.
void ApplyDecorationRule(GtkWindow* window) {
#ifdef GDK_WINDOWING_WAYLAND
  GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
  if (!GDK_IS_WAYLAND_DISPLAY(display)) {
    return;
  }
  if (gdk_wayland_display_prefers_ssd(display)) {
    return;
  }
  if (!gdk_wayland_display_query_registry(
          display, "org_kde_kwin_server_decoration_manager")) {
    return;
  }
  gtk_window_set_decorated(window, FALSE);
#endif
}

}  // namespace

gchar* bundle_icon_path() {
  g_autofree gchar* executable = g_file_read_link("/proc/self/exe", nullptr);
  if (executable == nullptr) {
    return nullptr;
  }
  g_autofree gchar* directory = g_path_get_dirname(executable);
  return g_build_filename(directory, "data", "flutter_assets", "assets",
                          "app_icons", "default.png", nullptr);
}

// Called at the view's first frame: the moment the window first shows.
static void first_frame_cb(MyApplication* self, FlView* view) {
  gtk_widget_show(gtk_widget_get_toplevel(GTK_WIDGET(view)));
}

// Called for a close request on the main window.
static gboolean window_delete_cb(GtkWidget* widget,
                                 GdkEvent* event,
                                 MyApplication* self) {
  if (!self->hide_on_close) {
    return FALSE;
  }
  gtk_widget_hide(widget);
  fl_method_channel_invoke_method(self->window_channel, "closedToTray",
                                  nullptr, nullptr, nullptr, nullptr);
  return TRUE;
}

// Called for every method on the window channel.
static void window_method_cb(FlMethodChannel* channel,
                             FlMethodCall* method_call,
                             gpointer user_data) {
  MyApplication* self = MY_APPLICATION(user_data);
  const gchar* method = fl_method_call_get_name(method_call);
  FlValue* args = fl_method_call_get_args(method_call);
  g_autoptr(FlMethodResponse) response = nullptr;
  if (g_strcmp0(method, "setHideOnClose") == 0 && args != nullptr &&
      fl_value_get_type(args) == FL_VALUE_TYPE_BOOL) {
    self->hide_on_close = fl_value_get_bool(args);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
  } else if (g_strcmp0(method, "show") == 0) {
    if (args != nullptr && fl_value_get_type(args) == FL_VALUE_TYPE_STRING) {
      gtk_window_set_startup_id(self->window, fl_value_get_string(args));
    }
    gtk_widget_show(GTK_WIDGET(self->window));
    gtk_window_present(self->window);
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
  } else if (g_strcmp0(method, "notificationIcon") == 0) {
    FlValue* icon = nullptr;
    if (ThemeHasApplicationIcon()) {
      icon = fl_value_new_string(kApplicationId);
    } else {
      g_autofree gchar* path = bundle_icon_path();
      icon = path != nullptr ? fl_value_new_string(path) : fl_value_new_null();
    }
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(icon));
    fl_value_unref(icon);
  } else if (g_strcmp0(method, "quit") == 0) {
    response = FL_METHOD_RESPONSE(fl_method_success_response_new(nullptr));
    // The loop ends after this callback has returned, so the reply still goes.
    g_application_quit(G_APPLICATION(self));
  } else {
    response = FL_METHOD_RESPONSE(fl_method_not_implemented_response_new());
  }
  fl_method_call_respond(method_call, response, nullptr);
}

// Builds the main window with the engine's view on the first activation, and
// brings it back on every later one.
static void my_application_activate(GApplication* application) {
  MyApplication* self = MY_APPLICATION(application);
  if (self->window != nullptr) {
    gtk_widget_show(GTK_WIDGET(self->window));
    gtk_window_present(self->window);
    return;
  }

  self->window =
      GTK_WINDOW(gtk_application_window_new(GTK_APPLICATION(application)));
  g_signal_connect(self->window, "delete-event", G_CALLBACK(window_delete_cb),
                   self);
  gtk_window_set_title(self->window, kWindowTitle);
  ApplyDecorationRule(self->window);

  if (ThemeHasApplicationIcon()) {
    gtk_window_set_icon_name(self->window, kApplicationId);
  } else {
    g_autofree gchar* path = bundle_icon_path();
    if (path != nullptr) {
      // A missing or broken file leaves the window without an icon, quietly:
      // without an error to fill in, GTK would log one itself.
      g_autoptr(GError) error = nullptr;
      gtk_window_set_icon_from_file(self->window, path, &error);
    }
  }

  gtk_window_set_default_size(self->window, kDefaultWidth, kDefaultHeight);
  gtk_widget_set_size_request(GTK_WIDGET(self->window), kMinimumWidth,
                              kMinimumHeight);

  g_autoptr(FlDartProject) project = fl_dart_project_new();
  fl_dart_project_set_dart_entrypoint_arguments(
      project, self->dart_entrypoint_arguments);

  FlView* view = fl_view_new(project);
  GdkRGBA background;
  gdk_rgba_parse(&background, kBackgroundColor);
  fl_view_set_background_color(view, &background);
  gtk_widget_show(GTK_WIDGET(view));
  gtk_container_add(GTK_CONTAINER(self->window), GTK_WIDGET(view));

  g_signal_connect_swapped(view, "first-frame", G_CALLBACK(first_frame_cb),
                           self);
  // Realizing the view starts the engine; the window stays hidden until the
  // first frame.
  gtk_widget_realize(GTK_WIDGET(view));

  fl_register_plugins(FL_PLUGIN_REGISTRY(view));

  g_autoptr(FlStandardMethodCodec) codec = fl_standard_method_codec_new();
  self->window_channel = fl_method_channel_new(
      fl_engine_get_binary_messenger(fl_view_get_engine(view)),
      kWindowChannel, FL_METHOD_CODEC(codec));
  fl_method_channel_set_method_call_handler(self->window_channel,
                                            window_method_cb, self, nullptr);

  gtk_widget_grab_focus(GTK_WIDGET(view));
}

// Keeps the arguments for the Dart side and handles the command line here,
// so nothing is forwarded to a primary instance.
static gboolean my_application_local_command_line(GApplication* application,
                                                  gchar*** arguments,
                                                  int* exit_status) {
  MyApplication* self = MY_APPLICATION(application);
  gchar** argv = *arguments;
  // A process started without even a program name has no arguments.
  if (argv == nullptr || argv[0] == nullptr) {
    self->dart_entrypoint_arguments = g_new0(gchar*, 1);
  } else {
    self->dart_entrypoint_arguments = g_strdupv(argv + 1);
  }

  g_autoptr(GError) error = nullptr;
  if (!g_application_register(application, nullptr, &error)) {
    g_warning("Failed to register: %s", error->message);
    *exit_status = 1;
    return TRUE;
  }
  g_application_activate(application);
  *exit_status = 0;
  return TRUE;
}

static void my_application_startup(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->startup(application);
}

static void my_application_shutdown(GApplication* application) {
  G_APPLICATION_CLASS(my_application_parent_class)->shutdown(application);
}

static void my_application_dispose(GObject* object) {
  MyApplication* self = MY_APPLICATION(object);
  g_clear_pointer(&self->dart_entrypoint_arguments, g_strfreev);
  g_clear_object(&self->window_channel);
  G_OBJECT_CLASS(my_application_parent_class)->dispose(object);
}

static void my_application_class_init(MyApplicationClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = my_application_dispose;
  G_APPLICATION_CLASS(klass)->startup = my_application_startup;
  G_APPLICATION_CLASS(klass)->activate = my_application_activate;
  G_APPLICATION_CLASS(klass)->local_command_line =
      my_application_local_command_line;
  G_APPLICATION_CLASS(klass)->shutdown = my_application_shutdown;
}

static void my_application_init(MyApplication* self) {}

MyApplication* my_application_new() {
  g_set_prgname(kApplicationId);
  return MY_APPLICATION(g_object_new(my_application_get_type(),
                                     "application-id", kApplicationId,
                                     "flags", G_APPLICATION_DEFAULT_FLAGS,
                                     nullptr));
}
