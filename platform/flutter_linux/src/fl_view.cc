// Copyright 2026 The Zelkoz Authors. All rights reserved.
#include "flutter_linux/fl_view.h"

#include <string.h>

#include "fl_engine_private.h"
#include "flutter_linux/fl_plugin_registrar.h"
#include "flutter_linux/fl_plugin_registry.h"

// The registrar a plugin gets from the view: the engine's messenger and
// texture registrar, and the view.
G_DECLARE_FINAL_TYPE(FlViewPluginRegistrar,
                     fl_view_plugin_registrar,
                     FL,
                     VIEW_PLUGIN_REGISTRAR,
                     GObject)

struct _FlViewPluginRegistrar {
  GObject parent_instance;
  FlEngine* engine;  // Owned.
  GWeakRef view;
};

struct _FlView {
  GtkBox parent_instance;
  FlEngine* engine;          // Owned.
  GtkWidget* drawing_area;   // Owned by the box.
  GdkRGBA background;
  gboolean first_frame_sent;
  guint first_frame_idle_id;  // 0 when none is queued.
  gboolean texture_shown;
  int64_t texture_id;
  cairo_surface_t* frame;     // Owned; the last picture of the texture.
  uint32_t frame_width;       // The texture's own size for that picture.
  uint32_t frame_height;
  gboolean read_in_flight;
  gboolean read_again;        // A frame came while a read was in flight.
};

static void fl_view_plugin_registry_iface_init(
    FlPluginRegistryInterface* iface);
static void fl_view_plugin_registrar_iface_init(
    FlPluginRegistrarInterface* iface);

G_DEFINE_TYPE_WITH_CODE(FlView,
                        fl_view,
                        GTK_TYPE_BOX,
                        G_IMPLEMENT_INTERFACE(fl_plugin_registry_get_type(),
                                              fl_view_plugin_registry_iface_init))

G_DEFINE_TYPE_WITH_CODE(
    FlViewPluginRegistrar,
    fl_view_plugin_registrar,
    G_TYPE_OBJECT,
    G_IMPLEMENT_INTERFACE(fl_plugin_registrar_get_type(),
                          fl_view_plugin_registrar_iface_init))

enum { kSignalFirstFrame, kLastSignal };
static guint fl_view_signals[kLastSignal];

// ---------------------------------------------------------------------------
// Plugin registrar.

static FlBinaryMessenger* registrar_get_messenger(FlPluginRegistrar* r) {
  return fl_engine_get_binary_messenger(FL_VIEW_PLUGIN_REGISTRAR(r)->engine);
}

static FlTextureRegistrar* registrar_get_texture_registrar(
    FlPluginRegistrar* r) {
  return fl_engine_get_texture_registrar(FL_VIEW_PLUGIN_REGISTRAR(r)->engine);
}

static FlView* registrar_get_view(FlPluginRegistrar* r) {
  // Borrowed, as the real registrar hands it out.
  GObject* view = G_OBJECT(g_weak_ref_get(&FL_VIEW_PLUGIN_REGISTRAR(r)->view));
  if (view == nullptr) {
    return nullptr;
  }
  g_object_unref(view);
  return FL_VIEW(view);
}

static void fl_view_plugin_registrar_iface_init(
    FlPluginRegistrarInterface* iface) {
  iface->get_messenger = registrar_get_messenger;
  iface->get_texture_registrar = registrar_get_texture_registrar;
  iface->get_view = registrar_get_view;
}

static void fl_view_plugin_registrar_dispose(GObject* object) {
  auto* self = FL_VIEW_PLUGIN_REGISTRAR(object);
  g_clear_object(&self->engine);
  g_weak_ref_clear(&self->view);
  G_OBJECT_CLASS(fl_view_plugin_registrar_parent_class)->dispose(object);
}

static void fl_view_plugin_registrar_class_init(
    FlViewPluginRegistrarClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_plugin_registrar_dispose;
}

static void fl_view_plugin_registrar_init(FlViewPluginRegistrar* self) {}

static FlPluginRegistrar* get_registrar_for_plugin(FlPluginRegistry* registry,
                                                   const gchar* name) {
  FlView* view = FL_VIEW(registry);
  auto* registrar = FL_VIEW_PLUGIN_REGISTRAR(
      g_object_new(fl_view_plugin_registrar_get_type(), nullptr));
  registrar->engine = FL_ENGINE(g_object_ref(view->engine));
  g_weak_ref_init(&registrar->view, view);
  return FL_PLUGIN_REGISTRAR(registrar);
}

static void fl_view_plugin_registry_iface_init(
    FlPluginRegistryInterface* iface) {
  iface->get_registrar_for_plugin = get_registrar_for_plugin;
}

// ---------------------------------------------------------------------------
// Drawing.

namespace {

void RequestTextureRead(FlView* self);

struct ViewRead {
  GWeakRef view;
  int64_t id;
};

void TextureReadDone(gboolean found,
                     cairo_surface_t* surface,
                     uint32_t texture_width,
                     uint32_t texture_height,
                     gpointer user_data) {
  auto* read = static_cast<ViewRead*>(user_data);
  g_autoptr(GObject) object = G_OBJECT(g_weak_ref_get(&read->view));
  int64_t id = read->id;
  g_weak_ref_clear(&read->view);
  delete read;
  if (object == nullptr) {
    return;
  }
  FlView* self = FL_VIEW(object);
  self->read_in_flight = FALSE;
  if (!self->texture_shown || self->texture_id != id) {
    RequestTextureRead(self);
    return;
  }
  g_clear_pointer(&self->frame, cairo_surface_destroy);
  if (found && surface != nullptr) {
    self->frame = cairo_surface_reference(surface);
    self->frame_width = texture_width;
    self->frame_height = texture_height;
  }
  gtk_widget_queue_draw(self->drawing_area);
  if (self->read_again) {
    self->read_again = FALSE;
    RequestTextureRead(self);
  }
}

void RequestTextureRead(FlView* self) {
  if (!self->texture_shown || self->engine == nullptr) {
    return;
  }
  if (self->read_in_flight) {
    self->read_again = TRUE;
    return;
  }
  self->read_in_flight = TRUE;
  auto* read = new ViewRead;
  g_weak_ref_init(&read->view, self);
  read->id = self->texture_id;
  // Scaled down on the raster thread to what the view shows, as a GPU would.
  fl_engine_read_texture_fitted(
      self->engine, self->texture_id,
      gtk_widget_get_allocated_width(self->drawing_area),
      gtk_widget_get_allocated_height(self->drawing_area), TextureReadDone,
      read);
}

}  // namespace

// Paints the background and the shown texture, scaled to fit.
static gboolean draw_cb(GtkWidget* widget, cairo_t* cr, gpointer user_data) {
  FlView* self = FL_VIEW(user_data);
  gdk_cairo_set_source_rgba(cr, &self->background);
  cairo_paint(cr);
  if (self->texture_shown && self->frame != nullptr && self->frame_width > 0 &&
      self->frame_height > 0) {
    double w = gtk_widget_get_allocated_width(widget);
    double h = gtk_widget_get_allocated_height(widget);
    double tw = self->frame_width;
    double th = self->frame_height;
    double scale = MIN(w / tw, h / th);
    double fw = cairo_image_surface_get_width(self->frame);
    double fh = cairo_image_surface_get_height(self->frame);
    cairo_translate(cr, (w - tw * scale) / 2, (h - th * scale) / 2);
    // The image may already be scaled down to the view's size.
    cairo_scale(cr, tw * scale / fw, th * scale / fh);
    // Filtering must neither bleed into the bars beside the picture nor
    // fade the picture's edges into them.
    cairo_rectangle(cr, 0, 0, fw, fh);
    cairo_clip(cr);
    cairo_set_source_surface(cr, self->frame, 0, 0);
    cairo_pattern_set_extend(cairo_get_source(cr), CAIRO_EXTEND_PAD);
    // Bilinear: a stand-in's display must not cost more than the decoding
    // it shows.
    cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_BILINEAR);
    cairo_paint(cr);
  }
  return TRUE;
}

static gboolean emit_first_frame_cb(gpointer user_data) {
  FlView* self = FL_VIEW(user_data);
  self->first_frame_idle_id = 0;
  fl_view_handle_first_frame(self);
  return G_SOURCE_REMOVE;
}

// The engine starts with the view's realization, as the real one does.
static void fl_view_realize(GtkWidget* widget) {
  FlView* self = FL_VIEW(widget);
  GTK_WIDGET_CLASS(fl_view_parent_class)->realize(widget);
  fl_engine_start(self->engine);
  if (!fl_engine_has_peer(self->engine) && !self->first_frame_sent &&
      self->first_frame_idle_id == 0) {
    // Nobody will ask for a frame: the first one is drawn right away.
    self->first_frame_idle_id = g_idle_add(emit_first_frame_cb, self);
  }
}

static void fl_view_dispose(GObject* object) {
  FlView* self = FL_VIEW(object);
  g_clear_handle_id(&self->first_frame_idle_id, g_source_remove);
  if (self->engine != nullptr) {
    fl_engine_set_view(self->engine, nullptr);
    fl_engine_shutdown(self->engine);
    g_clear_object(&self->engine);
  }
  g_clear_pointer(&self->frame, cairo_surface_destroy);
  G_OBJECT_CLASS(fl_view_parent_class)->dispose(object);
}

static void fl_view_class_init(FlViewClass* klass) {
  G_OBJECT_CLASS(klass)->dispose = fl_view_dispose;
  GTK_WIDGET_CLASS(klass)->realize = fl_view_realize;
  fl_view_signals[kSignalFirstFrame] =
      g_signal_new("first-frame", fl_view_get_type(), G_SIGNAL_RUN_LAST, 0,
                   nullptr, nullptr, nullptr, G_TYPE_NONE, 0);
}

static void fl_view_init(FlView* self) {
  gdk_rgba_parse(&self->background, "#000000");
  self->drawing_area = gtk_drawing_area_new();
  gtk_widget_set_hexpand(self->drawing_area, TRUE);
  gtk_widget_set_vexpand(self->drawing_area, TRUE);
  g_signal_connect(self->drawing_area, "draw", G_CALLBACK(draw_cb), self);
  gtk_widget_show(self->drawing_area);
  gtk_box_pack_start(GTK_BOX(self), self->drawing_area, TRUE, TRUE, 0);
  gtk_widget_set_can_focus(GTK_WIDGET(self), TRUE);
}

G_MODULE_EXPORT FlView* fl_view_new(FlDartProject* project) {
  g_return_val_if_fail(FL_IS_DART_PROJECT(project), nullptr);
  auto* self = FL_VIEW(g_object_new(fl_view_get_type(), nullptr));
  self->engine = fl_engine_new(project);
  fl_engine_set_view(self->engine, self);
  return self;
}

G_MODULE_EXPORT FlEngine* fl_view_get_engine(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), nullptr);
  return self->engine;
}

G_MODULE_EXPORT void fl_view_set_background_color(FlView* self,
                                                  const GdkRGBA* color) {
  g_return_if_fail(FL_IS_VIEW(self));
  g_return_if_fail(color != nullptr);
  self->background = *color;
  gtk_widget_queue_draw(self->drawing_area);
}

void fl_view_handle_first_frame(FlView* self) {
  g_return_if_fail(FL_IS_VIEW(self));
  gtk_widget_queue_draw(self->drawing_area);
  if (self->first_frame_sent) {
    return;
  }
  self->first_frame_sent = TRUE;
  g_signal_emit(self, fl_view_signals[kSignalFirstFrame], 0);
}

void fl_view_show_texture(FlView* self, int64_t id, gboolean show) {
  g_return_if_fail(FL_IS_VIEW(self));
  self->texture_shown = show;
  self->texture_id = id;
  g_clear_pointer(&self->frame, cairo_surface_destroy);
  gtk_widget_queue_draw(self->drawing_area);
  RequestTextureRead(self);
}

void fl_view_texture_frame_available(FlView* self, int64_t id) {
  g_return_if_fail(FL_IS_VIEW(self));
  if (self->texture_shown && self->texture_id == id) {
    RequestTextureRead(self);
  }
}

FlValue* fl_view_build_state(FlView* self) {
  g_return_val_if_fail(FL_IS_VIEW(self), nullptr);
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (!GTK_IS_WINDOW(toplevel)) {
    return nullptr;
  }
  GtkWindow* window = GTK_WINDOW(toplevel);
  FlValue* state = fl_value_new_map();
  fl_value_set_string_take(state, "visible",
                           fl_value_new_bool(gtk_widget_get_visible(toplevel)));
  const gchar* title = gtk_window_get_title(window);
  fl_value_set_string_take(state, "title",
                           fl_value_new_string(title != nullptr ? title : ""));
  fl_value_set_string_take(state, "decorated",
                           fl_value_new_bool(gtk_window_get_decorated(window)));
  const gchar* icon_name = gtk_window_get_icon_name(window);
  fl_value_set_string_take(state, "iconName",
                           icon_name != nullptr ? fl_value_new_string(icon_name)
                                                : fl_value_new_null());
  fl_value_set_string_take(
      state, "hasIcon",
      fl_value_new_bool(gtk_window_get_icon(window) != nullptr ||
                        icon_name != nullptr));
  int width = 0;
  int height = 0;
  gtk_window_get_size(window, &width, &height);
  fl_value_set_string_take(state, "width", fl_value_new_int(width));
  fl_value_set_string_take(state, "height", fl_value_new_int(height));
  int min_width = -1;
  int min_height = -1;
  gtk_widget_get_size_request(toplevel, &min_width, &min_height);
  fl_value_set_string_take(state, "minWidth", fl_value_new_int(min_width));
  fl_value_set_string_take(state, "minHeight", fl_value_new_int(min_height));
  return state;
}

void fl_view_request_close(FlView* self) {
  g_return_if_fail(FL_IS_VIEW(self));
  GtkWidget* toplevel = gtk_widget_get_toplevel(GTK_WIDGET(self));
  if (GTK_IS_WINDOW(toplevel)) {
    // The same close request a window manager sends.
    gtk_window_close(GTK_WINDOW(toplevel));
  }
}
