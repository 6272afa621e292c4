// Copyright 2026 The Zelkoz Authors. All rights reserved.
// The fakes that plugin tests stand on: the texture registrar (ids, marks,
// reads on a thread of its own) and the plugin registrar.
#include <vector>

#include "fl_fake_messenger.h"
#include "fl_fake_plugin_registrar.h"
#include "fl_fake_texture_registrar.h"
#include "fl_test_support.h"

namespace {

enum class Mode { kPixels, kFail, kNoBuffer };

}  // namespace

// A 2x1 texture of two known pixels that records the thread it was read on.
G_DECLARE_FINAL_TYPE(FakeReadTexture,
                     fake_read_texture,
                     FAKE,
                     READ_TEXTURE,
                     FlPixelBufferTexture)

struct _FakeReadTexture {
  FlPixelBufferTexture parent_instance;
  Mode mode;
  GThread* read_thread;  // Written by the reading thread before it is joined.
  int reads;
};

G_DEFINE_TYPE(FakeReadTexture,
              fake_read_texture,
              fl_pixel_buffer_texture_get_type())

namespace {

const uint8_t kPixels[] = {10, 20, 30, 255, 40, 50, 60, 128};

}  // namespace

static gboolean fake_read_texture_copy_pixels(FlPixelBufferTexture* texture,
                                              const uint8_t** buffer,
                                              uint32_t* width,
                                              uint32_t* height,
                                              GError** error) {
  FakeReadTexture* self = FAKE_READ_TEXTURE(texture);
  self->read_thread = g_thread_self();
  self->reads++;
  switch (self->mode) {
    case Mode::kFail:
      g_set_error_literal(error, G_IO_ERROR, G_IO_ERROR_FAILED, "no frame");
      return FALSE;
    case Mode::kNoBuffer:
      *buffer = nullptr;
      *width = 2;
      *height = 1;
      return TRUE;
    case Mode::kPixels:
      break;
  }
  *buffer = kPixels;
  *width = 2;
  *height = 1;
  return TRUE;
}

static void fake_read_texture_class_init(FakeReadTextureClass* klass) {
  FL_PIXEL_BUFFER_TEXTURE_CLASS(klass)->copy_pixels =
      fake_read_texture_copy_pixels;
}

static void fake_read_texture_init(FakeReadTexture* self) {}

static FakeReadTexture* fake_read_texture_new(Mode mode) {
  auto* self =
      FAKE_READ_TEXTURE(g_object_new(fake_read_texture_get_type(), nullptr));
  self->mode = mode;
  return self;
}

namespace {

class FakeTextureRegistrarTest : public ::testing::Test {
 protected:
  void SetUp() override { registrar_ = fl_fake_texture_registrar_new(); }
  void TearDown() override { g_clear_object(&registrar_); }

  FlTextureRegistrar* registrar() { return FL_TEXTURE_REGISTRAR(registrar_); }

  FakeReadTexture* Register(Mode mode = Mode::kPixels) {
    FakeReadTexture* texture = fake_read_texture_new(mode);
    EXPECT_TRUE(fl_texture_registrar_register_texture(registrar(),
                                                      FL_TEXTURE(texture)));
    return texture;
  }

  FlFakeTextureRegistrar* registrar_ = nullptr;
};

// Ids are unique and above 2^32, as the engine's are, and registration is
// tracked per id.
TEST_F(FakeTextureRegistrarTest, IdsAreUniqueAndAbove2To32) {
  g_autoptr(FakeReadTexture) a = Register();
  g_autoptr(FakeReadTexture) b = Register();
  g_autoptr(FakeReadTexture) c = Register();
  int64_t ids[] = {fl_texture_get_id(FL_TEXTURE(a)),
                   fl_texture_get_id(FL_TEXTURE(b)),
                   fl_texture_get_id(FL_TEXTURE(c))};
  for (int i = 0; i < 3; i++) {
    SCOPED_TRACE(ids[i]);
    EXPECT_GT(ids[i], INT64_C(1) << 32);
    EXPECT_TRUE(fl_fake_texture_registrar_is_registered(registrar_, ids[i]));
    EXPECT_FALSE(fl_fake_texture_registrar_is_registered(registrar_,
                                                         ids[i] & 0xffffffff));
    for (int j = 0; j < i; j++) {
      EXPECT_NE(ids[i], ids[j]);
    }
  }
  EXPECT_EQ(fl_fake_texture_registrar_get_registered_count(registrar_), 3u);
  EXPECT_TRUE(
      fl_texture_registrar_unregister_texture(registrar(), FL_TEXTURE(b)));
  EXPECT_FALSE(
      fl_texture_registrar_unregister_texture(registrar(), FL_TEXTURE(b)));
  EXPECT_FALSE(fl_fake_texture_registrar_is_registered(registrar_, ids[1]));
  EXPECT_EQ(fl_fake_texture_registrar_get_registered_count(registrar_), 2u);
}

// Reads call copy_pixels on a thread other than the caller's and copy out
// what it handed over; failed or missing reads say so.
TEST_F(FakeTextureRegistrarTest, ReadPixelsOnAnotherThread) {
  g_autoptr(FakeReadTexture) good = Register();
  g_autoptr(FakeReadTexture) failing = Register(Mode::kFail);
  g_autoptr(FakeReadTexture) empty = Register(Mode::kNoBuffer);
  g_autoptr(GBytes) pixels = nullptr;
  uint32_t width = 0;
  uint32_t height = 0;
  ASSERT_TRUE(fl_fake_texture_registrar_read_pixels(
      registrar_, fl_texture_get_id(FL_TEXTURE(good)), &pixels, &width,
      &height));
  EXPECT_EQ(width, 2u);
  EXPECT_EQ(height, 1u);
  EXPECT_EQ(fltest::Hex(pixels), fltest::Hex(kPixels, sizeof(kPixels)));
  EXPECT_EQ(good->reads, 1);
  EXPECT_NE(good->read_thread, nullptr);
  EXPECT_NE(good->read_thread, g_thread_self());

  const struct {
    const char* label;
    int64_t id;
  } misses[] = {
      {"copy_pixels fails", fl_texture_get_id(FL_TEXTURE(failing))},
      {"copy_pixels gives no buffer", fl_texture_get_id(FL_TEXTURE(empty))},
      {"unknown id", fl_texture_get_id(FL_TEXTURE(good)) + 1000},
  };
  for (const auto& miss : misses) {
    SCOPED_TRACE(miss.label);
    GBytes* none = nullptr;
    EXPECT_FALSE(fl_fake_texture_registrar_read_pixels(
        registrar_, miss.id, &none, nullptr, nullptr));
    EXPECT_EQ(none, nullptr);
  }
  EXPECT_EQ(failing->reads, 1);
  EXPECT_EQ(empty->reads, 1);
}

// Frame-available marks are counted per id and kept after unregistering;
// marks of unregistered textures are refused.
TEST_F(FakeTextureRegistrarTest, CountsFrameMarks) {
  g_autoptr(FakeReadTexture) a = Register();
  g_autoptr(FakeReadTexture) b = Register();
  for (int i = 0; i < 3; i++) {
    EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(
        registrar(), FL_TEXTURE(a)));
  }
  EXPECT_TRUE(fl_texture_registrar_mark_texture_frame_available(registrar(),
                                                                FL_TEXTURE(b)));
  int64_t id = fl_texture_get_id(FL_TEXTURE(a));
  EXPECT_EQ(fl_fake_texture_registrar_get_frames_marked(registrar_, id), 3u);
  EXPECT_EQ(fl_fake_texture_registrar_get_frames_marked(
                registrar_, fl_texture_get_id(FL_TEXTURE(b))),
            1u);
  EXPECT_TRUE(
      fl_texture_registrar_unregister_texture(registrar(), FL_TEXTURE(a)));
  EXPECT_FALSE(fl_texture_registrar_mark_texture_frame_available(
      registrar(), FL_TEXTURE(a)));
  EXPECT_EQ(fl_fake_texture_registrar_get_frames_marked(registrar_, id), 3u);
}

// The registrar holds a texture while it is registered, and lets go of it
// when it is unregistered or the registrar goes.
TEST_F(FakeTextureRegistrarTest, HoldsRegisteredTextures) {
  for (bool unregister : {true, false}) {
    SCOPED_TRACE(unregister ? "unregistered" : "registrar released");
    FakeReadTexture* texture = Register();
    GWeakRef weak;
    g_weak_ref_init(&weak, texture);
    g_object_unref(texture);
    {
      g_autoptr(GObject) alive = G_OBJECT(g_weak_ref_get(&weak));
      EXPECT_NE(alive, nullptr);
    }
    if (unregister) {
      g_autoptr(GObject) object = G_OBJECT(g_weak_ref_get(&weak));
      fl_texture_registrar_unregister_texture(registrar(), FL_TEXTURE(object));
    } else {
      g_clear_object(&registrar_);
      registrar_ = fl_fake_texture_registrar_new();
    }
    g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak));
    EXPECT_EQ(gone, nullptr);
    g_weak_ref_clear(&weak);
  }
}

// The fake plugin registrar hands out what it was given, holds it, and has
// no view.
TEST(FakePluginRegistrarTest, HandsOutMessengerAndTextureRegistrar) {
  FlFakeMessenger* messenger = fl_fake_messenger_new();
  FlFakeTextureRegistrar* textures = fl_fake_texture_registrar_new();
  GWeakRef weak_messenger;
  g_weak_ref_init(&weak_messenger, messenger);
  g_autoptr(FlPluginRegistrar) registrar = fl_fake_plugin_registrar_new(
      FL_BINARY_MESSENGER(messenger), FL_TEXTURE_REGISTRAR(textures));
  g_autoptr(FlPluginRegistrar) bare =
      fl_fake_plugin_registrar_new(FL_BINARY_MESSENGER(messenger), nullptr);
  EXPECT_EQ(fl_plugin_registrar_get_messenger(registrar),
            FL_BINARY_MESSENGER(messenger));
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(registrar),
            FL_TEXTURE_REGISTRAR(textures));
  EXPECT_EQ(fl_plugin_registrar_get_view(registrar), nullptr);
  EXPECT_EQ(fl_plugin_registrar_get_texture_registrar(bare), nullptr);
  g_object_unref(messenger);
  g_object_unref(textures);
  {
    g_autoptr(GObject) alive = G_OBJECT(g_weak_ref_get(&weak_messenger));
    EXPECT_NE(alive, nullptr);
  }
  g_clear_object(&registrar);
  g_clear_object(&bare);
  g_autoptr(GObject) gone = G_OBJECT(g_weak_ref_get(&weak_messenger));
  EXPECT_EQ(gone, nullptr);
  g_weak_ref_clear(&weak_messenger);
}

}  // namespace
