// Copyright 2026 The Zelkoz Authors. All rights reserved.
// FlView under a real display: first frame, plugin registry, the control
// channel's view methods and what the view draws. Skipped without a display
// (tests/harness/session gives one).
#include <gtk/gtk.h>

#include <memory>
#include <string>
#include <vector>

#include "fl_test_support.h"

// A texture of one solid colour that the test can change.
G_DECLARE_FINAL_TYPE(ViewTestTexture,
                     view_test_texture,
                     VIEW_TEST,
                     TEXTURE,
                     FlPixelBufferTexture)

struct _ViewTestTexture {
  FlPixelBufferTexture parent_instance;
  GMutex lock;                   // Guards pixels.
  std::vector<uint8_t>* pixels;  // 4x4 RGBA.
  int reads;
};

G_DEFINE_TYPE(ViewTestTexture,
              view_test_texture,
              fl_pixel_buffer_texture_get_type())

static gboolean view_test_texture_copy_pixels(FlPixelBufferTexture* texture,
                                              const uint8_t** buffer,
                                              uint32_t* width,
                                              uint32_t* height,
                                              GError** error) {
  ViewTestTexture* self = VIEW_TEST_TEXTURE(texture);
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&self->lock);
  self->reads++;
  *buffer = self->pixels->data();
  *width = 4;
  *height = 4;
  return TRUE;
}

static void view_test_texture_dispose(GObject* object) {
  ViewTestTexture* self = VIEW_TEST_TEXTURE(object);
  delete self->pixels;
  self->pixels = nullptr;
  G_OBJECT_CLASS(view_test_texture_parent_class)->dispose(object);
}

static void view_test_texture_finalize(GObject* object) {
  g_mutex_clear(&VIEW_TEST_TEXTURE(object)->lock);
  G_OBJECT_CLASS(view_test_texture_parent_class)->finalize(object);
}

static void view_test_texture_class_init(ViewTestTextureClass* klass) {
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      view_test_texture_copy_pixels;
  G_OBJECT_CLASS(klass)->dispose = view_test_texture_dispose;
  G_OBJECT_CLASS(klass)->finalize = view_test_texture_finalize;
}

static void view_test_texture_init(ViewTestTexture* self) {
  g_mutex_init(&self->lock);
  self->pixels = new std::vector<uint8_t>(4 * 4 * 4);
}

// Changes the colour. The copy_pixels buffer stays valid: same size, same
// storage.
static void view_test_texture_fill(ViewTestTexture* self,
                                   uint8_t r,
                                   uint8_t g,
                                   uint8_t b) {
  g_autoptr(GMutexLocker) locker = g_mutex_locker_new(&self->lock);
  for (size_t i = 0; i < self->pixels->size(); i += 4) {
    (*self->pixels)[i] = r;
    (*self->pixels)[i + 1] = g;
    (*self->pixels)[i + 2] = b;
    (*self->pixels)[i + 3] = 255;
  }
}

namespace {

using fltest::Hex;
using fltest::TestPeer;

constexpr char kControl[] = "standin/engine";
constexpr int kViewWidth = 64;
constexpr int kViewHeight = 48;

bool HaveDisplay() {
  static bool have = gtk_init_check(nullptr, nullptr);
  return have;
}

void CountCb(gpointer user_data) {
  (*static_cast<int*>(user_data))++;
}

gboolean CountDeleteCb(GtkWidget* widget, GdkEvent* event, gpointer data) {
  (*static_cast<int*>(data))++;
  // Keep the window: the test destroys it.
  return TRUE;
}

// One pixel of a cairo image as {r, g, b}.
std::vector<int> PixelAt(cairo_surface_t* surface, int x, int y) {
  cairo_surface_flush(surface);
  const uint8_t* data = cairo_image_surface_get_data(surface);
  int stride = cairo_image_surface_get_stride(surface);
  uint32_t argb = *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4);
  return {static_cast<int>((argb >> 16) & 0xff),
          static_cast<int>((argb >> 8) & 0xff), static_cast<int>(argb & 0xff)};
}

std::string Rgb(const std::vector<int>& rgb) {
  return std::to_string(rgb[0]) + "," + std::to_string(rgb[1]) + "," +
         std::to_string(rgb[2]);
}

class ViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveDisplay()) {
      GTEST_SKIP() << "no display; the end-to-end tests cover the view";
    }
  }

  void TearDown() override {
    if (window_ != nullptr) {
      gtk_widget_destroy(window_);
      window_ = nullptr;
    }
    fltest::Drain();
    g_clear_object(&project_);
    peer_.reset();
  }

  // A window holding a new view; with_peer connects the engine to a peer
  // when the view is realized.
  void Build(bool with_peer) {
    if (with_peer) {
      peer_ = std::make_unique<TestPeer>();
    } else {
      g_unsetenv(FL_ENGINE_PEER_ENV);
    }
    project_ = fl_dart_project_new();
    view_ = fl_view_new(project_);
    g_signal_connect_swapped(view_, "first-frame", G_CALLBACK(CountCb),
                             &first_frames_);
    window_ = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_default_size(GTK_WINDOW(window_), kViewWidth, kViewHeight);
    gtk_container_add(GTK_CONTAINER(window_), GTK_WIDGET(view_));
    gtk_widget_show(GTK_WIDGET(view_));
    gtk_widget_realize(GTK_WIDGET(view_));
    if (with_peer) {
      ASSERT_TRUE(peer_->Accept()) << "the view's engine did not connect";
      fltest::Frame hello;
      ASSERT_TRUE(peer_->NextFrame(&hello));
    }
  }

  FlEngine* engine() { return fl_view_get_engine(view_); }

  // What the view shows now, drawn into an image of its size.
  cairo_surface_t* Snapshot() {
    cairo_surface_t* surface = cairo_image_surface_create(
        CAIRO_FORMAT_ARGB32, gtk_widget_get_allocated_width(GTK_WIDGET(view_)),
        gtk_widget_get_allocated_height(GTK_WIDGET(view_)));
    cairo_t* cr = cairo_create(surface);
    gtk_widget_draw(GTK_WIDGET(view_), cr);
    cairo_destroy(cr);
    return surface;
  }

  // Waits until the pixel at (x, y) of the view is rgb.
  bool WaitForPixel(int x, int y, const std::vector<int>& rgb) {
    std::vector<int> seen;
    bool ok = fltest::RunUntil([&] {
      cairo_surface_t* surface = Snapshot();
      seen = PixelAt(surface, x, y);
      cairo_surface_destroy(surface);
      return seen == rgb;
    });
    EXPECT_TRUE(ok) << "pixel " << x << "," << y << " is " << Rgb(seen)
                    << ", not " << Rgb(rgb);
    return ok;
  }

  std::unique_ptr<TestPeer> peer_;
  FlDartProject* project_ = nullptr;
  FlView* view_ = nullptr;  // Owned by window_.
  GtkWidget* window_ = nullptr;
  int first_frames_ = 0;
};

// With no Dart side nobody asks for a frame: "first-frame" follows the
// engine's start on its own, once.
TEST_F(ViewTest, FirstFrameWithoutPeer) {
  ASSERT_NO_FATAL_FAILURE(Build(false));
  EXPECT_FALSE(fl_engine_has_peer(engine()));
  ASSERT_TRUE(fltest::RunUntil([this] { return first_frames_ > 0; }));
  fltest::Drain();
  EXPECT_EQ(first_frames_, 1);
}

// With a Dart side, "first-frame" waits for its first "drawFrame", and
// later ones do not emit it again.
TEST_F(ViewTest, FirstFrameWaitsForDrawFrame) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  fltest::Drain();
  EXPECT_EQ(first_frames_, 0);
  for (int i = 0; i < 2; i++) {
    g_autoptr(GBytes) call = fltest::EncodeCall("drawFrame", nullptr);
    std::vector<uint8_t> reply;
    ASSERT_TRUE(peer_->Request(kControl, call, &reply));
    EXPECT_EQ(Hex(reply), "00 00");
    EXPECT_EQ(first_frames_, 1);
  }
}

// The view is the plugin registry: its registrars give the engine's
// messenger and texture registrar and the view, and plugins' handlers are
// released when the view goes.
TEST_F(ViewTest, ViewIsThePluginRegistry) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  g_autoptr(FlPluginRegistrar) registrar =
      fl_plugin_registry_get_registrar_for_plugin(FL_PLUGIN_REGISTRY(view_),
                                                  "TestPlugin");
  ASSERT_NE(registrar, nullptr);
  EXPECT_EQ(fl_plugin_registrar_get_messenger(registrar),
            fl_engine_get_binary_messenger(engine()));
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(registrar),
            fl_engine_get_texture_registrar(engine()));
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), view_);

  fltest::DestroyCounter counter;
  g_autoptr(FlMethodCodec) codec = fltest::StandardMethodCodec();
  {
    g_autoptr(FlMethodChannel) channel = fl_method_channel_new(
        fl_plugin_registrar_get_messenger(registrar), "test/plugin", codec);
    fl_method_channel_set_method_call_handler(
        channel,
        [](FlMethodChannel*, FlMethodCall* call, gpointer) {
          fl_method_call_respond_success(call, nullptr, nullptr);
        },
        &counter, fltest::DestroyCounter::Notify);
  }
  g_autoptr(FlMethodResponse) response =
      peer_->Invoke("test/plugin", "m", nullptr);
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(response));

  gtk_widget_destroy(window_);
  window_ = nullptr;
  EXPECT_EQ(counter.destroyed, 1);
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), nullptr);
  EXPECT_TRUE(peer_->WaitClosed());
}

// "viewState" describes the view's toplevel window.
TEST_F(ViewTest, ViewStateDescribesTheWindow) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  gtk_window_set_title(GTK_WINDOW(window_), "View test");
  gtk_window_set_decorated(GTK_WINDOW(window_), FALSE);
  gtk_widget_set_size_request(window_, 40, 30);
  g_autoptr(FlMethodResponse) hidden =
      peer_->Invoke(kControl, "viewState", nullptr);
  FlValue* state = fltest::SuccessResult(hidden);
  ASSERT_NE(state, nullptr);
  g_autofree gchar* text = fl_value_to_string(state);
  const struct {
    const char* key;
    FlValueType type;
  } keys[] = {
      {"visible", FL_VALUE_TYPE_BOOL},   {"title", FL_VALUE_TYPE_STRING},
      {"decorated", FL_VALUE_TYPE_BOOL}, {"iconName", FL_VALUE_TYPE_NULL},
      {"hasIcon", FL_VALUE_TYPE_BOOL},   {"width", FL_VALUE_TYPE_INT},
      {"height", FL_VALUE_TYPE_INT},     {"minWidth", FL_VALUE_TYPE_INT},
      {"minHeight", FL_VALUE_TYPE_INT}};
  EXPECT_EQ(fl_value_get_length(state), G_N_ELEMENTS(keys)) << text;
  for (const auto& key : keys) {
    SCOPED_TRACE(key.key);
    FlValue* value = fl_value_lookup_string(state, key.key);
    ASSERT_NE(value, nullptr) << text;
    EXPECT_EQ(fl_value_get_type(value), key.type) << text;
  }
  EXPECT_FALSE(fl_value_get_bool(fl_value_lookup_string(state, "visible")));
  EXPECT_STREQ(fl_value_get_string(fl_value_lookup_string(state, "title")),
               "View test");
  EXPECT_FALSE(fl_value_get_bool(fl_value_lookup_string(state, "decorated")));
  EXPECT_FALSE(fl_value_get_bool(fl_value_lookup_string(state, "hasIcon")));
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(state, "width")),
            kViewWidth);
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(state, "height")),
            kViewHeight);
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(state, "minWidth")), 40);
  EXPECT_EQ(fl_value_get_int(fl_value_lookup_string(state, "minHeight")), 30);

  gtk_window_set_icon_name(GTK_WINDOW(window_), "test-icon");
  gtk_widget_show(window_);
  g_autoptr(FlMethodResponse) shown =
      peer_->Invoke(kControl, "viewState", nullptr);
  state = fltest::SuccessResult(shown);
  ASSERT_NE(state, nullptr);
  EXPECT_TRUE(fl_value_get_bool(fl_value_lookup_string(state, "visible")));
  FlValue* icon = fl_value_lookup_string(state, "iconName");
  ASSERT_EQ(fl_value_get_type(icon), FL_VALUE_TYPE_STRING);
  EXPECT_STREQ(fl_value_get_string(icon), "test-icon");
  EXPECT_TRUE(fl_value_get_bool(fl_value_lookup_string(state, "hasIcon")));
}

// "closeWindow" answers, then makes the same close request to the window
// that a window manager makes.
TEST_F(ViewTest, CloseWindowSendsCloseRequest) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  gtk_widget_show(window_);
  int deletes = 0;
  g_signal_connect(window_, "delete-event", G_CALLBACK(CountDeleteCb),
                   &deletes);
  g_autoptr(GBytes) call = fltest::EncodeCall("closeWindow", nullptr);
  std::vector<uint8_t> reply;
  ASSERT_TRUE(peer_->Request(kControl, call, &reply));
  EXPECT_EQ(Hex(reply), "00 00");
  ASSERT_TRUE(fltest::RunUntil([&deletes] { return deletes > 0; }));
  fltest::Drain();
  EXPECT_EQ(deletes, 1);
}

// The view paints its background colour and, when asked, the texture scaled
// to fit and centred; a new frame is read and drawn; null hides it.
TEST_F(ViewTest, DrawsBackgroundAndTexture) {
  ASSERT_NO_FATAL_FAILURE(Build(true));
  gtk_widget_show(window_);
  ASSERT_TRUE(fltest::RunUntil([this] {
    return gtk_widget_get_allocated_width(GTK_WIDGET(view_)) == kViewWidth &&
           gtk_widget_get_allocated_height(GTK_WIDGET(view_)) == kViewHeight;
  }));
  GdkRGBA background = {0.2, 0.4, 0.6, 1.0};
  fl_view_set_background_color(view_, &background);
  std::vector<int> back = {51, 102, 153};
  EXPECT_TRUE(WaitForPixel(kViewWidth / 2, kViewHeight / 2, back));

  g_autoptr(ViewTestTexture) texture =
      VIEW_TEST_TEXTURE(g_object_new(view_test_texture_get_type(), nullptr));
  view_test_texture_fill(texture, 255, 0, 0);
  FlTextureRegistrar* registrar = fl_engine_get_texture_registrar(engine());
  ASSERT_TRUE(
      fl_texture_registrar_register_texture(registrar, FL_TEXTURE(texture)));
  int64_t id = fl_texture_get_id(FL_TEXTURE(texture));
  g_autoptr(FlValue) show = fl_value_new_map();
  fl_value_set_string_take(show, "id", fl_value_new_int(id));
  g_autoptr(FlMethodResponse) shown =
      peer_->Invoke(kControl, "showTexture", show);
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(shown));
  // A square texture in a 64x48 view: 48x48, centred, bars of 8 each side.
  // The edges are the texture's own colour and the bars untouched.
  const struct {
    int x;
    int y;
    std::vector<int> rgb;
  } points[] = {
      {kViewWidth / 2, kViewHeight / 2, {255, 0, 0}},
      {8, 0, {255, 0, 0}},
      {55, kViewHeight - 1, {255, 0, 0}},
      {7, kViewHeight / 2, back},
      {56, kViewHeight / 2, back},
      {0, 0, back},
  };
  for (const auto& p : points) {
    SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y));
    EXPECT_TRUE(WaitForPixel(p.x, p.y, p.rgb));
  }

  view_test_texture_fill(texture, 0, 255, 0);
  EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(
      registrar, FL_TEXTURE(texture)));
  EXPECT_TRUE(WaitForPixel(kViewWidth / 2, kViewHeight / 2, {0, 255, 0}));

  g_autoptr(FlValue) hide = fl_value_new_map();
  fl_value_set_string_take(hide, "id", fl_value_new_null());
  g_autoptr(FlMethodResponse) hidden =
      peer_->Invoke(kControl, "showTexture", hide);
  EXPECT_TRUE(FL_IS_METHOD_SUCCESS_RESPONSE(hidden));
  EXPECT_TRUE(WaitForPixel(kViewWidth / 2, kViewHeight / 2, back));
  fl_texture_registrar_unregister_texture(registrar, FL_TEXTURE(texture));
}

}  // namespace
